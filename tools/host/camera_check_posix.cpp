// The camera checks of camera_target.h on POSIX: a non-blocking connect with poll, and libcurl.
#include <curl/curl.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "camera_target.h"

namespace zarnhost {

std::string CheckReachable(const CameraTarget& camera, int timeoutMs) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(camera.port);
    const int rc = getaddrinfo(camera.address.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) return std::string("cannot resolve host: ") + gai_strerror(rc);

    std::string reason = "no address";
    for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
        const int fd =
            socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            reason = std::strerror(errno);
            continue;
        }
        int err = 0;
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                const int ready = poll(&p, 1, timeoutMs);
                if (ready == 0) {
                    err = ETIMEDOUT;
                } else {
                    socklen_t len = sizeof(err);
                    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
                }
            }
        }
        close(fd);
        if (err == 0) {
            freeaddrinfo(found);
            return {};
        }
        reason = err == ETIMEDOUT ? "no answer within " + std::to_string(timeoutMs) + " ms"
                                  : std::string(std::strerror(err));
    }
    freeaddrinfo(found);
    return reason;
}

namespace {
size_t DiscardBody(char*, size_t size, size_t count, void*) {
    return size * count;
}
}  // namespace

long CheckCredentials(const CameraTarget& camera, int timeoutMs) {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return 0;
    const std::string url = "http://" + camera.Endpoint() + "/cgi-bin/CapabilityConfig.cgi";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_ANY);
    curl_easy_setopt(curl, CURLOPT_USERNAME, camera.user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, camera.password.c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE, 1L << 20);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, DiscardBody);
    long status = 0;
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    }
    curl_easy_cleanup(curl);
    return status;
}

}  // namespace zarnhost
