// Runs the built zarnhost as a child process, the way a user does from a shell, and collects its
// standard output, standard error and exit status. Used by the host suite only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace zarnhosttest {

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal when it was killed
    bool timedOut = false;
    std::string out;
    std::string err;
};

class HostProcess {
public:
    HostProcess() = default;
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    // Starts zarnhost with `args` (without the program name) in `workDir` (empty: the current one).
    bool Start(const std::vector<std::string>& args, const std::string& workDir = "");
    // Reads output until `pred(out)` holds; false when the time-out passed or the process ended.
    bool WaitForOutput(const std::function<bool(const std::string&)>& pred,
                       std::chrono::milliseconds timeout);
    void Signal(int signal);
    // Reads until the process ends; kills it after `timeout`.
    ProcessResult Finish(std::chrono::milliseconds timeout);

private:
    // Reads what is available for up to `waitMs`; false once both pipes are closed.
    bool Pump(int waitMs);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    ProcessResult result_;
};

// Runs zarnhost to the end.
ProcessResult RunHost(const std::vector<std::string>& args,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60),
                      const std::string& workDir = "");

// The path of the built zarnhost.
std::string HostPath();

}  // namespace zarnhosttest
