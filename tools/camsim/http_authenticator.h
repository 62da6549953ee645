// HTTP authentication of the virtual camera: Basic and Digest (MD5, qop=auth, also the older
// form without qop). Thread-safe: connection threads share one authenticator, whose only shared
// state is the list of nonces it issued (bounded, guarded by a mutex).
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "camsim.h"
#include "http_request_parser.h"

namespace zarncam {

class HttpAuthenticator {
public:
    explicit HttpAuthenticator(std::size_t maxNonces = 256) : maxNonces_(maxNonces) {}

    // The scheme named by the request's Authorization header (kNone without one).
    static AuthScheme SchemeOf(const HttpRequest& request);

    enum class Result {
        kAccepted,  // valid credentials of an offered scheme
        kRejected,  // none, another scheme, or wrong credentials
        kStale,     // a correct Digest answer to a nonce that is no longer (or never was) issued
    };

    Result Check(const HttpRequest& request, const std::string& user, const std::string& password,
                 const std::string& realm, const std::vector<AuthScheme>& offered);

    // WWW-Authenticate header values for a 401, one per offered scheme, in order. Each Digest
    // challenge carries a fresh nonce, marked stale=true when asked (the client then retries
    // with the new nonce without asking its user again).
    std::vector<std::string> Challenges(const std::string& realm,
                                        const std::vector<AuthScheme>& offered, bool stale = false);

    // Helpers, exposed for tests.
    static std::string Md5Hex(std::string_view text);
    static std::string Base64Encode(std::string_view text);
    static bool Base64Decode(std::string_view text, std::string& out);

private:
    Result CheckDigest(const HttpRequest& request, std::string_view params, const std::string& user,
                       const std::string& password, const std::string& realm);
    bool KnownNonce(const std::string& nonce);

    std::size_t maxNonces_;
    std::mutex mutex_;
    std::deque<std::string> nonces_;  // newest last
    std::string opaque_;              // fixed per authenticator, made on first use
};

}  // namespace zarncam
