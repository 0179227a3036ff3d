#pragma once
// The upgrade program's HTTP client: plain GETs of the list and the packages
// and the form POST of the usage record, with time-outs so that a stalled
// server cannot hold the program forever.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ot {

struct TDownloadEvents {
    // The transfer's announced size (0 when unknown), once the reply's head is in.
    std::function<void(std::int64_t)> WorkBegin;
    // Bytes received so far; answer false to cut the transfer short.
    std::function<bool(std::int64_t)> Work;
    std::function<void()> WorkEnd;
    // Called while waiting, also when nothing arrives (keeps windows turning).
    std::function<void()> Idle;
};

struct THttpTimeouts {
    long ConnectSeconds = 15;
    // A transfer slower than one byte per second for this long is given up.
    long StallSeconds = 30;
    // A body longer than this is given up (0: no limit), so a server cannot fill the disk.
    std::int64_t MaxBytes = 0;
};

// GETs AUrl into AFileName: the body goes into a temporary file beside it, which
// replaces AFileName only when the whole body arrived with a success status.
// False on any failure; AFileName is then untouched.
bool HttpDownloadFile(const std::string& AUrl, const std::string& AFileName,
                      const TDownloadEvents& AEvents = {}, const THttpTimeouts& ATimeouts = {});

// POSTs the fields as application/x-www-form-urlencoded, in the given order.
// False on a connection failure or an HTTP error status; the body in ABody.
bool HttpPostForm(const std::string& AUrl,
                  const std::vector<std::pair<std::string, std::string>>& AFields,
                  std::string& ABody, const THttpTimeouts& ATimeouts = {});

// Percent-encodes a form value (UTF-8 bytes; a blank as "+").
std::string FormUrlEncode(std::string_view AValue);

} // namespace ot
