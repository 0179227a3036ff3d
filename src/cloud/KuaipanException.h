#pragma once
// The exceptions of the cloud client. Callers of the client catch them (and
// every other std::exception: transport helpers also raise the standard I/O
// errors of the file system).

#include <cstdint>
#include <stdexcept>
#include <string>

namespace ot {

class TKuaipanException : public std::runtime_error {
public:
    explicit TKuaipanException(const std::string& ADetailMessage = {})
        : std::runtime_error(ADetailMessage), SerialVersionUID(1) {}

    std::int32_t SerialVersionUID;
};

// The session holds no access token, or the service says the user's
// authorization has expired. Always carries an empty message.
class TKuaipanAuthExpiredException : public TKuaipanException {
public:
    TKuaipanAuthExpiredException() : TKuaipanException(std::string()) {}
};

// A reply lacks what the request needs (or is not the JSON it should be).
class TKuaipanIOException : public TKuaipanException {
public:
    TKuaipanIOException() : TKuaipanException(std::string()) {}
    explicit TKuaipanIOException(const std::string& detailMessage)
        : TKuaipanException(detailMessage) {}
};

} // namespace ot
