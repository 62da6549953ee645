// zarncam: a virtual Zarn HD IP camera on 127.0.0.1.
//
// The camera answers the CGI scripts the driver talks to (login check, capability list, PTZ,
// encoder configuration) and serves a live H.264 stream encoded with libx264 from a moving test
// pattern, framed in "Length: " parts. Authentication (none, Basic, Digest or both) and a set of
// faults can be switched at run time, and every request is recorded for the tests to inspect.
//
// Threads and ownership:
//   - The owner (a test or the CLI) constructs the Camera, calls Start() and Stop(); the
//     destructor stops. Start() and Stop() must not race each other.
//   - Start() launches one listener thread; every accepted connection gets its own thread, which
//     answers requests on that connection (keep-alive) or streams until the client goes away.
//   - Every other member function is thread-safe and may be called from any thread at any time,
//     also while streams run.
//   - Stop() closes the listener and every connection and joins all threads. Every loop inside
//     waits with short poll time-outs and checks a stop flag, so Stop() returns within about a
//     second even while a stream is stalled or a client does not read.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zarncam {

// Authentication scheme offered by the camera or used by a client's request.
enum class AuthScheme { kNone, kBasic, kDigest };

const char* AuthSchemeName(AuthScheme scheme);

// What "/cgi-bin/CapabilityConfig.cgi" reports, line by line.
struct Capabilities {
    std::optional<std::string> productId = std::string("HD2100");  // nullopt: line left out
    int audioNum = 1;
    int videoNum = 1;
    int inputPins = 1;
    int outputPins = 1;
    std::optional<bool> hd;  // nullopt: follows Config::hd
    std::string version = "2.4.1";
};

// Encoder settings of a stream, as set by "/cgi-bin/AVConfig.cgi?Action=Set".
struct StreamConfig {
    int width = 704;
    int height = 576;
    int frameRate = 25;        // frames per second, 1..60
    int iFrameInterval = 25;   // frames between IDR pictures (x264 keyint), 1..1000
    int bitRateKbps = 3072;    // 16..40000
    int videoQuality = 1;      // stored and reported, not used by the encoder
    int rateControlMode = 2;   // stored and reported, not used by the encoder
    int resolutionCode = 128;  // the code as received (or the default)
};

// How the camera's encoder codes its pictures, beyond what the stream configuration sets.
struct EncoderStyle {
    // Interlaced coding (MBAFF, main profile): the SPS has frame_mbs_only_flag 0, and sizes that
    // are no multiple of 32 lines are cropped in units of four lines (1080i: 1088 coded, 8
    // cropped).
    bool interlaced = false;
    // An access unit delimiter (NAL unit type 9) in front of every picture.
    bool accessUnitDelimiters = false;
};

struct Size {
    int width = 0;
    int height = 0;
};

// The camera's resolution codes: standard-definition table when hd is false, high-definition
// table otherwise. nullopt for a code that is not in the table.
std::optional<Size> ResolutionForCode(int code, bool hd);

// Default stream configuration of a camera in SD or HD mode.
StreamConfig DefaultStreamConfig(bool hd);

struct Config {
    uint16_t port = 0;  // 0: an ephemeral port, see Camera::Port()
    std::string user = "admin";
    std::string password = "admin";
    // Schemes offered in a 401, in the order of the WWW-Authenticate headers. Empty: no
    // authentication, every request is accepted. kNone entries are ignored.
    std::vector<AuthScheme> auth;
    std::string realm = "ZarnCam";
    bool hd = false;  // HD resolution table and HD=1 in the capability list
    Capabilities capabilities;
    // Whole-body overrides of the CGI answers (nullopt: the normal answer).
    std::optional<std::string> loginBody;
    std::optional<std::string> capabilityBody;
    std::optional<std::string> ptzGetBody;
    std::string setAnswerBody = "OK\r\n";  // answer of AVConfig and PtzConfig Action=Set
    std::size_t maxPayload = 4096;         // payload bytes per part, at least 16
    std::size_t maxHeaderBytes = 8192;     // request line + headers; larger: 431 and close
    std::size_t maxConnections = 32;       // further connections are closed at once
    // 0: streams run at the frame rate AVConfig set. Otherwise one picture every framePeriodMs,
    // whatever was set: a camera with a rate of its own, or one that the integer FrameRate
    // cannot ask for (80 ms, 12.5 pictures a second).
    int framePeriodMs = 0;
    // The encoder's coding of every stream (progressive, no delimiters by default).
    EncoderStyle encoder;
    // 0: every stream encodes its pictures live. Otherwise the camera encodes this many seconds
    // (whole key-frame intervals) once per stream configuration and loops them to every stream,
    // each stream starting at the loop's first (key) picture: the same key-frame structure, the
    // frame counters of Stats going on. Cameras of one process share the loops, so many cameras
    // cost little CPU.
    int loopSeconds = 0;
    // Set: the camera misbehaves on its own, reproducibly from the seed. Every stream runs healthy
    // for a while, then meets one fault of chaos.h (stream ended, dropped or stalled; junk, a
    // trickle or non-H.264 bytes for a while; a bare "Length: " of 2^31; a spell of 401 or 500
    // answers or refused connections; a reboot), then the next, drawn in stream order. Every
    // stretch without pictures is recorded in Outages().
    std::optional<uint64_t> chaosSeed;
    // Multiplies every chaos duration (healthy stretches 5..40 s, faults 2..20 s at 1); tests and
    // quick runs shrink it. Clamped to 0.001..1000.
    double chaosTimeScale = 1.0;
};

// Faults that can be switched at run time. They take effect on the next request, or for streams
// on the next part.
struct Faults {
    bool endless401 = false;         // answer 401 (with challenges) to every request
    bool refuseConnections = false;  // accept and close new connections at once
    int cgiDelayMs = 0;              // delay every answer (stream header included) by N ms
    std::string errorPathPrefix;     // requests whose path starts with it get errorStatus
    int errorStatus = 500;
    bool stall = false;    // streams stop in the middle of a payload until cleared
    bool trickle = false;  // streams go out trickleBytes at a time with trickleDelayMs pauses
    std::size_t trickleBytes = 7;
    int trickleDelayMs = 2;
    bool garbageBeforeFirstPart = false;  // junk bytes before the first stream part
    bool garbageBetweenParts = false;     // junk bytes in front of every further part
    // 0: off. Otherwise every stream sends this many parts whole, then half of the next one,
    // and closes the connection (a camera that keeps dropping its streams).
    std::size_t dropAfterParts = 0;
    // Streams send parts of non-H.264 bytes (units of a type the camera never sends, in the same
    // framing) instead of pictures until cleared; pictures go on from the next key frame.
    bool foreignParts = false;
};

// A stretch in which the camera delivered no pictures of its own accord: a chaos fault or a
// Reboot(). `begin` is when the fault started, `end` when the camera could serve pictures again
// (a stall ends when the camera gives up or the client closes, a spell or reboot when it is over,
// non-H.264 bytes with the next key picture); an instant fault (stream ended or dropped) has
// begin == end. `end` is time_point::max() while the outage lasts.
struct Outage {
    std::string kind;  // ChaosKindName of the fault, or "reboot"
    std::chrono::steady_clock::time_point begin;
    std::chrono::steady_clock::time_point end;
};

// A picture a stream sent, for measuring how long pictures take to reach a host.
struct SentPicture {
    uint64_t stream = 0;  // the stream's number, counted from 1 in the order streams started
    uint64_t index = 0;   // the picture's number in its stream, from 0
    // When the camera's real-time schedule had the picture go out (after a pause: while it was
    // held), and when its last byte was handed to the connection.
    std::chrono::steady_clock::time_point due;
    std::chrono::steady_clock::time_point sent;
    // The picture's NAL units, each with a three-byte start code: a driver frame of this picture
    // carries these bytes (plus whatever it adds).
    std::size_t accessUnitBytes = 0;
    bool keyFrame = false;
};

struct RequestRecord {
    std::string method;
    std::string target;                   // path and query exactly as sent
    AuthScheme auth = AuthScheme::kNone;  // scheme of the client's Authorization header
    int status = 0;                       // status answered
    std::chrono::steady_clock::time_point received;
    std::vector<std::pair<std::string, std::string>> headers;  // as received, names lower-cased

    std::string Path() const;  // target up to '?'
};

struct Stats {
    uint64_t connectionsAccepted = 0;
    uint64_t streamsStarted = 0;
    uint64_t streamsActive = 0;
    uint64_t framesEncoded = 0;
    uint64_t framesSent = 0;     // pictures whose parts were all sent
    uint64_t keyFramesSent = 0;  // IDR pictures among them
    uint64_t partsSent = 0;
    uint64_t bytesSent = 0;       // stream bytes, framing included
    uint64_t stallsEntered = 0;   // times a stream stopped mid-payload because of the stall fault
    uint64_t streamsStalled = 0;  // streams waiting in a stall right now
    uint64_t connectionsDropped = 0;  // streams cut by DropNextPart() or dropAfterParts
    uint64_t reboots = 0;             // reboots completed (the port listens again)
    uint64_t chaosEvents = 0;         // chaos events drawn
};

class Camera {
public:
    explicit Camera(Config config = {});
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // Binds 127.0.0.1 on the configured port and starts serving. False when the port cannot be
    // bound or the camera already runs. A stopped camera can be started again.
    bool Start();
    // Closes the listener and every connection, joins all threads. Idempotent.
    void Stop();
    bool Running() const;
    uint16_t Port() const;    // the bound port; 0 when not running
    std::string Url() const;  // "http://127.0.0.1:<port>"

    // Configuration: changes apply to requests received afterwards (the port only on Start).
    Config GetConfig() const;
    void SetConfig(const Config& config);

    Faults GetFaults() const;
    void SetFaults(const Faults& faults);
    void UpdateFaults(const std::function<void(Faults&)>& change);
    // One-shot stream faults, each consumed by the next part some stream sends.
    void DropNextPart();  // half the part goes out, then the connection is closed
    void InjectHugeLength(uint64_t length = 999999999);  // a bare header with that length
    // The camera reboots: the port closes with every connection, connections are refused for
    // `downtime`, then the camera listens on the same port again and every stream starts afresh
    // (configuration, presets and records are kept). Ignored while not running or rebooting.
    void Reboot(std::chrono::milliseconds downtime);
    // Outages so far (chaos faults and reboots), oldest first; the oldest half is dropped beyond
    // 100000.
    std::vector<Outage> Outages() const;
    // Every running stream holds its pictures for `pause` (a busy camera, a link that stops
    // carrying data): it goes on taking pictures on its schedule, sends none, and sends all it
    // held at once when the pause ends, then goes on at its pace.
    void PauseStreams(std::chrono::milliseconds pause);
    // Pictures sent by every stream, oldest first; the oldest half is dropped beyond 100000.
    std::vector<SentPicture> SentPictures() const;

    std::vector<RequestRecord> Requests() const;
    void ClearRequests();
    // Waits until pred holds for the recorded requests; false when timeout passed first. pred
    // runs under the lock of the records: it must not call back into the camera.
    bool WaitFor(const std::function<bool(const std::vector<RequestRecord>&)>& pred,
                 std::chrono::milliseconds timeout) const;
    // Waits until at least n recorded requests have a path starting with pathPrefix.
    bool WaitForRequestCount(std::string_view pathPrefix, std::size_t n,
                             std::chrono::milliseconds timeout) const;

    Stats GetStats() const;
    bool WaitForStats(const std::function<bool(const Stats&)>& pred,
                      std::chrono::milliseconds timeout) const;

    // The configuration the next stream will use, and the one the latest stream started with.
    StreamConfig PendingStreamConfig() const;
    std::optional<StreamConfig> LastStreamConfig() const;

    // Presets stored through PtzConfig (Move=PresetSet), by number; PresetClear removes one.
    std::map<int, std::string> Presets() const;

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace zarncam
