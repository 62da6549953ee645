// talvane::CResultDef: the outcome of a CGI request (and of a PTZ handler operation): an error code
// (0 on success), the log level to report it with and a ready-made message. A plain value, copied
// freely between threads.
#pragma once

#include <cstdint>
#include <string>

namespace talvane {

class CResultDef {
public:
    explicit CResultDef(std::string messageIn = std::string()) : message(std::move(messageIn)) {}
    CResultDef(const CResultDef&) = default;
    CResultDef& operator=(const CResultDef&) = default;
    CResultDef(CResultDef&&) = default;
    CResultDef& operator=(CResultDef&&) = default;
    virtual ~CResultDef() = default;

    bool Ok() const { return code == 0; }

    int32_t level = 3;  // host log level for the message
    int32_t code = 0;   // 0 success, else one of the codes below
    std::string message;

    static constexpr int32_t kCodeStatusNotOk = 6;   // status not 2xx
    static constexpr int32_t kCodeCannotSend = 9;    // no answer at all
    static constexpr int32_t kCodeBadResponse = 10;  // body empty or too long
};

}  // namespace talvane
