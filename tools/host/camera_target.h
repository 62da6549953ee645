// CameraTarget: where the camera is and how to log in, as given on the command line, plus the
// small helpers every camera subcommand shares (address parsing, a reachability check, keeping
// the password out of printed text).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zarnhost {

struct CameraTarget {
    std::string address;
    uint16_t port = 80;
    std::string user;
    std::string password;
    bool hd = false;

    std::string Endpoint() const;  // "address:port" ("[v6]:port" for an IPv6 address)
};

// Parses "HOST", "HOST:PORT" or "[V6]:PORT", each also as "http://...[/path]". nullopt (with
// `error` set) for an empty host or a port outside 1..65535.
std::optional<CameraTarget> ParseCameraAddress(const std::string& text, std::string* error);

// Opens a TCP connection to the camera and closes it again. Empty when it worked, otherwise the
// reason ("Connection refused", "no answer within 3000 ms", ...).
std::string CheckReachable(const CameraTarget& camera, int timeoutMs);

// Asks the camera for its capability list with the credentials (libcurl, any authentication
// scheme the camera offers) and returns the HTTP status, or 0 when no answer came. The camera does
// not report refused PTZ commands back through the driver, so the PTZ and preset commands use this
// to tell a wrong password from other failures before they start.
long CheckCredentials(const CameraTarget& camera, int timeoutMs);

// True for the statuses with which a camera refuses credentials.
inline bool CredentialsRefused(long httpStatus) {
    return httpStatus == 401 || httpStatus == 403;
}

// `text` with the password and every "Password=" query value replaced by "***". Passwords shorter
// than three characters are only masked in the query form (masking every such short string would
// garble ordinary words).
std::string MaskSecret(const std::string& text, const std::string& password);

}  // namespace zarnhost
