#include "chaos.h"

namespace zarncam {
namespace {

struct Weighted {
    ChaosKind kind;
    unsigned weight;
};

// Stream faults are the common case; camera-wide spells and reboots come now and then.
constexpr Weighted kKinds[] = {
    {ChaosKind::kEnd, 2},     {ChaosKind::kDrop, 3},     {ChaosKind::kStall, 3},
    {ChaosKind::kGarbage, 3}, {ChaosKind::kTrickle, 2},  {ChaosKind::kHugeLength, 2},
    {ChaosKind::kForeign, 2}, {ChaosKind::kSpell401, 1}, {ChaosKind::kSpell500, 1},
    {ChaosKind::kRefuse, 1},  {ChaosKind::kReboot, 1},
};

bool Instant(ChaosKind kind) {
    return kind == ChaosKind::kEnd || kind == ChaosKind::kDrop || kind == ChaosKind::kHugeLength;
}

}  // namespace

const char* ChaosKindName(ChaosKind kind) {
    switch (kind) {
        case ChaosKind::kEnd:
            return "end";
        case ChaosKind::kDrop:
            return "drop";
        case ChaosKind::kStall:
            return "stall";
        case ChaosKind::kGarbage:
            return "garbage";
        case ChaosKind::kTrickle:
            return "trickle";
        case ChaosKind::kHugeLength:
            return "huge";
        case ChaosKind::kForeign:
            return "foreign";
        case ChaosKind::kSpell401:
            return "401";
        case ChaosKind::kSpell500:
            return "500";
        case ChaosKind::kRefuse:
            return "refuse";
        case ChaosKind::kReboot:
            return "reboot";
    }
    return "?";
}

// splitmix64: every seed, 0 included, gives a well-mixed sequence.
uint64_t ChaosPlanner::NextBits() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double ChaosPlanner::Uniform(double low, double high) {
    return low + (high - low) * static_cast<double>(NextBits() >> 11) / 9007199254740992.0;
}

ChaosEvent ChaosPlanner::Next() {
    unsigned total = 0;
    for (const Weighted& k : kKinds) total += k.weight;
    unsigned pick = static_cast<unsigned>(NextBits() % total);
    ChaosEvent event;
    for (const Weighted& k : kKinds) {
        if (pick < k.weight) {
            event.kind = k.kind;
            break;
        }
        pick -= k.weight;
    }
    event.healthySeconds = Uniform(kMinHealthy, kMaxHealthy);
    event.seconds = Instant(event.kind) ? 0 : Uniform(kMinFault, kMaxFault);
    return event;
}

}  // namespace zarncam
