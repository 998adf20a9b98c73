// tactrecord: records a touch frame into a session file that tactreplay plays,
// so that what happened on a real frame can be replayed exactly.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "common/Version.hpp"
#include "platform/hid/HID.hpp"
#include "platform/hid/linux/LinuxBackend.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "tools/tactrecord/Recorder.hpp"

namespace {

constexpr const char* kUsage =
    "Usage: tactrecord [-o FILE] [--seconds N] [--wait]\n"
    "\n"
    "Records the touch frame into a session file for tactreplay (see\n"
    "docs/record.md): a frame header from the frame's own answers, then one\n"
    "raw line per touch report, with its time in seconds since the first one.\n"
    "Runs until interrupted (Ctrl-C, SIGTERM) or for N seconds. tactagent must\n"
    "not be running: it holds the frame.\n"
    "\n"
    "  -o, --output FILE  write the session to FILE (default, or -: standard output)\n"
    "  --seconds N        stop after N seconds\n"
    "  --wait             wait for a frame to be plugged in instead of failing\n"
    "  -h, --help         show this text\n"
    "  --version          show the version\n"
    "\n"
    "Exit status: 0 when the session was recorded, 1 when the frame could not be\n"
    "used or the session not written, 2 for a malformed command line.\n";

struct Options {
    std::string output = "-";
    std::optional<double> seconds;
    bool wait = false;
};

int usageError(const std::string& message) {
    std::fprintf(stderr, "tactrecord: %s\n\n%s", message.c_str(), kUsage);
    return 2;
}

// Returns the exit status when the program should end right away.
std::optional<int> parseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("tactrecord %s\n", tact::kSuiteVersion);
            return 0;
        } else if (arg == "-o" || arg == "--output") {
            if (!value(&options.output) || options.output.empty())
                return usageError(arg + " needs a file name");
        } else if (arg == "--seconds") {
            std::string text;
            if (!value(&text))
                return usageError("--seconds needs a number");
            char* end = nullptr;
            errno = 0;
            const double seconds = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(seconds) ||
                seconds <= 0)
                return usageError("--seconds needs a positive number of seconds");
            options.seconds = seconds;
        } else if (arg == "--wait") {
            options.wait = true;
        } else {
            return usageError("unknown argument '" + arg + "'");
        }
    }
    return std::nullopt;
}

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f && f != stdout)
            std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Where the Linux backend looks: the system's, or a tree laid out by a test.
platform::hid::LinuxBackendOptions backendOptions() {
    platform::hid::LinuxBackendOptions options;
    if (const char* sys = std::getenv("TACT_SYSFS_ROOT"); sys && *sys)
        options.sysfsRoot = sys;
    if (const char* dev = std::getenv("TACT_DEV_ROOT"); dev && *dev)
        options.devRoot = dev;
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (auto status = parseArguments(argc, argv, options))
        return *status;

    const bool toStdout = options.output == "-";
    const std::string outputName = toStdout ? "standard output" : options.output;
    File out(toStdout ? stdout : std::fopen(options.output.c_str(), "w"));
    if (!out) {
        std::fprintf(stderr, "tactrecord: cannot write %s: %s\n", options.output.c_str(),
                     std::strerror(errno));
        return 1;
    }

    auto loop = platform::makeRealRunLoop(true);
    platform::setMainRunLoop(loop.get());

    std::string writeError;
    bool wroteAnything = false;
    auto writer = [&](const std::string& text) {
        wroteAnything = true;
        if (std::fwrite(text.data(), 1, text.size(), out.get()) != text.size() ||
            std::fflush(out.get()) != 0) {
            writeError = std::strerror(errno);
            return false;
        }
        return true;
    };

    tact::record::Recorder::Options recorderOptions;
    recorderOptions.wait = options.wait;
    recorderOptions.note = [](const std::string& text) {
        std::fprintf(stderr, "tactrecord: %s\n", text.c_str());
    };
    int status = 0;
    {
        tact::record::Recorder recorder(*loop, platform::hid::makeLinuxBackend(backendOptions()),
                                        writer, recorderOptions);
        if (recorder.start()) {
            platform::Timer limit;
            if (options.seconds)
                limit =
                    loop->addTimer(*options.seconds, 0, [&](platform::Timer&) { loop->stop(0); });
            platform::Timer progress = loop->addTimer(1.0, 1.0, [&](platform::Timer&) {
                if (recorder.headerWritten())
                    std::fprintf(stderr, "tactrecord: %zu touch reports recorded\n",
                                 recorder.reportCount());
            });
            loop->run();
            recorder.finish();
        }
        using Failure = tact::record::Recorder::Failure;
        if (recorder.failure() == Failure::CannotWrite) {
            std::fprintf(stderr, "tactrecord: cannot write %s: %s\n", outputName.c_str(),
                         writeError.c_str());
            status = 1;
        } else if (recorder.failure() != Failure::None) {
            std::fprintf(stderr, "tactrecord: %s\n", recorder.message().c_str());
            status = 1;
        } else if (!recorder.headerWritten()) {
            std::fprintf(stderr, "tactrecord: no frame came; nothing was recorded\n");
            status = 1;
        } else {
            std::fprintf(stderr, "tactrecord: %zu touch reports recorded to %s\n",
                         recorder.reportCount(), outputName.c_str());
        }
    }
    platform::setMainRunLoop(nullptr);

    if (!toStdout) {
        if (std::fclose(out.release()) != 0 && status == 0) {
            std::fprintf(stderr, "tactrecord: cannot write %s: %s\n", outputName.c_str(),
                         std::strerror(errno));
            status = 1;
        }
        if (!wroteAnything)
            std::remove(options.output.c_str());  // nothing recorded: leave no empty file
    }
    return status;
}
