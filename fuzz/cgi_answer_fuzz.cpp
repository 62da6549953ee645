// Fuzz target: the CGI answer helpers (GetValue, Trim, ParseInt, AtoiSaturated, PercentEncode,
// RedactObject) and the handling of the login-check and capability answers.
//
// Input: a mode byte, then text.
//   mode % 3 == 0: the text is a camera answer, handed (with the request functions' NUL) to the
//     login-check and capability readers, then written into a host result object; every line's
//     value also goes through Trim, ParseInt and AtoiSaturated.
//   mode % 3 == 1: key, separator, delimiters and text for GetValue, separated by NUL bytes.
//   mode % 3 == 2: a request object and a password, separated by a NUL byte, for PercentEncode
//     and RedactObject.
// ParseInt and AtoiSaturated are compared with independent readings of their contracts; GetValue's
// answer must be a value that follows the separator in the text; a redacted object must not show
// the password in its query.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "http/hutils.h"
#include "http/text_utils.h"
#include "properties/zarn_hd_camera_properties.h"
#include "support/fake_capability.h"

namespace {

using talvane::CZarnHDCameraProperties;

std::vector<std::string> Split(const std::string& text, char separator, size_t limit) {
    std::vector<std::string> fields;
    size_t begin = 0;
    while (fields.size() + 1 < limit) {
        const size_t end = text.find(separator, begin);
        if (end == std::string::npos) break;
        fields.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    fields.push_back(text.substr(begin));
    return fields;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// ParseInt: an optional sign and digits only, within the 32-bit range.
void CheckParseInt(const std::string& text) {
    int32_t value = 12345;
    const bool ok = HUtils::ParseInt(text, value);
    const size_t digitsFrom = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
    bool wellFormed = text.size() > digitsFrom;
    for (size_t i = digitsFrom; i < text.size() && wellFormed; ++i) wellFormed = IsDigit(text[i]);
    if (!wellFormed) {
        ZARN_FUZZ_CHECK(!ok && value == 0);
        return;
    }
    errno = 0;
    const long long reference = std::strtoll(text.c_str(), nullptr, 10);
    const bool inRange = errno != ERANGE && reference >= INT32_MIN && reference <= INT32_MAX;
    ZARN_FUZZ_CHECK(ok == inRange);
    ZARN_FUZZ_CHECK(value == (ok ? reference : 0));
}

// AtoiSaturated: what strtoll reads, saturated to the 32-bit range.
void CheckAtoi(const std::string& text) {
    const long long reference = std::strtoll(text.c_str(), nullptr, 10);
    const long long expected =
        std::min<long long>(std::max<long long>(reference, INT32_MIN), INT32_MAX);
    ZARN_FUZZ_CHECK(HUtils::AtoiSaturated(text) == expected);
}

void CheckTrim(const std::string& text) {
    const std::string trimmed = HUtils::Trim(text);
    ZARN_FUZZ_CHECK(text.find(trimmed) != std::string::npos);
    if (!trimmed.empty()) {
        ZARN_FUZZ_CHECK(trimmed.front() != ' ' && trimmed.front() != '\t');
        ZARN_FUZZ_CHECK(trimmed.back() != ' ' && trimmed.back() != '\t');
    } else {
        ZARN_FUZZ_CHECK(text.find_first_not_of(" \t") == std::string::npos);
    }
}

void CheckGetValue(const std::string& key, const std::string& separator, const std::string& text,
                   const std::string& delimiters) {
    const std::string value = HUtils::GetValue(key, separator, text, delimiters);
    if (value.empty()) return;
    ZARN_FUZZ_CHECK(!key.empty() && !separator.empty() && !delimiters.empty());
    ZARN_FUZZ_CHECK(value.find_first_of(delimiters) == std::string::npos);
    // The value follows a separator and runs to a delimiter or the end of the text.
    bool placed = false;
    for (size_t at = text.find(separator + value); at != std::string::npos && !placed;
         at = text.find(separator + value, at + 1)) {
        const size_t end = at + separator.size() + value.size();
        placed = end == text.size() || delimiters.find(text[end]) != std::string::npos;
    }
    ZARN_FUZZ_CHECK(placed);
}

void CheckAnswer(const std::string& text) {
    std::vector<uint8_t> body(text.begin(), text.end());
    body.push_back(0);

    int error = -1;
    if (CZarnHDCameraProperties::ReadLoginAnswer(body, error)) {
        ZARN_FUZZ_CHECK(error == -1);
    } else {
        ZARN_FUZZ_CHECK(error == talvane::kErrorLoginRejected || error == talvane::kErrorOther);
    }

    talvane::DEVICE_INFO device;
    device.address = "127.0.0.1";
    CZarnHDCameraProperties properties(device, 0);
    if (properties.ReadCapabilityAnswer(body)) {
        ZARN_FUZZ_CHECK(properties.model.rfind("Zarn ", 0) == 0 && properties.model.size() > 5);
        properties.FillResolutions();
        zarntest::FakeCapabilityResult result;
        ZARN_FUZZ_CHECK(properties.SaveResults(&result));
    } else {
        ZARN_FUZZ_CHECK(properties.model.empty());
    }

    CheckGetValue("Valid", "=", text, "\r\n");
    for (const std::string& line : Split(text, '\n', 64)) {
        const size_t equals = line.find('=');
        const std::string value = equals == std::string::npos ? line : line.substr(equals + 1);
        CheckTrim(value);
        CheckParseInt(value);
        CheckAtoi(value);
    }
}

bool IsUnreserved(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(c) || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// Parameter names whose values are credentials: "User", and anything holding "pass" or "pwd", in
// any case.
bool IsCredentialName(const std::string& name) {
    std::string lower;
    for (const char c : name) {
        lower.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    return lower == "user" || lower.find("pass") != std::string::npos ||
           lower.find("pwd") != std::string::npos;
}

void CheckRedaction(const std::string& object, const std::string& password) {
    const std::string encoded = HUtils::PercentEncode(password);
    std::string decoded;
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '%') {
            ZARN_FUZZ_CHECK(i + 2 < encoded.size());
            decoded.push_back(static_cast<char>(std::stoi(encoded.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            ZARN_FUZZ_CHECK(IsUnreserved(encoded[i]));
            decoded.push_back(encoded[i]);
        }
    }
    ZARN_FUZZ_CHECK(decoded == password);

    // Any object: the path and every parameter not named like a credential stay as they are, the
    // values of the others become "***".
    const std::string shown = HUtils::RedactObject(object);
    const size_t query = object.find('?');
    if (query == std::string::npos) {
        ZARN_FUZZ_CHECK(shown == object);
    } else {
        ZARN_FUZZ_CHECK(shown.compare(0, query + 1, object, 0, query + 1) == 0);
        const std::vector<std::string> given = Split(object.substr(query + 1), '&', SIZE_MAX);
        const std::vector<std::string> out = Split(shown.substr(query + 1), '&', SIZE_MAX);
        ZARN_FUZZ_CHECK(given.size() == out.size());
        for (size_t i = 0; i < given.size(); ++i) {
            const size_t equals = given[i].find('=');
            if (equals == std::string::npos || !IsCredentialName(given[i].substr(0, equals))) {
                ZARN_FUZZ_CHECK(out[i] == given[i]);
            } else {
                ZARN_FUZZ_CHECK(out[i] == given[i].substr(0, equals + 1) + "***");
            }
        }
    }

    // The login request as the driver builds it: the password shows in no form.
    const std::string login = "/cgi-bin/login.cgi?User=" + HUtils::PercentEncode("op") +
                              "&Password=" + encoded;
    const std::string tail = HUtils::RedactObject(login).substr(login.find('?') + 1);
    ZARN_FUZZ_CHECK(tail == "User=***&Password=***");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zarnfuzz::InputReader input(data, size);
    const uint8_t mode = input.Byte();
    const std::string text(reinterpret_cast<const char*>(input.Rest()), input.RestSize());
    switch (mode % 3) {
        case 0:
            CheckAnswer(text);
            break;
        case 1: {
            const std::vector<std::string> f = Split(text, '\0', 4);
            if (f.size() == 4) {
                CheckGetValue(f[0], f[1], f[3], f[2]);
            } else {
                CheckGetValue("Valid", "=", text, "\r\n");
            }
            CheckTrim(f.back());
            break;
        }
        default: {
            const std::vector<std::string> f = Split(text, '\0', 2);
            CheckRedaction(f[0], f.size() > 1 ? f[1] : std::string("secret"));
            break;
        }
    }
    return 0;
}
