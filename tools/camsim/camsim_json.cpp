#include "camsim_json.h"

#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace zarncam {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxPayloadLimit = 16u << 20;
constexpr std::size_t kMaxHeaderLimit = 1u << 20;
constexpr std::size_t kMaxConnectionsLimit = 4096;
constexpr int kMaxDelayMs = 600000;
constexpr int kMaxLoopSeconds = 120;
constexpr int kMaxFramePeriodMs = 60000;
constexpr double kMaxRecordMs = 1e12;  // about 30 years: anything larger is damage

void RequireObject(const json& j) {
    if (!j.is_object()) throw std::out_of_range("expected a JSON object");
}

// Fields that are absent keep the value they have, so a hand-written request may give only what
// it changes; a field that is present must have the right type and range.
template <typename T>
void ReadInteger(const json& j, const char* key, T& value, int64_t min, int64_t max) {
    const auto it = j.find(key);
    if (it == j.end()) return;
    if (!it->is_number_integer()) throw std::out_of_range(std::string(key) + ": not an integer");
    const int64_t v = it->is_number_unsigned() && it->get<uint64_t>() > INT64_MAX
                          ? INT64_MAX
                          : it->get<int64_t>();
    if (v < min || v > max) throw std::out_of_range(std::string(key) + ": out of range");
    value = static_cast<T>(v);
}

void ReadUnsigned(const json& j, const char* key, uint64_t& value) {
    const auto it = j.find(key);
    if (it == j.end()) return;
    if (!it->is_number_unsigned()) throw std::out_of_range(std::string(key) + ": not unsigned");
    value = it->get<uint64_t>();
}

void ReadInt(const json& j, const char* key, int& value) {
    ReadInteger(j, key, value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
}

template <typename T>
void ReadValue(const json& j, const char* key, T& value) {
    const auto it = j.find(key);
    if (it != j.end()) value = it->get<T>();
}

// null clears the optional, a value sets it.
template <typename T>
void ReadOptional(const json& j, const char* key, std::optional<T>& value) {
    const auto it = j.find(key);
    if (it == j.end()) return;
    if (it->is_null()) {
        value.reset();
    } else {
        value = it->get<T>();
    }
}

template <typename T>
json OptionalToJson(const std::optional<T>& value) {
    return value ? json(*value) : json(nullptr);
}

AuthScheme SchemeFromName(const std::string& name) {
    if (name == "basic") return AuthScheme::kBasic;
    if (name == "digest") return AuthScheme::kDigest;
    if (name == "none") return AuthScheme::kNone;
    throw std::out_of_range("unknown authentication scheme");
}

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

void to_json(json& j, const Capabilities& c) {
    j = json{{"productId", OptionalToJson(c.productId)},
             {"audioNum", c.audioNum},
             {"videoNum", c.videoNum},
             {"inputPins", c.inputPins},
             {"outputPins", c.outputPins},
             {"hd", OptionalToJson(c.hd)},
             {"version", c.version}};
}

void from_json(const json& j, Capabilities& c) {
    RequireObject(j);
    ReadOptional(j, "productId", c.productId);
    ReadInt(j, "audioNum", c.audioNum);
    ReadInt(j, "videoNum", c.videoNum);
    ReadInt(j, "inputPins", c.inputPins);
    ReadInt(j, "outputPins", c.outputPins);
    ReadOptional(j, "hd", c.hd);
    ReadValue(j, "version", c.version);
}

void to_json(json& j, const Config& c) {
    json auth = json::array();
    for (const AuthScheme scheme : c.auth) auth.push_back(AuthSchemeName(scheme));
    j = json{{"port", c.port},
             {"user", c.user},
             {"password", c.password},
             {"auth", auth},
             {"realm", c.realm},
             {"hd", c.hd},
             {"capabilities", c.capabilities},
             {"loginBody", OptionalToJson(c.loginBody)},
             {"capabilityBody", OptionalToJson(c.capabilityBody)},
             {"ptzGetBody", OptionalToJson(c.ptzGetBody)},
             {"setAnswerBody", c.setAnswerBody},
             {"maxPayload", c.maxPayload},
             {"maxHeaderBytes", c.maxHeaderBytes},
             {"maxConnections", c.maxConnections},
             {"framePeriodMs", c.framePeriodMs},
             {"interlaced", c.encoder.interlaced},
             {"accessUnitDelimiters", c.encoder.accessUnitDelimiters},
             {"loopSeconds", c.loopSeconds},
             {"chaosSeed", OptionalToJson(c.chaosSeed)},
             {"chaosTimeScale", c.chaosTimeScale}};
}

void from_json(const json& j, Config& c) {
    RequireObject(j);
    ReadInteger(j, "port", c.port, 0, 65535);
    ReadValue(j, "user", c.user);
    ReadValue(j, "password", c.password);
    if (const auto it = j.find("auth"); it != j.end()) {
        c.auth.clear();
        for (const auto& name : it->get<std::vector<std::string>>()) {
            c.auth.push_back(SchemeFromName(name));
        }
    }
    ReadValue(j, "realm", c.realm);
    ReadValue(j, "hd", c.hd);
    if (const auto it = j.find("capabilities"); it != j.end()) it->get_to(c.capabilities);
    ReadOptional(j, "loginBody", c.loginBody);
    ReadOptional(j, "capabilityBody", c.capabilityBody);
    ReadOptional(j, "ptzGetBody", c.ptzGetBody);
    ReadValue(j, "setAnswerBody", c.setAnswerBody);
    ReadInteger(j, "maxPayload", c.maxPayload, 16, kMaxPayloadLimit);
    ReadInteger(j, "maxHeaderBytes", c.maxHeaderBytes, 0, kMaxHeaderLimit);
    ReadInteger(j, "maxConnections", c.maxConnections, 0, kMaxConnectionsLimit);
    ReadInteger(j, "framePeriodMs", c.framePeriodMs, 0, kMaxFramePeriodMs);
    ReadValue(j, "interlaced", c.encoder.interlaced);
    ReadValue(j, "accessUnitDelimiters", c.encoder.accessUnitDelimiters);
    ReadInteger(j, "loopSeconds", c.loopSeconds, 0, kMaxLoopSeconds);
    ReadValue(j, "chaosTimeScale", c.chaosTimeScale);
    if (const auto it = j.find("chaosSeed"); it != j.end()) {
        if (it->is_null()) {
            c.chaosSeed.reset();
        } else {
            uint64_t seed = 0;
            ReadUnsigned(j, "chaosSeed", seed);
            c.chaosSeed = seed;
        }
    }
}

void to_json(json& j, const Faults& f) {
    j = json{{"endless401", f.endless401},
             {"refuseConnections", f.refuseConnections},
             {"cgiDelayMs", f.cgiDelayMs},
             {"errorPathPrefix", f.errorPathPrefix},
             {"errorStatus", f.errorStatus},
             {"stall", f.stall},
             {"trickle", f.trickle},
             {"trickleBytes", f.trickleBytes},
             {"trickleDelayMs", f.trickleDelayMs},
             {"garbageBeforeFirstPart", f.garbageBeforeFirstPart},
             {"garbageBetweenParts", f.garbageBetweenParts},
             {"dropAfterParts", f.dropAfterParts},
             {"foreignParts", f.foreignParts}};
}

void from_json(const json& j, Faults& f) {
    RequireObject(j);
    ReadValue(j, "endless401", f.endless401);
    ReadValue(j, "refuseConnections", f.refuseConnections);
    ReadInteger(j, "cgiDelayMs", f.cgiDelayMs, 0, kMaxDelayMs);
    ReadValue(j, "errorPathPrefix", f.errorPathPrefix);
    ReadInt(j, "errorStatus", f.errorStatus);
    ReadValue(j, "stall", f.stall);
    ReadValue(j, "trickle", f.trickle);
    ReadInteger(j, "trickleBytes", f.trickleBytes, 0, kMaxPayloadLimit);
    ReadInteger(j, "trickleDelayMs", f.trickleDelayMs, 0, kMaxDelayMs);
    ReadValue(j, "garbageBeforeFirstPart", f.garbageBeforeFirstPart);
    ReadValue(j, "garbageBetweenParts", f.garbageBetweenParts);
    ReadInteger(j, "dropAfterParts", f.dropAfterParts, 0, std::numeric_limits<int64_t>::max());
    ReadValue(j, "foreignParts", f.foreignParts);
}

void to_json(json& j, const Stats& s) {
    j = json{{"connectionsAccepted", s.connectionsAccepted},
             {"streamsStarted", s.streamsStarted},
             {"streamsActive", s.streamsActive},
             {"framesEncoded", s.framesEncoded},
             {"framesSent", s.framesSent},
             {"keyFramesSent", s.keyFramesSent},
             {"partsSent", s.partsSent},
             {"bytesSent", s.bytesSent},
             {"stallsEntered", s.stallsEntered},
             {"streamsStalled", s.streamsStalled},
             {"connectionsDropped", s.connectionsDropped},
             {"reboots", s.reboots},
             {"chaosEvents", s.chaosEvents}};
}

void from_json(const json& j, Stats& s) {
    RequireObject(j);
    ReadUnsigned(j, "connectionsAccepted", s.connectionsAccepted);
    ReadUnsigned(j, "streamsStarted", s.streamsStarted);
    ReadUnsigned(j, "streamsActive", s.streamsActive);
    ReadUnsigned(j, "framesEncoded", s.framesEncoded);
    ReadUnsigned(j, "framesSent", s.framesSent);
    ReadUnsigned(j, "keyFramesSent", s.keyFramesSent);
    ReadUnsigned(j, "partsSent", s.partsSent);
    ReadUnsigned(j, "bytesSent", s.bytesSent);
    ReadUnsigned(j, "stallsEntered", s.stallsEntered);
    ReadUnsigned(j, "streamsStalled", s.streamsStalled);
    ReadUnsigned(j, "connectionsDropped", s.connectionsDropped);
    ReadUnsigned(j, "reboots", s.reboots);
    ReadUnsigned(j, "chaosEvents", s.chaosEvents);
}

void to_json(json& j, const StreamConfig& s) {
    j = json{{"width", s.width},
             {"height", s.height},
             {"frameRate", s.frameRate},
             {"iFrameInterval", s.iFrameInterval},
             {"bitRateKbps", s.bitRateKbps},
             {"videoQuality", s.videoQuality},
             {"rateControlMode", s.rateControlMode},
             {"resolutionCode", s.resolutionCode}};
}

void from_json(const json& j, StreamConfig& s) {
    RequireObject(j);
    ReadInt(j, "width", s.width);
    ReadInt(j, "height", s.height);
    ReadInt(j, "frameRate", s.frameRate);
    ReadInt(j, "iFrameInterval", s.iFrameInterval);
    ReadInt(j, "bitRateKbps", s.bitRateKbps);
    ReadInt(j, "videoQuality", s.videoQuality);
    ReadInt(j, "rateControlMode", s.rateControlMode);
    ReadInt(j, "resolutionCode", s.resolutionCode);
}

double MillisecondsSince(std::chrono::steady_clock::time_point origin,
                         std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(t - origin).count();
}

json RecordToJson(const RequestRecord& r, std::chrono::steady_clock::time_point origin) {
    return json{{"method", r.method},
                {"target", r.target},
                {"auth", AuthSchemeName(r.auth)},
                {"status", r.status},
                {"headers", r.headers},
                {"received", MillisecondsSince(origin, r.received)}};
}

RequestRecord RecordFromJson(const json& j, std::chrono::steady_clock::time_point origin) {
    RequestRecord r;
    RequireObject(j);
    r.method = j.at("method").get<std::string>();
    r.target = j.at("target").get<std::string>();
    r.auth = SchemeFromName(j.at("auth").get<std::string>());
    ReadInt(j, "status", r.status);
    if (j.contains("headers")) {
        r.headers = j.at("headers").get<std::vector<std::pair<std::string, std::string>>>();
    }
    const double ms = j.at("received").get<double>();
    if (!std::isfinite(ms) || std::fabs(ms) > kMaxRecordMs) {
        throw std::out_of_range("received: out of range");
    }
    r.received = origin + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double, std::milli>(ms));
    return r;
}

namespace {

std::chrono::steady_clock::time_point TimeFromJson(const json& j, const char* key,
                                                   std::chrono::steady_clock::time_point origin) {
    const json& value = j.at(key);
    if (value.is_null()) return std::chrono::steady_clock::time_point::max();
    const double ms = value.get<double>();
    if (!std::isfinite(ms) || std::fabs(ms) > kMaxRecordMs) {
        throw std::out_of_range(std::string(key) + ": out of range");
    }
    return origin + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double, std::milli>(ms));
}

}  // namespace

json OutageToJson(const Outage& o, std::chrono::steady_clock::time_point origin) {
    const bool open = o.end == std::chrono::steady_clock::time_point::max();
    return json{{"kind", o.kind},
                {"begin", MillisecondsSince(origin, o.begin)},
                {"end", open ? json(nullptr) : json(MillisecondsSince(origin, o.end))}};
}

Outage OutageFromJson(const json& j, std::chrono::steady_clock::time_point origin) {
    RequireObject(j);
    Outage o;
    o.kind = j.at("kind").get<std::string>();
    o.begin = TimeFromJson(j, "begin", origin);
    o.end = TimeFromJson(j, "end", origin);
    return o;
}

json PictureToJson(const SentPicture& p, std::chrono::steady_clock::time_point origin) {
    return json{{"stream", p.stream},
                {"index", p.index},
                {"due", MillisecondsSince(origin, p.due)},
                {"sent", MillisecondsSince(origin, p.sent)},
                {"accessUnitBytes", p.accessUnitBytes},
                {"keyFrame", p.keyFrame}};
}

SentPicture PictureFromJson(const json& j, std::chrono::steady_clock::time_point origin) {
    RequireObject(j);
    SentPicture p;
    p.stream = j.at("stream").get<uint64_t>();
    p.index = j.at("index").get<uint64_t>();
    p.due = TimeFromJson(j, "due", origin);
    p.sent = TimeFromJson(j, "sent", origin);
    p.accessUnitBytes = j.at("accessUnitBytes").get<std::size_t>();
    p.keyFrame = j.at("keyFrame").get<bool>();
    return p;
}

std::string Base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size())
            v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kBase64Alphabet[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kBase64Alphabet[v & 63] : '=';
    }
    return out;
}

bool Base64Decode(std::string_view text, std::size_t maxBytes, std::vector<uint8_t>* out) {
    static const std::array<int8_t, 256> kValues = [] {
        std::array<int8_t, 256> values{};
        values.fill(-1);
        for (int i = 0; i < 64; ++i)
            values[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<int8_t>(i);
        return values;
    }();
    out->clear();
    if (text.size() % 4 != 0 || text.size() / 4 * 3 > maxBytes + 2) return false;
    out->reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int padding = 0;
        uint32_t v = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2 && (k == 3 || text[i + 3] == '=')) {
                ++padding;
                v <<= 6;
                continue;
            }
            const int8_t value = kValues[static_cast<unsigned char>(c)];
            if (value < 0 || padding > 0) return false;
            v = (v << 6) | static_cast<uint32_t>(value);
        }
        out->push_back(static_cast<uint8_t>(v >> 16));
        if (padding < 2) out->push_back(static_cast<uint8_t>(v >> 8));
        if (padding < 1) out->push_back(static_cast<uint8_t>(v));
    }
    return out->size() <= maxBytes;
}

std::string ToLine(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace zarncam
