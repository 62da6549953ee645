// The camera checks of camera_target.h on Windows: a non-blocking Winsock connect with select, and
// WinHTTP (the Windows build has no libcurl). Winsock is started by main().
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before windows.h.
#include <windows.h>
#include <winhttp.h>

#include <string>

#include "camera_target.h"

namespace zarnhost {

namespace {

std::string SocketErrorText(int code) {
    switch (code) {
        case WSAECONNREFUSED:
            return "Connection refused";
        case WSAEHOSTUNREACH:
            return "No route to host";
        case WSAENETUNREACH:
            return "Network is unreachable";
        case WSAECONNRESET:
            return "Connection reset by peer";
        default:
            return "socket error " + std::to_string(code);
    }
}

// UTF-16 of a text in the system's 8-bit code page, as the host's strings are.
std::wstring Wide(const std::string& text) {
    if (text.empty()) return {};
    const int n =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) {
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    }
    return out;
}

}  // namespace

std::string CheckReachable(const CameraTarget& camera, int timeoutMs) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(camera.port);
    const int rc = getaddrinfo(camera.address.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) return "cannot resolve host: " + SocketErrorText(rc);

    std::string reason = "no address";
    for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
        const SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (s == INVALID_SOCKET) {
            reason = SocketErrorText(WSAGetLastError());
            continue;
        }
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        int err = 0;
        if (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0) {
            err = WSAGetLastError();
            if (err == WSAEWOULDBLOCK) {
                fd_set writable;
                fd_set failed;
                FD_ZERO(&writable);
                FD_ZERO(&failed);
                FD_SET(s, &writable);
                FD_SET(s, &failed);
                timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
                const int ready = select(0, nullptr, &writable, &failed, &tv);
                if (ready == 0) {
                    err = WSAETIMEDOUT;
                } else {
                    int soError = 0;
                    int len = sizeof soError;
                    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
                    err = FD_ISSET(s, &failed) && soError == 0 ? WSAECONNREFUSED : soError;
                }
            }
        }
        closesocket(s);
        if (err == 0) {
            freeaddrinfo(found);
            return {};
        }
        reason = err == WSAETIMEDOUT ? "no answer within " + std::to_string(timeoutMs) + " ms"
                                     : SocketErrorText(err);
    }
    freeaddrinfo(found);
    return reason;
}

long CheckCredentials(const CameraTarget& camera, int timeoutMs) {
    HINTERNET session = WinHttpOpen(L"zarnhost", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (session == nullptr) return 0;
    WinHttpSetTimeouts(session, timeoutMs, timeoutMs, timeoutMs, timeoutMs);
    HINTERNET connection = WinHttpConnect(session, Wide(camera.address).c_str(), camera.port, 0);
    const std::wstring user = Wide(camera.user);
    const std::wstring password = Wide(camera.password);
    // The first request learns the schemes the camera offers from its 401; a fresh request then
    // carries the credentials, and its status is the verdict. Digest goes first; Basic follows when
    // Digest was refused too (Wine's WinHTTP sends no Digest answer at all).
    long status = 0;
    DWORD scheme = 0;
    DWORD supported = 0;
    for (int attempt = 0; connection != nullptr && attempt < 3; ++attempt) {
        HINTERNET request =
            WinHttpOpenRequest(connection, L"GET", L"/cgi-bin/CapabilityConfig.cgi", nullptr,
                               WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
        if (request == nullptr) break;
        if (scheme != 0) {
            WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_SERVER, scheme, user.c_str(),
                                  password.c_str(), nullptr);
        }
        status = 0;
        if (WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                               0, 0, 0) &&
            WinHttpReceiveResponse(request, nullptr)) {
            DWORD code = 0;
            DWORD size = sizeof code;
            if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                    WINHTTP_HEADER_NAME_BY_INDEX, &code, &size,
                                    WINHTTP_NO_HEADER_INDEX)) {
                status = static_cast<long>(code);
            }
        }
        DWORD first = 0;
        DWORD target = 0;
        if (status == 401 && scheme == 0 &&
            WinHttpQueryAuthSchemes(request, &supported, &first, &target)) {
            scheme =
                (supported & WINHTTP_AUTH_SCHEME_DIGEST) != 0 ? WINHTTP_AUTH_SCHEME_DIGEST : first;
        } else if (status == 401 && scheme == WINHTTP_AUTH_SCHEME_DIGEST &&
                   (supported & WINHTTP_AUTH_SCHEME_BASIC) != 0) {
            scheme = WINHTTP_AUTH_SCHEME_BASIC;
        } else {
            scheme = 0;
        }
        WinHttpCloseHandle(request);
        if (scheme == 0) break;
    }
    if (connection != nullptr) WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    return status;
}

}  // namespace zarnhost
