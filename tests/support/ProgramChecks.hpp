// What every program with windows must do the same way: answer --help with
// neither a display nor a bus, refuse an option without its value before any
// window, and say so and exit when there is no bus.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <source_location>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

namespace tact::test {

// The built program with args, where no display and no bus can be reached.
inline ProcessResult runWithoutDisplayOrBus(const std::string& program,
                                            std::vector<std::string> args) {
    args.insert(args.begin(), builtProgram(program));
    return runProcess(args, {"QT_QPA_PLATFORM=xcb", "DISPLAY=", "DBUS_SESSION_BUS_ADDRESS="});
}

// The built program on the offscreen platform, its folders in dir, its bus
// address a socket nobody listens on.
inline ProcessResult runWithoutABus(const std::string& program, const TempDir& dir) {
    return runProcess({builtProgram(program)},
                      {"QT_QPA_PLATFORM=offscreen", "HOME=" + dir.path(),
                       "XDG_CONFIG_HOME=" + dir.path(), "XDG_RUNTIME_DIR=" + dir.path(),
                       "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir.file("no-bus-here")});
}

// --help needs neither a display nor a bus: it exits 0 with the program's
// usage, which mentions each of mentions.
inline void expectHelpWithoutDisplayOrBus(
    const std::string& program, std::initializer_list<std::string_view> mentions,
    std::source_location where = std::source_location::current()) {
    ::testing::ScopedTrace trace(where.file_name(), static_cast<int>(where.line()), program);
    auto result = runWithoutDisplayOrBus(program, {"--help"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(result.out.starts_with("Usage: " + program)) << result.out;
    for (std::string_view mention : mentions)
        EXPECT_NE(result.out.find(mention), std::string::npos) << mention;
}

// An option given without its value is refused before any window: exit 2
// and the message.
inline void expectOptionRefused(const std::string& program, const std::string& option,
                                std::string_view message,
                                std::source_location where = std::source_location::current()) {
    ::testing::ScopedTrace trace(where.file_name(), static_cast<int>(where.line()), program);
    auto result = runWithoutDisplayOrBus(program, {option});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
}

// Without a bus the program says so and exits 1.
inline void expectExitWithoutABus(const std::string& program,
                                  std::source_location where = std::source_location::current()) {
    ::testing::ScopedTrace trace(where.file_name(), static_cast<int>(where.line()), program);
    TempDir dir;
    auto result = runWithoutABus(program, dir);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("bus"), std::string::npos) << result.err;
}

}  // namespace tact::test
