#include "host_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace zarnhosttest {

std::string HostPath() {
    return ZARNHOST_PATH;
}

HostProcess::~HostProcess() {
    if (pid_ > 0) Finish(std::chrono::milliseconds(0));
}

bool HostProcess::Start(const std::vector<std::string>& args, const std::string& workDir) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (!workDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());

    const std::string path = HostPath();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    if (rc != 0) {
        pid_ = -1;
        close(outFd_);
        close(errFd_);
        outFd_ = errFd_ = -1;
        return false;
    }
    return true;
}

bool HostProcess::Pump(int waitMs) {
    pollfd fds[2];
    nfds_t n = 0;
    if (outFd_ >= 0) fds[n++] = {outFd_, POLLIN, 0};
    if (errFd_ >= 0) fds[n++] = {errFd_, POLLIN, 0};
    if (n == 0) return false;
    if (poll(fds, n, waitMs) <= 0) return true;
    for (nfds_t i = 0; i < n; ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        char buf[4096];
        const ssize_t got = read(fds[i].fd, buf, sizeof buf);
        const bool isOut = fds[i].fd == outFd_;
        if (got > 0) {
            (isOut ? result_.out : result_.err).append(buf, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            close(fds[i].fd);
            (isOut ? outFd_ : errFd_) = -1;
        }
    }
    return outFd_ >= 0 || errFd_ >= 0;
}

bool HostProcess::WaitForOutput(const std::function<bool(const std::string&)>& pred,
                                std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred(result_.out)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (!Pump(50)) return pred(result_.out);
    }
    return true;
}

void HostProcess::Signal(int signal) {
    if (pid_ > 0) kill(pid_, signal);
}

ProcessResult HostProcess::Finish(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return result_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Pump(50)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            result_.timedOut = true;
            kill(pid_, SIGKILL);
            break;
        }
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    while (Pump(0)) {
    }
    pid_ = -1;
    result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result_;
}

ProcessResult RunHost(const std::vector<std::string>& args, std::chrono::milliseconds timeout,
                      const std::string& workDir) {
    HostProcess p;
    if (!p.Start(args, workDir)) return {};
    return p.Finish(timeout);
}

}  // namespace zarnhosttest
