#include "camera_target.h"

#include <algorithm>
#include <cctype>
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
