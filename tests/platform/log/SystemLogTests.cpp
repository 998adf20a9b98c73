// The system log's rate limit, driven by a clock the tests set.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/log/SystemLog.hpp"

using platform::LogLevel;

namespace {

constexpr std::uint64_t kMillisecond = 1'000'000;

class SystemLogTest : public testing::Test {
  protected:
    SystemLogTest() : previousLevel_(platform::systemLogLevel()) {
        platform::setSystemLogLevel(LogLevel::Info);
        platform::setSystemLogClock([now = now_] { return *now; });
    }
    ~SystemLogTest() override {
        platform::setSystemLogClock({});
        platform::setSystemLogLevel(previousLevel_);
    }

    void at(std::uint64_t milliseconds) { *now_ = milliseconds * kMillisecond; }

    // The lines fn wrote to the system log (standard error).
    template <typename Fn>
    static std::vector<std::string> linesOf(Fn&& fn) {
        testing::internal::CaptureStderr();
        fn();
        std::istringstream in(testing::internal::GetCapturedStderr());
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    static bool endsWith(const std::string& s, const std::string& tail) {
        return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
    }

    std::shared_ptr<std::uint64_t> now_ = std::make_shared<std::uint64_t>(0);
    LogLevel previousLevel_;
};

// A flood of one warning: one line a second, each saying how many of the
// second before it left out; a quiet spell starts afresh.
TEST_F(SystemLogTest, FloodWritesOneLinePerSecondWithTheCountLeftOut) {
    struct Burst {
        std::uint64_t from, to, step;  // milliseconds, one warning each step
    };
    const Burst bursts[] = {
        {0, 3000, 1}, {5000, 5001, 1}, {5500, 5501, 1}, {7000, 7001, 1}, {9000, 9001, 1}};
    const std::vector<std::string> expected = {
        "unexpected real value 0 for 'LogTrigger'",
        "unexpected real value 1000 for 'LogTrigger' (and 999 more like it)",
        "unexpected real value 2000 for 'LogTrigger' (and 999 more like it)",
        "unexpected real value 5000 for 'LogTrigger' (and 999 more like it)",
        "unexpected real value 7000 for 'LogTrigger' (and 1 more like it)",
        "unexpected real value 9000 for 'LogTrigger'",
    };
    auto lines = linesOf([&] {
        for (const Burst& b : bursts) {
            for (std::uint64_t ms = b.from; ms < b.to; ms += b.step) {
                at(ms);
                platform::systemLog(
                    LogLevel::Warning,
                    "unexpected real value " + std::to_string(ms) + " for 'LogTrigger'\n");
            }
        }
    });
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(endsWith(lines[i], expected[i])) << lines[i];
}

// Two entries at the same moment: the second is written only when it is of
// another kind, or of a level that is never limited.
TEST_F(SystemLogTest, KindsAndLevelsAreLimitedIndependently) {
    struct Case {
        LogLevel firstLevel;
        const char* first;
        LogLevel secondLevel;
        const char* second;
        bool bothWritten;
    };
    const Case cases[] = {
        // Numbers and quoted values do not make a new kind...
        {LogLevel::Warning, "device 3: cannot read 'hidraw3'", LogLevel::Warning,
         "device 12: cannot read 'hidraw7'", false},
        {LogLevel::Warning, "level 1.5 ignored", LogLevel::Warning, "level -1e-300 ignored", false},
        {LogLevel::Warning, "serial SN-1 (+2)", LogLevel::Warning, "serial SN-22 (-3.5)", false},
        {LogLevel::Warning, "product 0x5666 \"A\"", LogLevel::Warning, "product 0x23c9 \"B C\"",
         false},
        // ...an apostrophe in a word quotes nothing...
        {LogLevel::Warning, "the frame's display 'a' can't be used", LogLevel::Warning,
         "the frame's display 'b' can't be used", false},
        // ...the words do.
        {LogLevel::Warning, "control LogTrigger ignored: unexpected real value", LogLevel::Warning,
         "control LogURL ignored: unexpected real value", true},
        {LogLevel::Warning, "cannot read /a/x.plist", LogLevel::Warning, "cannot read /b/x.plist",
         true},
        // The level is part of the kind; errors and notices are limited too.
        {LogLevel::Warning, "run loop stopped", LogLevel::Error, "run loop stopped", true},
        {LogLevel::Error, "run loop stopped", LogLevel::Error, "run loop stopped", false},
        {LogLevel::Notice, "shortcut 3 not found", LogLevel::Notice, "shortcut 4 not found", false},
        // Information and debug entries are never limited.
        {LogLevel::Info, "frame attached", LogLevel::Info, "frame attached", true},
        {LogLevel::Debug, "report 1", LogLevel::Debug, "report 1", true},
    };
    platform::setSystemLogLevel(LogLevel::Debug);
    for (const Case& k : cases) {
        platform::setSystemLogClock([now = now_] { return *now; });  // forgets earlier kinds
        at(10);
        auto lines = linesOf([&] {
            platform::systemLog(k.firstLevel, k.first);
            platform::systemLog(k.secondLevel, k.second);
        });
        ASSERT_GE(lines.size(), 1u) << k.first;
        EXPECT_EQ(lines.size(), k.bothWritten ? 2u : 1u) << k.first << " / " << k.second;
        EXPECT_TRUE(endsWith(lines[0], k.first)) << lines[0];
    }
}

// A crowd of kinds at once: the table stays at its limit, the kinds beyond it
// share one limit, and what they left out is told once the crowd has gone.
TEST_F(SystemLogTest, ManyKindsKeepTheTableBounded) {
    auto name = [](std::size_t i) {
        std::string word;
        do {
            word += static_cast<char>('a' + i % 26);
            i /= 26;
        } while (i > 0);
        return "no such shortcut " + word;
    };
    const std::size_t total = 10 * platform::kSystemLogKindLimit;
    auto lines = linesOf([&] {
        for (std::size_t i = 0; i < total; ++i)
            platform::systemLog(LogLevel::Warning, name(i));
    });
    EXPECT_EQ(lines.size(), platform::kSystemLogKindLimit + 1);  // the limit, and one beyond
    EXPECT_EQ(platform::systemLogKindsRemembered(), platform::kSystemLogKindLimit);

    at(1000);
    lines = linesOf([] { platform::systemLog(LogLevel::Warning, "a new kind"); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(endsWith(lines[0], "a new kind (and " +
                                       std::to_string(total - platform::kSystemLogKindLimit - 1) +
                                       " more left out)"))
        << lines[0];
    EXPECT_EQ(platform::systemLogKindsRemembered(), 1u);  // the quiet kinds were forgotten

    // One kind costs at most a bounded key, however long its message.
    EXPECT_LE(platform::systemLogKind(std::string(1 << 20, 'w')).size(), 200u);
}

}  // namespace
