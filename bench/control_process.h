// A `zarncam control --port 0` child process for the long runs (soak, many_bench): the cameras live
// there, reached through the remote camera, so that the measured process holds only the driver.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>

namespace zarnbench {

// Stops a child: SIGTERM, up to two seconds for it to end, then SIGKILL. Its resource usage (CPU
// over its whole life) goes to `usage` when given.
void EndChild(pid_t pid, rusage* usage);

class ControlProcess {
public:
    ControlProcess() = default;
    ControlProcess(const ControlProcess&) = delete;
    ControlProcess& operator=(const ControlProcess&) = delete;
    ~ControlProcess();

    // Starts the child (it gets SIGTERM when this process dies) and reads the port it listens on,
    // waiting at most 20 s; false with `error` set when it did not start.
    bool Start(const std::string& zarncam, std::string* error);
    // "127.0.0.1:<port>", for ZARNCAM_CONTROL.
    const std::string& Address() const { return address_; }
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::string address_;
};

}  // namespace zarnbench
