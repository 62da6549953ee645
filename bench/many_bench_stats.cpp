#include "many_bench_stats.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>

namespace zarnbench {

namespace {

// The next whitespace-separated word of `text` from `at` on, as an unsigned number.
std::optional<uint64_t> NextNumber(std::string_view text, size_t& at) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n')) ++at;
    uint64_t value = 0;
    const char* first = text.data() + at;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || (end != last && *end != ' ' && *end != '\n' && *end != '\t')) {
        return std::nullopt;
    }
    at = static_cast<size_t>(end - text.data());
    return value;
}

// Skips one whitespace-separated word.
bool SkipWord(std::string_view text, size_t& at) {
    while (at < text.size() && text[at] == ' ') ++at;
    if (at >= text.size()) return false;
    while (at < text.size() && text[at] != ' ') ++at;
    return true;
}

}  // namespace

std::optional<uint64_t> StatCpuTicks(std::string_view stat) {
    const size_t close = stat.rfind(')');
    if (close == std::string_view::npos || stat.find('(') > close) return std::nullopt;
    size_t at = close + 1;
    // Fields after the name: 3 state, 4 ppid, ... 14 utime, 15 stime.
    for (int field = 3; field <= 13; ++field) {
        if (!SkipWord(stat, at)) return std::nullopt;
    }
    const auto user = NextNumber(stat, at);
    const auto system = user ? NextNumber(stat, at) : std::nullopt;
    if (!system) return std::nullopt;
    return *user + *system;
}

std::optional<uint64_t> SchedstatRuntimeNs(std::string_view schedstat) {
    size_t at = 0;
    return NextNumber(schedstat, at);
}

std::optional<long> StatusValue(std::string_view status, std::string_view name) {
    size_t at = 0;
    while (at < status.size()) {
        size_t end = status.find('\n', at);
        if (end == std::string_view::npos) end = status.size();
        const std::string_view line = status.substr(at, end - at);
        at = end + 1;
        if (line.size() <= name.size() || line.substr(0, name.size()) != name ||
            line[name.size()] != ':') {
            continue;
        }
        size_t from = name.size() + 1;
        while (from < line.size() && (line[from] == ' ' || line[from] == '\t')) ++from;
        long value = 0;
        const auto [ptr, error] =
            std::from_chars(line.data() + from, line.data() + line.size(), value);
        if (error != std::errc() || ptr == line.data() + from) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

std::optional<std::string> ReadProcFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) return std::nullopt;
    return text;
}

namespace {

// Calls `visit` with the path of each thread's folder of process `pid` ("self" for 0); false when
// the process has no task folder.
template <class Visit>
bool ForEachTask(int pid, Visit&& visit) {
    const std::string folder =
        "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/task/";
    DIR* tasks = ::opendir(folder.c_str());
    if (tasks == nullptr) return false;
    while (const dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] != '.') visit(folder + entry->d_name + "/");
    }
    ::closedir(tasks);
    return true;
}

}  // namespace

std::optional<double> ProcessCpuSeconds(int pid) {
    uint64_t ns = 0;
    bool any = false;
    ForEachTask(pid, [&](const std::string& task) {
        const auto text = ReadProcFile(task + "schedstat");
        const auto runtime = text ? SchedstatRuntimeNs(*text) : std::nullopt;
        if (runtime) {
            ns += *runtime;
            any = true;
        }
    });
    if (any) return static_cast<double>(ns) * 1e-9;
    if (const auto text = ReadProcFile("/proc/" + std::to_string(pid) + "/stat")) {
        if (const auto ticks = StatCpuTicks(*text)) {
            return static_cast<double>(*ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
        }
    }
    return std::nullopt;
}

std::optional<ContextSwitches> ProcessContextSwitches(int pid) {
    ContextSwitches total;
    bool any = false;
    const bool found = ForEachTask(pid, [&](const std::string& task) {
        const auto text = ReadProcFile(task + "status");
        if (!text) return;  // the thread ended meanwhile
        const auto voluntary = StatusValue(*text, "voluntary_ctxt_switches");
        const auto involuntary = StatusValue(*text, "nonvoluntary_ctxt_switches");
        if (!voluntary || !involuntary) return;
        total.voluntary += static_cast<uint64_t>(*voluntary);
        total.involuntary += static_cast<uint64_t>(*involuntary);
        any = true;
    });
    if (!found || !any) return std::nullopt;
    return total;
}

CpuCost CostOf(double cpuSeconds, uint64_t frames, size_t streams, double windowSeconds) {
    CpuCost cost;
    if (frames > 0) cost.microsecondsPerFrame = cpuSeconds * 1e6 / static_cast<double>(frames);
    if (streams > 0 && windowSeconds > 0) {
        cost.secondsPerStreamHour =
            cpuSeconds / static_cast<double>(streams) * 3600.0 / windowSeconds;
    }
    return cost;
}

std::optional<double> Ratio(std::optional<double> a, std::optional<double> b) {
    if (!a || !b || *b <= 0) return std::nullopt;
    return *a / *b;
}

LossFigures FramesLost(const std::vector<ChannelCounts>& start,
                       const std::vector<ChannelCounts>& end) {
    LossFigures figures;
    const size_t n = std::min(start.size(), end.size());
    for (size_t i = 0; i < n; ++i) {
        const int64_t sent = static_cast<int64_t>(end[i].sent - start[i].sent);
        const int64_t delivered = static_cast<int64_t>(end[i].delivered - start[i].delivered);
        const int64_t lost = sent - delivered;
        figures.total += lost;
        figures.fewest = i == 0 ? lost : std::min(figures.fewest, lost);
        figures.most = i == 0 ? lost : std::max(figures.most, lost);
    }
    return figures;
}

std::optional<std::vector<int>> ParseCounts(std::string_view text, int most) {
    std::vector<int> counts;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find(',', at);
        if (end == std::string_view::npos) end = text.size();
        int value = 0;
        const auto [ptr, error] = std::from_chars(text.data() + at, text.data() + end, value);
        if (error != std::errc() || ptr != text.data() + end || value < 1 || value > most) {
            return std::nullopt;
        }
        counts.push_back(value);
        at = end + 1;
    }
    if (counts.empty()) return std::nullopt;
    return counts;
}

}  // namespace zarnbench
