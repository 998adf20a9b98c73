// Runs another program for a test: arguments, extra environment, its standard
// output captured, a time limit.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tact::test {

struct ProcessResult {
    int exitCode = -1;  // -1 when it did not exit normally
    bool timedOut = false;
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs argv[0] (a path) with argv, environment = ours plus env (NAME=value),
// standard input from /dev/null. Kills it after the time limit.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {},
                         std::chrono::milliseconds limit = std::chrono::seconds(20));

// Asks condition again every 10 ms until it holds or the time is up; true
// when it held.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(5));

// The lines of a program's output (without their line breaks).
std::vector<std::string> linesOf(const std::string& text);

// A program running in the background; killed and reaped when destroyed.
class BackgroundProcess {
  public:
    BackgroundProcess(const std::vector<std::string>& argv,
                      const std::vector<std::string>& env = {});
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // Reads standard output until a full line is there (without its line
    // break), or returns false after the time limit or at end of output.
    bool readLine(std::string& line, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Reads lines until one starts with prefix, which is left in line; false
    // as readLine (the time limit is for each line).
    bool readLineStartingWith(std::string_view prefix, std::string& line,
                              std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Waits for the exit; returns the exit code, -1 when killed or timed out.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(10));
    int pid() const { return pid_; }
    // Sends SIGTERM, as a logout or a service manager does; false when it
    // could not be sent.
    bool terminate();

  private:
    int pid_ = -1;
    int outFd_ = -1;
    std::string buffer_;
    bool reaped_ = false;
};

// Path of a program built beside the test programs (build/tests or build/bin).
std::string builtProgram(const std::string& name);

}  // namespace tact::test
