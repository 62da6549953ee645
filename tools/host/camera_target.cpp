#include "camera_target.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace zarnhost {

std::string CameraTarget::Endpoint() const {
    const bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

std::optional<CameraTarget> ParseCameraAddress(const std::string& given, std::string* error) {
    CameraTarget target;
    // The address as a browser shows it: "http://host:port/" (a path after the port is ignored).
    std::string text = given;
    static const std::string kScheme = "http://";
    if (text.size() >= kScheme.size() &&
        std::equal(kScheme.begin(), kScheme.end(), text.begin(), [](char a, char b) {
            return a == std::tolower(static_cast<unsigned char>(b));
        })) {
        text.erase(0, kScheme.size());
        const size_t slash = text.find('/');
        if (slash != std::string::npos) text.erase(slash);
    } else if (text.find("://") != std::string::npos) {
        *error = "bad camera address \"" + given + "\": only http:// is supported";
        return std::nullopt;
    }
    std::string host = text;
    std::string port;
    bool hasPort = false;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) {
            *error = "bad camera address \"" + text + "\": missing ']'";
            return std::nullopt;
        }
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                *error = "bad camera address \"" + text + "\"";
                return std::nullopt;
            }
            port = rest.substr(1);
            hasPort = true;
        }
    } else if (const size_t colon = text.rfind(':');
               colon != std::string::npos && text.find(':') == colon) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        hasPort = true;
    }
    if (host.empty()) {
        *error = "bad camera address \"" + text + "\": no host";
        return std::nullopt;
    }
    target.address = host;
    if (hasPort) {
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (ec != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535) {
            *error = "bad camera port \"" + port + "\": expected 1..65535";
            return std::nullopt;
        }
        target.port = static_cast<uint16_t>(value);
    }
    return target;
}

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

std::string MaskSecret(const std::string& text, const std::string& password) {
    std::string out = text;
    if (password.size() >= 3) {
        for (size_t pos = 0; (pos = out.find(password, pos)) != std::string::npos; pos += 3) {
            out.replace(pos, password.size(), "***");
        }
    }
    static const std::string kKey = "Password=";
    for (size_t pos = 0; (pos = out.find(kKey, pos)) != std::string::npos;) {
        pos += kKey.size();
        const size_t end = out.find_first_of("& \"\r\n", pos);
        out.replace(pos, end == std::string::npos ? std::string::npos : end - pos, "***");
        pos += 3;
    }
    return out;
}

}  // namespace zarnhost
