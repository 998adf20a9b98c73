#include "tests/support/Subprocess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tact::test {
namespace {

using Clock = std::chrono::steady_clock;

struct Spawned {
    pid_t pid;
    int outFd;
    int errFd;
};

Spawned spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              bool captureErr) {
    int out[2];
    int err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    if (captureErr && pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e)
        envStrings.emplace_back(*e);
    for (const auto& kv : env) {
        auto name = kv.substr(0, kv.find('=') + 1);
        std::erase_if(envStrings, [&](const std::string& s) { return s.starts_with(name); });
        envStrings.push_back(kv);
    }
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (captureErr)
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    if (captureErr)
        close(err[1]);
    if (rc != 0) {
        close(out[0]);
        if (captureErr)
            close(err[0]);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
    return {pid, out[0], captureErr ? err[0] : -1};
}

int decodeStatus(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         std::chrono::milliseconds limit) {
    Spawned p = spawn(argv, env, true);
    ProcessResult result;
    auto deadline = Clock::now() + limit;
    bool outOpen = true;
    bool errOpen = true;
    while (outOpen || errOpen) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            kill(p.pid, SIGKILL);
            break;
        }
        pollfd fds[2] = {{outOpen ? p.outFd : -1, POLLIN, 0}, {errOpen ? p.errFd : -1, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
            } else {
                (i == 0 ? outOpen : errOpen) = false;
            }
        }
    }
    close(p.outFd);
    close(p.errFd);
    int status = 0;
    waitpid(p.pid, &status, 0);
    result.exitCode = result.timedOut ? -1 : decodeStatus(status);
    return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const std::vector<std::string>& env) {
    Spawned p = spawn(argv, env, false);
    pid_ = p.pid;
    outFd_ = p.outFd;
}

BackgroundProcess::~BackgroundProcess() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        int status;
        waitpid(pid_, &status, 0);
    }
    if (outFd_ >= 0)
        close(outFd_);
}

bool BackgroundProcess::readLineStartingWith(std::string_view prefix, std::string& line,
                                             std::chrono::milliseconds limit) {
    while (readLine(line, limit)) {
        if (line.starts_with(prefix))
            return true;
    }
    return false;
}

bool BackgroundProcess::readLine(std::string& line, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    for (;;) {
        auto nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd fd{outFd_, POLLIN, 0};
        int rc = poll(&fd, 1, static_cast<int>(left.count()));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            return false;
        char buf[4096];
        ssize_t n = read(outFd_, buf, sizeof buf);
        if (n <= 0)
            return false;
        buffer_.append(buf, static_cast<size_t>(n));
    }
}

bool BackgroundProcess::terminate() {
    return !reaped_ && pid_ > 0 && kill(pid_, SIGTERM) == 0;
}

int BackgroundProcess::wait(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            return decodeStatus(status);
        }
        usleep(5000);
    }
    return -1;
}

std::string builtProgram(const std::string& name) {
    auto self = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    for (auto dir : {self, self.parent_path() / "bin", self.parent_path() / "tests"}) {
        auto candidate = dir / name;
        if (std::filesystem::exists(candidate))
            return candidate.string();
    }
    return (self / name).string();
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace tact::test
