#include "http_authenticator.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <map>

namespace zarncam {
namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && Lower(text.substr(0, prefix.size())) == Lower(prefix);
}

std::string RandomHex(std::size_t bytes) {
    std::array<unsigned char, 32> raw{};
    bytes = std::min(bytes, raw.size());
    if (RAND_bytes(raw.data(), static_cast<int>(bytes)) != 1) {
        // The simulator only needs distinct values; fall back to the clock.
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        for (std::size_t i = 0; i < bytes; ++i) {
            raw[i] = static_cast<unsigned char>(now >> ((i % 8) * 8));
        }
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes; ++i) {
        out.push_back(kHex[raw[i] >> 4]);
        out.push_back(kHex[raw[i] & 15]);
    }
    return out;
}

// Parses the comma-separated name=value list of a Digest Authorization header. Values are
// tokens or quoted strings with backslash escapes. Names are lower-cased.
std::map<std::string, std::string> ParseAuthParams(std::string_view text) {
    std::map<std::string, std::string> out;
    std::size_t i = 0;
    auto skipBlanks = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == ',')) ++i;
    };
    while (true) {
        skipBlanks();
        if (i >= text.size()) break;
        const std::size_t nameStart = i;
        while (i < text.size() && text[i] != '=' && text[i] != ',' && text[i] != ' ') ++i;
        std::string name = Lower(text.substr(nameStart, i - nameStart));
        while (i < text.size() && text[i] == ' ') ++i;
        if (i >= text.size() || text[i] != '=') {
            out.emplace(std::move(name), std::string());
            continue;
        }
        ++i;
        while (i < text.size() && text[i] == ' ') ++i;
        std::string value;
        if (i < text.size() && text[i] == '"') {
            ++i;
            while (i < text.size() && text[i] != '"') {
                if (text[i] == '\\' && i + 1 < text.size()) ++i;
                value.push_back(text[i++]);
            }
            if (i < text.size()) ++i;  // closing quote
        } else {
            while (i < text.size() && text[i] != ',' && text[i] != ' ') value.push_back(text[i++]);
        }
        out.emplace(std::move(name), std::move(value));
    }
    return out;
}

}  // namespace

AuthScheme HttpAuthenticator::SchemeOf(const HttpRequest& request) {
    const auto header = request.Header("authorization");
    if (!header) return AuthScheme::kNone;
    if (StartsWithNoCase(*header, "Basic ")) return AuthScheme::kBasic;
    if (StartsWithNoCase(*header, "Digest ")) return AuthScheme::kDigest;
    return AuthScheme::kNone;
}

HttpAuthenticator::Result HttpAuthenticator::Check(const HttpRequest& request,
                                                   const std::string& user,
                                                   const std::string& password,
                                                   const std::string& realm,
                                                   const std::vector<AuthScheme>& offered) {
    const AuthScheme used = SchemeOf(request);
    if (used == AuthScheme::kNone ||
        std::find(offered.begin(), offered.end(), used) == offered.end()) {
        return Result::kRejected;
    }
    const std::string header = *request.Header("authorization");
    if (used == AuthScheme::kBasic) {
        std::string decoded;
        if (!Base64Decode(std::string_view(header).substr(6), decoded)) return Result::kRejected;
        const std::size_t colon = decoded.find(':');
        if (colon == std::string::npos) return Result::kRejected;
        return decoded.substr(0, colon) == user && decoded.substr(colon + 1) == password
                   ? Result::kAccepted
                   : Result::kRejected;
    }
    return CheckDigest(request, std::string_view(header).substr(7), user, password, realm);
}

HttpAuthenticator::Result HttpAuthenticator::CheckDigest(const HttpRequest& request,
                                                         std::string_view params,
                                                         const std::string& user,
                                                         const std::string& password,
                                                         const std::string& realm) {
    auto p = ParseAuthParams(params);
    auto get = [&p](const char* name) -> std::string {
        const auto it = p.find(name);
        return it == p.end() ? std::string() : it->second;
    };
    const std::string algorithm = Lower(get("algorithm"));
    if (!algorithm.empty() && algorithm != "md5") return Result::kRejected;
    if (get("username") != user || get("realm") != realm) return Result::kRejected;
    if (get("uri") != request.target) return Result::kRejected;
    const std::string nonce = get("nonce");
    if (nonce.empty()) return Result::kRejected;
    const std::string ha1 = Md5Hex(user + ":" + realm + ":" + password);
    const std::string ha2 = Md5Hex(request.method + ":" + request.target);
    const std::string qop = get("qop");
    std::string expected;
    if (qop.empty()) {
        expected = Md5Hex(ha1 + ":" + nonce + ":" + ha2);
    } else if (qop == "auth") {
        const std::string nc = get("nc");
        const std::string cnonce = get("cnonce");
        if (nc.empty() || cnonce.empty()) return Result::kRejected;
        expected = Md5Hex(ha1 + ":" + nonce + ":" + nc + ":" + cnonce + ":" + qop + ":" + ha2);
    } else {
        return Result::kRejected;
    }
    if (Lower(get("response")) != expected) return Result::kRejected;
    // The password was right; only the nonce can still be out of date.
    return KnownNonce(nonce) ? Result::kAccepted : Result::kStale;
}

bool HttpAuthenticator::KnownNonce(const std::string& nonce) {
    std::lock_guard lock(mutex_);
    return std::find(nonces_.begin(), nonces_.end(), nonce) != nonces_.end();
}

std::vector<std::string> HttpAuthenticator::Challenges(const std::string& realm,
                                                       const std::vector<AuthScheme>& offered,
                                                       bool stale) {
    std::vector<std::string> out;
    for (const AuthScheme scheme : offered) {
        if (scheme == AuthScheme::kBasic) {
            out.push_back("Basic realm=\"" + realm + "\"");
        } else if (scheme == AuthScheme::kDigest) {
            const std::string nonce = RandomHex(16);
            std::string opaque;
            {
                std::lock_guard lock(mutex_);
                if (opaque_.empty()) opaque_ = RandomHex(8);
                opaque = opaque_;
                nonces_.push_back(nonce);
                while (nonces_.size() > maxNonces_) nonces_.pop_front();
            }
            out.push_back("Digest realm=\"" + realm + "\", qop=\"auth\", nonce=\"" + nonce +
                          "\", opaque=\"" + opaque + "\", algorithm=MD5" +
                          (stale ? ", stale=true" : ""));
        }
    }
    return out;
}

std::string HttpAuthenticator::Md5Hex(std::string_view text) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_md5(), nullptr) != 1) {
        return {};
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out.push_back(kHex[digest[i] >> 4]);
        out.push_back(kHex[digest[i] & 15]);
    }
    return out;
}

std::string HttpAuthenticator::Base64Encode(std::string_view text) {
    std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

bool HttpAuthenticator::Base64Decode(std::string_view text, std::string& out) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (text.empty() || text.size() % 4 != 0 || text.size() > 4096) return false;
    out.assign(text.size() / 4 * 3 + 1, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) return false;
    // EVP_DecodeBlock counts the padding as zero bytes; take them off again.
    std::size_t size = static_cast<std::size_t>(n);
    if (text.back() == '=') --size;
    if (text.size() >= 2 && text[text.size() - 2] == '=') --size;
    out.resize(size);
    return true;
}

}  // namespace zarncam
