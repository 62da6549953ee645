// The arithmetic and /proc reading of the many-camera benchmark (many_bench.cpp), kept apart so
// that the suite can check them: what the kernel's process files say, and how CPU time and frame
// counts become the figures of the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarnbench {

// user + system time in clock ticks from the text of /proc/<pid>/stat. The command name (field 2)
// is in parentheses and may itself hold spaces and parentheses, so the fields are counted from
// the last ')'. nullopt when the text is not such a line.
std::optional<uint64_t> StatCpuTicks(std::string_view stat);

// Time on the CPU in nanoseconds from the text of /proc/<pid>/schedstat (its first field: user
// and system together, at the scheduler's precision).
std::optional<uint64_t> SchedstatRuntimeNs(std::string_view schedstat);

// The number of a "Name:   value [unit]" line of /proc/<pid>/status ("VmRSS", "Threads").
std::optional<long> StatusValue(std::string_view status, std::string_view name);

// CPU seconds (user + system) of process `pid` so far: the sum of the schedstat of its threads
// when the kernel keeps them (threads that already ended are left out, so differences are right
// only over a stretch in which no thread ended), else its stat at clock-tick precision. nullopt
// when the process is gone.
std::optional<double> ProcessCpuSeconds(int pid);

// Context switches of process `pid` (0: this process) so far, summed over its threads: voluntary
// ones (the thread blocked: a sleep, a wait for data; each is one wake-up later) and involuntary
// ones (preempted). Threads that already ended are left out, as for ProcessCpuSeconds. nullopt
// when the process is gone.
struct ContextSwitches {
    uint64_t voluntary = 0;
    uint64_t involuntary = 0;
};
std::optional<ContextSwitches> ProcessContextSwitches(int pid);

// Reads a whole /proc file (they report size 0, so no stat-then-read).
std::optional<std::string> ReadProcFile(const std::string& path);

// What `cpuSeconds` spent on `streams` streams over `windowSeconds` costs: per delivered frame
// (microseconds) and per hour of one stream (CPU seconds). A figure without frames, streams or
// time is nullopt rather than infinite.
struct CpuCost {
    std::optional<double> microsecondsPerFrame;
    std::optional<double> secondsPerStreamHour;
};
CpuCost CostOf(double cpuSeconds, uint64_t frames, size_t streams, double windowSeconds);

// a / b when both are known and b is above zero.
std::optional<double> Ratio(std::optional<double> a, std::optional<double> b);

// Frames the cameras sent in the window that the host did not receive in it: for each channel the
// growth of (sent - delivered) between two readings, each reading taking a camera's count and then
// the channel's at once, so that the frame in flight at either end cancels out. Negative values
// (a channel that caught up on a frame it held at the start) are kept in the sum, so that reading
// jitter averages out instead of adding up.
struct ChannelCounts {
    uint64_t sent = 0;
    uint64_t delivered = 0;
};
struct LossFigures {
    int64_t total = 0;   // sum over the channels
    int64_t fewest = 0;  // smallest per-channel value
    int64_t most = 0;    // largest per-channel value
};
LossFigures FramesLost(const std::vector<ChannelCounts>& start,
                       const std::vector<ChannelCounts>& end);

// "1,16,64" -> {1, 16, 64}; every count 1..`most`, separated by commas. nullopt on anything else.
std::optional<std::vector<int>> ParseCounts(std::string_view text, int most);

}  // namespace zarnbench
