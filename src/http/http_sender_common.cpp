// The parts of CHttpSender that do not depend on the backend: the scheme a request prefers, the
// default time-out, the checks that keep a malformed request off the wire, and the request target
// as it goes out.
#include <algorithm>
#include <cstring>

#include "http/http_sender.h"
#include "http/http_sender_backend.h"

namespace Web {

uint32_t PreferredScheme(uint32_t authMethod) {
    if ((authMethod & 4u) != 0) return kAuthNegotiate;
    if ((authMethod & 3u) == 3u) return kAuthDigest;
    if ((authMethod & 2u) != 0) return kAuthPassport;
    if ((authMethod & 1u) != 0) return kAuthNtlm;
    return kAuthBasic;
}

namespace detail {

namespace {

bool IsToken(const std::string& text) {
    if (text.empty()) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b > 0x20 && b < 0x7F && std::strchr("()<>@,;:\\\"/[]?={}", c) == nullptr;
    });
}

bool IsHeaderLine(const std::string& line) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    return line.find_first_of("\r\n", 0) == std::string::npos &&
           line.find('\0') == std::string::npos;
}

}  // namespace

int32_t EffectiveTimeoutMs(int32_t requestTimeoutMs) {
    return requestTimeoutMs > 0 ? requestTimeoutMs : kDefaultTimeoutMs;
}

bool IsSendable(const HttpRequest& request) {
    if (!IsToken(request.verb) || request.object.empty()) return false;
    if (request.totalLength > request.body.size()) return false;
    return std::all_of(request.headerLines.begin(), request.headerLines.end(), IsHeaderLine);
}

std::string RequestTarget(const std::string& object) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(object.size() + 1);
    if (object.empty() || object.front() != '/') out.push_back('/');
    for (const char c : object) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7F || c == '#') {
            out.push_back('%');
            out.push_back(kHex[b >> 4]);
            out.push_back(kHex[b & 0xF]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace detail

CHttpSender::CHttpSender(const talvane::DEVICE_INFO& device)
    : device_(device), impl_(MakeHttpSenderBackend(device_)) {}

CHttpSender::~CHttpSender() = default;

bool CHttpSender::SendRequest(HttpRequest& request) {
    return impl_->Send(request);
}

size_t CHttpSender::ReadAll(std::vector<uint8_t>& out) {
    return impl_->ReadBody(out, kReadAllLimit, nullptr, false);
}

size_t CHttpSender::ReadAllLimited(std::vector<uint8_t>& out, size_t limit, bool* tooLong) {
    return impl_->ReadBody(out, limit, tooLong, true);
}

size_t CHttpSender::ReadChunk(std::vector<uint8_t>& out, size_t n) {
    return impl_->ReadChunk(out, n);
}

size_t CHttpSender::ReadAvailable(uint8_t* into, size_t max) {
    return impl_->ReadAvailable(into, max);
}

uint32_t CHttpSender::GetStatusCode() const {
    return impl_->Status();
}

void CHttpSender::CloseRequest() {
    impl_->Close();
}

void CHttpSender::Abort() {
    impl_->Abort();
}

void CHttpSender::ResetAbort() {
    impl_->ResetAbort();
}

bool CHttpSender::Aborted() const {
    return impl_->Aborted();
}

uint32_t CHttpSender::LearnedScheme() const {
    return impl_->Learned();
}

}  // namespace Web
