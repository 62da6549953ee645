// What a backend of Web::CHttpSender implements (http_sender_curl.cpp on Linux,
// http_sender_winhttp.cpp on Windows). CHttpSender's public operations forward to it one to one;
// the contract of each is the one of the same-named operation in http_sender.h.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "http/http_sender.h"

namespace Web {

class CHttpSender::Impl {
public:
    virtual ~Impl() = default;

    virtual bool Send(HttpRequest& request) = 0;
    // ReadAll (failWhenOver false, limit kReadAllLimit) and ReadAllLimited (failWhenOver true).
    virtual size_t ReadBody(std::vector<uint8_t>& out, size_t limit, bool* tooLong,
                            bool failWhenOver) = 0;
    virtual size_t ReadChunk(std::vector<uint8_t>& out, size_t n) = 0;
    virtual size_t ReadAvailable(uint8_t* into, size_t max) = 0;
    virtual void Close() = 0;
    virtual void Abort() = 0;
    virtual void ResetAbort() = 0;
    virtual bool Aborted() const = 0;
    virtual uint32_t Status() const = 0;
    virtual uint32_t Learned() const = 0;
};

// The backend this build links.
std::unique_ptr<CHttpSender::Impl> MakeHttpSenderBackend(const talvane::DEVICE_INFO& device);

}  // namespace Web
