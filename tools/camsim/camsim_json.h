// JSON forms of the simulator's records, shared by the control server (which runs the cameras)
// and the remote Camera (which forwards the Camera API to it), so both sides read and write the
// same field names.
//
// Reading checks every number against the range the camera can use and throws
// nlohmann::json::exception (or std::out_of_range) on a missing field, a wrong type or a value
// out of range; the caller turns that into an error answer. Pure functions, any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "camsim.h"

namespace zarncam {

void to_json(nlohmann::json& j, const Capabilities& c);
void from_json(const nlohmann::json& j, Capabilities& c);
void to_json(nlohmann::json& j, const Config& c);
void from_json(const nlohmann::json& j, Config& c);
void to_json(nlohmann::json& j, const Faults& f);
void from_json(const nlohmann::json& j, Faults& f);
void to_json(nlohmann::json& j, const Stats& s);
void from_json(const nlohmann::json& j, Stats& s);
void to_json(nlohmann::json& j, const StreamConfig& s);
void from_json(const nlohmann::json& j, StreamConfig& s);

// A record's receive time travels as milliseconds (with a fraction) since an origin of the
// sender's steady clock; the reader places it on its own clock at its copy of that origin.
nlohmann::json RecordToJson(const RequestRecord& r, std::chrono::steady_clock::time_point origin);
RequestRecord RecordFromJson(const nlohmann::json& j, std::chrono::steady_clock::time_point origin);
// An outage the same way; an end that is still open (time_point::max()) travels as null.
nlohmann::json OutageToJson(const Outage& o, std::chrono::steady_clock::time_point origin);
Outage OutageFromJson(const nlohmann::json& j, std::chrono::steady_clock::time_point origin);
// A sent picture the same way.
nlohmann::json PictureToJson(const SentPicture& p, std::chrono::steady_clock::time_point origin);
SentPicture PictureFromJson(const nlohmann::json& j, std::chrono::steady_clock::time_point origin);

// Milliseconds from origin to t.
double MillisecondsSince(std::chrono::steady_clock::time_point origin,
                         std::chrono::steady_clock::time_point t);

// Standard base64 (with padding) for byte strings inside JSON. Decoding returns false on a
// character outside the alphabet, a bad length or an output longer than maxBytes.
std::string Base64Encode(std::string_view bytes);
bool Base64Decode(std::string_view text, std::size_t maxBytes, std::vector<uint8_t>* out);

// One JSON line: the text without a line break, invalid UTF-8 replaced instead of throwing.
std::string ToLine(const nlohmann::json& j);

}  // namespace zarncam
