#pragma once
// Key/secret pairs. What a pair stands for is told by its class alone: a
// session whose token is a TAccessToken is authorized, one holding a
// TRequestToken is half-way through the authorization.

#include <string>

namespace ot {

class TTokenPair {
public:
    TTokenPair(std::string AKey, std::string ASecret)
        : FKey(std::move(AKey)), FSecret(std::move(ASecret)) {}
    virtual ~TTokenPair() = default;

    const std::string& Key() const { return FKey; }
    const std::string& Secret() const { return FSecret; }

    // "key=" + Key + ";secret=" + Secret
    std::string ToString() const;

private:
    std::string FKey;
    std::string FSecret;
};

// The application's consumer key and secret.
class TConsumer : public TTokenPair {
public:
    using TTokenPair::TTokenPair;
};

// The temporary token held between the request-token and access-token calls.
class TRequestToken : public TTokenPair {
public:
    using TTokenPair::TTokenPair;
};

// The user's access token.
class TAccessToken : public TTokenPair {
public:
    using TTokenPair::TTokenPair;
};

} // namespace ot
