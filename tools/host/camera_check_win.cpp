// The camera checks of camera_target.h on Windows: a non-blocking Winsock connect with select, and
// WinHTTP (the Windows build has no libcurl). Winsock is started by main().
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before windows.h.
#include <windows.h>
#include <winhttp.h>

#include <string>
#include <vector>

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
    HINTERNET request =
        connection == nullptr
            ? nullptr
            : WinHttpOpenRequest(connection, L"GET", L"/cgi-bin/CapabilityConfig.cgi", nullptr,
                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    long status = 0;
    const std::wstring user = Wide(camera.user);
    const std::wstring password = Wide(camera.password);
    // The first answer is a 401 with the schemes the camera offers; the second carries the
    // credentials (Digest preferred), and its status is the verdict.
    for (int attempt = 0; request != nullptr && attempt < 2; ++attempt) {
        if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                                0, 0, 0) ||
            !WinHttpReceiveResponse(request, nullptr)) {
            status = 0;
            break;
        }
        DWORD code = 0;
        DWORD size = sizeof code;
        WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX);
        status = static_cast<long>(code);
        // The body is read and dropped, so that the connection can carry the next request.
        std::vector<char> sink(4096);
        DWORD got = 0;
        for (int reads = 0;
             reads < 256 &&
             WinHttpReadData(request, sink.data(), static_cast<DWORD>(sink.size()), &got) &&
             got > 0;
             ++reads) {
        }
        if (code != 401) break;
        DWORD supported = 0;
        DWORD first = 0;
        DWORD target = 0;
        if (!WinHttpQueryAuthSchemes(request, &supported, &first, &target)) break;
        const DWORD scheme =
            (supported & WINHTTP_AUTH_SCHEME_DIGEST) != 0  ? WINHTTP_AUTH_SCHEME_DIGEST
            : (supported & WINHTTP_AUTH_SCHEME_BASIC) != 0 ? WINHTTP_AUTH_SCHEME_BASIC
                                                           : first;
        if (!WinHttpSetCredentials(request, target, scheme, user.c_str(), password.c_str(),
                                   nullptr)) {
            break;
        }
    }
    if (request != nullptr) WinHttpCloseHandle(request);
    if (connection != nullptr) WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    return status;
}

}  // namespace zarnhost
