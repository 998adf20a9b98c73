// tactreplay as a user runs it: a session file in, a trace out.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <sstream>

#include "platform/values/Json.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

using tact::test::builtProgram;
using tact::test::linesOf;
using tact::test::runProcess;
using tact::test::TempDir;

namespace {

struct Replay {
    tact::test::ProcessResult result;
    std::vector<platform::Dictionary> lines;
};

Replay replay(const std::string& session, std::vector<std::string> extra = {},
              const std::string& logLevel = "info") {
    TempDir dir;
    auto path = dir.file("session.txt");
    tact::test::writeFile(path, session);
    std::vector<std::string> argv = {builtProgram("tactreplay"), path, "--trace", "-"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Replay r;
    r.result = runProcess(argv, {"TZ=UTC", "TACT_LOG_LEVEL=" + logLevel});
    std::istringstream in(r.result.out);
    for (std::string line; std::getline(in, line);) {
        auto v = platform::json::parse(line);
        EXPECT_TRUE(v && v->isDictionary()) << line;
        if (v && v->isDictionary())
            r.lines.push_back(*v->asDictionary());
    }
    return r;
}

std::string text(const platform::Dictionary& d) {
    return platform::json::toText(platform::Value(d));
}

const platform::Dictionary& userInfo(const platform::Dictionary& line) {
    static const platform::Dictionary none;
    const auto* d = line.dictionary("userInfo");
    return d ? *d : none;
}

}  // namespace

TEST(ReplayTest, HandshakeInformationAndRemovalAreTraced) {
    auto r = replay(
        "frame product=0x5668 bootparam=280000000000000000000000000000a0 serial=SN-1 type=T-1 "
        "shiptime=1577836800\n"
        "0.5 control {\"NeedSerialNumber\": true}\n"
        "1.0 detach\n");
    ASSERT_EQ(r.result.exitCode, 0) << r.result.err;
    ASSERT_EQ(r.lines.size(), 4u) << r.result.out;

    EXPECT_EQ(text(userInfo(r.lines[0])), R"({"Driver Version":"2.0"})");
    EXPECT_EQ(
        text(userInfo(r.lines[1])),
        R"({"IsDeviceReady":true,"SerialNumber":"SN-1","Type":"T-1","ShipDate":"2020-1-1","ShipTime":"00:00:00"})");
    EXPECT_EQ(*r.lines[1].string("notification"), platform::String("ZYVTouch Event"));
    EXPECT_EQ(*r.lines[1].string("object"), platform::String("com.multiTouchSupportObj"));
    EXPECT_EQ(r.lines[1].number("t"), 0.0);

    const auto& reply = userInfo(r.lines[2]);
    EXPECT_EQ(r.lines[2].number("t"), 0.5);
    EXPECT_EQ(reply.size(), 8u);
    EXPECT_EQ(reply.integer("ProductID"), 22120);
    EXPECT_EQ(reply.string("BOOTPARAM")->units(),
              (std::u16string{0x0028, 0, 0, 0, 0, 0, 0, 0xA000}));

    EXPECT_EQ(text(userInfo(r.lines[3])), R"({"IsDeviceReady":false})");
    EXPECT_EQ(r.lines[3].number("t"), 1.0);
}

TEST(ReplayTest, AgentOutputStaysOffTheTrace) {
    auto r = replay("0 touch 1:100,100\n0.1 touch 1:100,100:up\n", {}, "debug");
    ASSERT_EQ(r.result.exitCode, 0) << r.result.err;
    // Only JSON lines on standard output; the agent's own lines, its developer
    // traces included, went to standard error.
    EXPECT_NE(r.result.err.find("product id: 0x5666"), std::string::npos) << r.result.err;
    EXPECT_NE(r.result.err.find("Hello, World!"), std::string::npos);
}

TEST(ReplayTest, MalformedSessionsNameTheLine) {
    struct Case {
        const char* session;
        const char* message;
    };
    const Case cases[] = {
        {"0 touch 1:100\n", "session.txt:1: contact '1:100'"},
        {"# fine\n0 wait\n0.1 jump\n", "session.txt:3: unknown verb 'jump'"},
        {"1 wait\n0.5 wait\n", "session.txt:2: time goes backwards"},
        {"0 wait\nscreen 800x600\n", "session.txt:2: header line"},
        {"frame color=red\n", "session.txt:1: frame: unknown key 'color'"},
        {"0 control {\"a\":\n", "session.txt:1: control:"},
        {"0 raw 0a0\n", "session.txt:1: raw needs an even number of hex digits"},
        {"0 touch 1:1,1 2:1,1 3:1,1 4:1,1 5:1,1 6:1,1 7:1,1 8:1,1 9:1,1 10:1,1 11:1,1\n",
         "session.txt:1:"},
        // Times the virtual clock cannot hold as written.
        {"0 wait\n2e9 detach\n", "session.txt:2: time out of range"},
        {"1000000000.000001 wait\n", "session.txt:1: time out of range"},
        {"1e400 wait\n", "session.txt:1: time out of range"},
        {"-1 wait\n", "session.txt:1: time out of range"},
        {"-0.5 wait\n", "session.txt:1: time out of range"},
        {"inf wait\n", "session.txt:1: time out of range"},
        {"nan wait\n", "session.txt:1: time out of range"},
    };
    for (const auto& k : cases) {
        auto r = replay(k.session);
        EXPECT_EQ(r.result.exitCode, 2) << k.session;
        EXPECT_NE(r.result.err.find(k.message), std::string::npos) << r.result.err;
        EXPECT_TRUE(r.lines.empty());
    }
}

// The latest time a session may name is traced as it stands.
TEST(ReplayTest, LatestTimeIsKeptExactly) {
    auto r = replay("999999999.5 wait\n1e9 detach\n");
    ASSERT_EQ(r.result.exitCode, 0) << r.result.err;
    ASSERT_FALSE(r.lines.empty());
    EXPECT_EQ(r.lines.back().number("t"), 1e9) << r.result.out;
}

TEST(ReplayTest, CommandLine) {
    auto help = runProcess({builtProgram("tactreplay"), "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: tactreplay SESSION"), std::string::npos);
    EXPECT_EQ(runProcess({builtProgram("tactreplay")}).exitCode, 2);
    EXPECT_EQ(runProcess({builtProgram("tactreplay"), "--nope", "x"}).exitCode, 2);
    auto missing = runProcess({builtProgram("tactreplay"), "/nonexistent/session"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("cannot read /nonexistent/session"), std::string::npos);
}

TEST(ReplayTest, PrefsHeaderReachesTheAgent) {
    TempDir prefs;
    auto r = replay("prefs {\"InchSize\": 24, \"LogStart\": true}\n0 wait\n",
                    {"--prefs-dir", prefs.path()});
    ASSERT_EQ(r.result.exitCode, 0) << r.result.err;
    // The thresholds the agent derived from InchSize 24 are in its log line.
    EXPECT_NE(r.result.err.find("0.025789 0.005333 0.040000"), std::string::npos) << r.result.err;
    EXPECT_TRUE(tact::test::fileExists(prefs.file("com.vostrabaxworks.Tactagent.plist")));
}

TEST(ReplayTest, OneFingerTapIsTracedAsMovesAndAClick) {
    auto r = replay("screen 1920x1080\n0 touch 1:16384,16384\n0.05 touch 1:16384,16384:up\n");
    ASSERT_EQ(r.result.exitCode, 0) << r.result.err;
    std::vector<platform::Dictionary> events;
    for (const auto& line : r.lines) {
        if (line.contains("event"))
            events.push_back(line);
    }
    ASSERT_EQ(events.size(), 4u) << r.result.out;
    const std::int64_t types[] = {5, 5, 1, 2};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(events[i].integer("event"), types[i]) << i;
        EXPECT_EQ(events[i].number("x"), 960.0) << i;
        EXPECT_EQ(events[i].number("y"), 540.0) << i;
        EXPECT_EQ(events[i].integer("flags"), 256) << i;
    }
    for (std::size_t i = 2; i < 4; ++i) {
        const auto* fields = events[i].dictionary("fields");
        ASSERT_NE(fields, nullptr);
        EXPECT_EQ(fields->integer("1"), 1) << i;
        EXPECT_EQ(events[i].integer("button"), 0);
    }
    EXPECT_EQ(events[2].number("t"), 0.05);
}

TEST(ReplayTest, TwoFingerFlickScrollsWithMomentum) {
    std::string session = "screen 1920x1080\n";
    int y = 8000;
    char line[96];
    for (int i = 0; i <= 8; ++i, y += 1200) {
        std::snprintf(line, sizeof line, "%.2f touch 1:10000,%d 2:14000,%d\n", 0.01 * i, y, y);
        session += line;
    }
    std::snprintf(line, sizeof line, "0.09 touch 1:10000,%d:up 2:14000,%d:up\n", y, y);
    session += line;
    auto r = replay(session);
    ASSERT_EQ(r.result.exitCode, 0) << r.result.err;

    std::vector<std::string> kinds;  // what was posted, in order
    std::vector<double> tickTimes;
    std::set<std::string> seen;
    for (const auto& e : r.lines) {
        if (!e.contains("event"))
            continue;
        EXPECT_TRUE(seen.insert(text(e)).second) << "posted twice: " << text(e);
        const auto* fields = e.dictionary("fields");
        ASSERT_NE(fields, nullptr);
        const auto type = e.integer("event");
        if (type == 29) {
            kinds.push_back("gesture " + std::to_string(*fields->integer("110")) + "/" +
                            std::to_string(fields->integer("117").value_or(-1)));
        } else if (type == 22 && fields->integer("88") == 1) {
            if (kinds.empty() || kinds.back() != "scroll")
                kinds.push_back("scroll");
        } else if (type == 22) {
            const auto phase = *fields->integer("123");
            if (phase == 2) {
                tickTimes.push_back(*e.number("t"));
                if (kinds.back() != "momentum 2")
                    kinds.push_back("momentum 2");
            } else {
                kinds.push_back("momentum " + std::to_string(phase));
            }
        }
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"gesture 61/6", "scroll", "gesture 62/6",
                                               "momentum 1", "momentum 2", "momentum 3"}));
    ASSERT_GE(tickTimes.size(), 2u);
    for (std::size_t i = 1; i < tickTimes.size(); ++i) {
        EXPECT_NEAR(tickTimes[i] - tickTimes[i - 1], 0.01, 1e-9);
    }
}

namespace {

std::string threeFingerSwipeRight(const std::string& header) {
    std::string session = header + "screen 1920x1080\n";
    char line[128];
    for (int i = 0; i <= 10; ++i) {
        const int x = 4000 + 600 * i;
        std::snprintf(line, sizeof line, "%.2f touch 1:%d,10000 2:%d,10000 3:%d,10000\n", 0.01 * i,
                      x, x + 2000, x + 4000);
        session += line;
    }
    session += "0.11 touch 1:10000,10000:up 2:12000,10000:up 3:14000,10000:up\n";
    return session;
}

std::vector<std::string> keyEvents(const std::vector<platform::Dictionary>& lines) {
    std::vector<std::string> out;
    for (const auto& e : lines) {
        const auto type = e.integer("event");
        if (type != 10 && type != 11)
            continue;
        char buf[64];
        std::snprintf(buf, sizeof buf, "%s %lld 0x%llx", type == 10 ? "down" : "up",
                      static_cast<long long>(*e.integer("keycode")),
                      static_cast<unsigned long long>(*e.integer("flags")));
        out.push_back(buf);
    }
    return out;
}

}  // namespace

TEST(ReplayTest, ThreeFingerSwipeRightPressesControlLeft) {
    auto r = replay(threeFingerSwipeRight(""));
    ASSERT_EQ(r.result.exitCode, 0) << r.result.err;
    EXPECT_EQ(keyEvents(r.lines), (std::vector<std::string>{"down 59 0x40101", "down 123 0x40101",
                                                            "up 123 0x100", "up 59 0x100"}));

    // The user's own shortcut for the action wins.
    auto mine =
        replay(threeFingerSwipeRight("hotkeys {\"79\": {\"enabled\": true, \"value\": "
                                     "{\"parameters\": [65535, 124, 262144]}}}\n"));
    ASSERT_EQ(mine.result.exitCode, 0) << mine.result.err;
    EXPECT_EQ(keyEvents(mine.lines),
              (std::vector<std::string>{"down 59 0x40101", "down 124 0x40101", "up 124 0x100",
                                        "up 59 0x100"}));
}

namespace {

// A tap, a two-finger scroll, a magnify (two fingers spreading), a
// three-finger swipe and a five-finger pinch, one after another.
std::string everyKindOfGesture() {
    std::string session = "screen 1920x1080\n0 touch 1:16384,16384\n0.05 touch 1:16384,16384:up\n";
    char line[256];
    auto add = [&](double t, const std::string& contacts) {
        std::snprintf(line, sizeof line, "%.2f touch %s\n", t, contacts.c_str());
        session += line;
    };
    auto at = [](int id, double x, double y, bool up = false) {
        return std::to_string(id) + ":" + std::to_string(static_cast<int>(x)) + "," +
               std::to_string(static_cast<int>(y)) + (up ? ":up " : " ");
    };
    for (int i = 0; i <= 9; ++i) {
        const int y = 8000 + 1200 * i;
        add(1 + 0.01 * i, at(1, 10000, y, i == 9) + at(2, 14000, y, i == 9));
    }
    for (int i = 0; i <= 9; ++i) {
        const int d = 2000 + 600 * i;
        add(3 + 0.01 * i, at(1, 16384 - d, 16384, i == 9) + at(2, 16384 + d, 16384, i == 9));
    }
    for (int i = 0; i <= 11; ++i) {
        const int x = 4000 + 600 * std::min(i, 10);
        add(5 + 0.01 * i, at(1, x, 10000, i == 11) + at(2, x + 2000, 10000, i == 11) +
                              at(3, x + 4000, 10000, i == 11));
    }
    for (int i = 0; i <= 11; ++i) {
        const double r = 9000 - 600 * std::min(i, 10);
        std::string contacts;
        for (int k = 0; k < 5; ++k) {
            const double a = 2 * M_PI * k / 5;
            contacts += at(k + 1, 16384 + r * std::cos(a), 16384 + r * std::sin(a), i == 11);
        }
        add(7 + 0.01 * i, contacts);
    }
    return session;
}

}  // namespace

// Run as a service, the agent's standard output and error are the user's
// journal: at the default level gestures leave nothing there, and the
// per-step lines and developer traces appear only at debug level.
TEST(ReplayTest, GesturesStayOutOfTheJournalBelowDebugLevel) {
    const std::string session = everyKindOfGesture();
    auto quiet = replay(session);
    ASSERT_EQ(quiet.result.exitCode, 0) << quiet.result.err;

    // The session did perform each gesture.
    std::set<std::string> seen;
    for (const auto& e : quiet.lines) {
        const auto* fields = e.dictionary("fields");
        const auto type = e.integer("event").value_or(0);
        if (type == 22)
            seen.insert("scroll");
        if (type == 29 && fields && fields->integer("110") == 8)
            seen.insert("magnify");
        if (type == 10)
            seen.insert("key " + std::to_string(*e.integer("keycode")));
        if (type == 1)
            seen.insert("click");
    }
    for (const char* kind : {"click", "scroll", "magnify", "key 123", "key 103"})
        EXPECT_TRUE(seen.count(kind)) << kind;

    // Standard output is the trace alone; standard error holds the start-up lines.
    EXPECT_EQ(linesOf(quiet.result.out).size(), quiet.lines.size());
    EXPECT_LE(linesOf(quiet.result.err).size(), 4u) << quiet.result.err;

    auto loud = replay(session, {}, "debug");
    ASSERT_EQ(loud.result.exitCode, 0) << loud.result.err;
    EXPECT_EQ(loud.lines.size(), quiet.lines.size());
    for (const char* trace : {"product id: 0x5666", "BootLoaderVersion:", "gestureData Lenth = ",
                              "GesutureSubtype     Magnify", "debug: Detect Gesture: Scroll"})
        EXPECT_NE(loud.result.err.find(trace), std::string::npos) << trace;
}
