#pragma once
// The exceptions of the cloud client. Callers of the client catch them (and
// every other std::exception: transport helpers also raise the standard I/O
// errors of the file system).

#include <cstdint>
#include <optional>
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

// The service refused the request for its timestamp: this computer's clock
// differs from the server's by more than the service accepts. OffsetSeconds
// is the server's time minus this computer's, when the reply tells it.
class TKuaipanClockSkewException : public TKuaipanException {
public:
    explicit TKuaipanClockSkewException(std::optional<std::int64_t> AOffsetSeconds)
        : TKuaipanException("clock differs from the server's"), OffsetSeconds(AOffsetSeconds) {}

    std::optional<std::int64_t> OffsetSeconds;
};

} // namespace ot
