// The misbehaviour of a chaos camera (Config::chaosSeed): a reproducible sequence of events, one
// drawn each time a stream needs its next one. Each event is a healthy stretch of the stream and
// then one fault: the stream ends, drops in the middle of a part or stalls; junk between parts,
// a trickle or non-H.264 bytes for a while; a bare "Length: " of 2^31; or, for the whole camera, a
// spell of 401 or 500 answers, of refused connections, or a reboot.
//
// The same seed gives the same events in the same order; which stream gets which event depends
// only on the order in which streams ask. Pure computation, no clock: the camera carries the
// events out. Not thread-safe; the camera draws under its lock.
#pragma once

#include <cstdint>
#include <string>

namespace zarncam {

enum class ChaosKind {
    kEnd,         // the camera ends the stream
    kDrop,        // half a part, then the connection closes
    kStall,       // the stream stops in the middle of a payload for `seconds`, then closes
    kGarbage,     // junk in front of every part for `seconds`
    kTrickle,     // the stream goes out in small pieces for `seconds`
    kHugeLength,  // one bare part header announcing 2^31 bytes
    kForeign,     // parts of non-H.264 bytes instead of pictures for `seconds`
    kSpell401,    // every request answered 401 for `seconds`
    kSpell500,    // every request answered 500 for `seconds`
    kRefuse,      // connections accepted and closed at once for `seconds`
    kReboot,      // the port closes for `seconds`, then the camera comes back
};

const char* ChaosKindName(ChaosKind kind);

struct ChaosEvent {
    ChaosKind kind = ChaosKind::kEnd;
    double healthySeconds = 0;  // the stream runs healthy this long before the fault
    double seconds = 0;         // how long the fault lasts (0 for the instant ones)
};

class ChaosPlanner {
public:
    explicit ChaosPlanner(uint64_t seed) : state_(seed) {}

    ChaosEvent Next();

    // Ranges of the draws.
    static constexpr double kMinHealthy = 5;
    static constexpr double kMaxHealthy = 40;
    static constexpr double kMinFault = 2;
    static constexpr double kMaxFault = 20;

private:
    uint64_t NextBits();
    double Uniform(double low, double high);

    uint64_t state_;
};

}  // namespace zarncam
