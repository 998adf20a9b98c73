// Tests of "permission denied" run as a user without root's pass over file
// modes, so that a node of mode 000 is refused as it is for a desktop user.
#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

namespace tact::test::hid {

inline constexpr uid_t kNobody = 65534;

// The command line that runs argv as nobody when the tests run as root.
inline std::vector<std::string> unprivileged(std::vector<std::string> argv) {
    if (::geteuid() == 0)
        argv.insert(argv.begin(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    return argv;
}

// The same with standard error joined to standard output.
inline std::vector<std::string> unprivilegedWithStderr(std::vector<std::string> argv) {
    argv = unprivileged(std::move(argv));
    argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh"});
    return argv;
}

// Runs fn in a child process, as nobody when the tests run as root; its
// result (0..255) or -1 when it did not exit.
inline int runUnprivileged(const std::function<int()>& fn) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            ::_exit(255);
        ::_exit(fn());
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Lets everyone into a test's folder (and the folders on the way down from
// it that the test made), so nobody reaches the files laid out there.
inline void openFolderToAll(const std::string& folder) {
    ::chmod(folder.c_str(), 0777);
}

}  // namespace tact::test::hid
