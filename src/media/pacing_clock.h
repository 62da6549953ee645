// Time source and wait used by a stream parser to space out its deliveries.
//
// CPacingClock measures on the monotonic clock, so wall-clock jumps and whole seconds between two
// frames never distort the wait. Given a stop event, its waits end as soon as the event is set, so
// a channel that is being stopped is never held up by pacing. Tests substitute their own clock.
//
// Threads: used by the one thread that drives the parser; the stop event may be set from any
// thread.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace talvane {

class IPacingClock {
public:
    virtual ~IPacingClock() = default;
    // Milliseconds on a clock that never goes backwards.
    virtual uint64_t NowMs() = 0;
    // Waits `ms` milliseconds, or less when a stop was requested.
    virtual void Wait(uint32_t ms) = 0;
};

class CPacingClock final : public IPacingClock {
public:
    // `stopEvent` (borrowed, may be null) interrupts waits when set; it must outlive the clock.
    explicit CPacingClock(platform::Event* stopEvent = nullptr) : stopEvent_(stopEvent) {}

    uint64_t NowMs() override;
    void Wait(uint32_t ms) override;

private:
    platform::Event* stopEvent_;
};

}  // namespace talvane
