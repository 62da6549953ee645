// CHostGate: the door through which a worker thread reaches the host's objects (and the driver
// object, which the host may delete).
//
// A worker makes every call into the host through a CHostGate::Call, which opens only while the
// gate is open. A stopper that has to let its worker go (CWorkerThread) closes the gate first: from
// then on the worker starts no call into the host, so a call that was already under way when the
// gate closed (typically the one the worker is blocked in) is the last one. The gate is owned by
// the object the worker runs on, which the worker owns once it has been let go.
//
// Threads: any. Close never waits.
#pragma once

#include <atomic>
#include <cstdint>

namespace talvane {

class CHostGate {
public:
    CHostGate() = default;
    CHostGate(const CHostGate&) = delete;
    CHostGate& operator=(const CHostGate&) = delete;

    // One call (or a short run of calls that cannot block for long) into the host. Test it before
    // making the call: false means the gate is closed and the call must be skipped.
    class Call {
    public:
        explicit Call(CHostGate* gate) : gate_(gate) {
            if (gate_ == nullptr) return;
            gate_->inCall_.fetch_add(1);
            if (!gate_->open_.load()) {
                gate_->inCall_.fetch_sub(1);
                closed_ = true;
            }
        }
        ~Call() {
            if (gate_ != nullptr && !closed_) gate_->inCall_.fetch_sub(1);
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;
        explicit operator bool() const { return !closed_; }

    private:
        CHostGate* gate_;
        bool closed_ = false;
    };

    // No call into the host starts after this returns. Returns whether a call was under way.
    bool Close() {
        open_.store(false);
        return inCall_.load() > 0;
    }
    bool IsOpen() const { return open_.load(); }

private:
    std::atomic<bool> open_{true};
    std::atomic<int32_t> inCall_{0};
};

}  // namespace talvane
