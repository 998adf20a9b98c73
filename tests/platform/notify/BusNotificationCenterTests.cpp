// The centre on a real D-Bus daemon (one per test), between this process,
// bus_peer processes and real D-Bus clients (gdbus, dbus-monitor).
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "platform/notify/MatchRule.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "platform/values/Json.hpp"
#include "tests/support/LoopWait.hpp"
#include "tests/support/PrivateBus.hpp"
#include "tests/support/ResultChecks.hpp"
#include "tests/support/Subprocess.hpp"

namespace platform {
namespace {

using namespace std::chrono_literals;
using tact::test::BackgroundProcess;
using tact::test::PrivateBus;
using SteadyClock = std::chrono::steady_clock;

constexpr const char* kPath = "/com/vostrabaxworks/DistributedNotificationCenter";
constexpr const char* kSignal = "com.vostrabaxworks.DistributedNotificationCenter.Notification";

String units(std::u16string u) {
    return String::fromUnits(std::move(u));
}

// A dictionary nested `levels` deep, itself counting as level 1.
Dictionary nested(int levels) {
    Dictionary d{{"leaf", 1}};
    for (int i = 1; i < levels; ++i)
        d = Dictionary{{"k", d}};
    return d;
}

// Every kind of value, with integers and reals that look alike kept apart.
Dictionary richInfo() {
    return Dictionary{
        {"Text", "frame \xC3\xBCn\xC3\xAF \xE2\x9C\x93 \xF0\x9D\x84\x9E, 'quoted' \\ \"double\""},
        {"EmptyText", ""},
        {"On", true},
        {"Off", false},
        {"Count", 42},
        {"Negative", -7},
        {"Largest", std::numeric_limits<std::int64_t>::max()},
        {"Smallest", std::numeric_limits<std::int64_t>::min()},
        {"Quarter", 0.25},
        {"WholeReal", 3.0},
        {"Tiny", 1e-300},
        {"NegativeZero", -0.0},
        {"Nested", Dictionary{{"Inner", Dictionary{{"List", Array{1, 2.5, "three", false, Array{},
                                                                  Array{Array{7}}, Dictionary{}}}}},
                              {"Empty", Dictionary{}}}},
    };
}

class BusTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(bus->ok()) << bus->error(); }

    std::unique_ptr<NotificationCenter> open(RunLoop& onLoop) {
        return tact::test::valueOf(makeBusNotificationCenterAt(onLoop, bus->address()));
    }
    std::unique_ptr<NotificationCenter> open() { return open(*loop); }

    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
        return tact::test::runLoopUntil(*loop, done, limit, 0.002);
    }
    void runFor(std::chrono::milliseconds span) { tact::test::runLoopFor(*loop, span); }

    // A bus_peer watching name/object, once it says its observation is in place.
    std::unique_ptr<BackgroundProcess> watch(const std::string& name, const std::string& object,
                                             int count) {
        auto peer = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{tact::test::builtProgram("bus_peer"), "watch", name, object,
                                     std::to_string(count)},
            std::vector<std::string>{bus->environment()});
        std::string line;
        EXPECT_TRUE(peer->readLine(line)) << "bus_peer watch did not start";
        EXPECT_EQ(line, "ready");
        return peer;
    }

    // Reads the watcher's next line while this process's loop keeps running.
    std::string nextLine(BackgroundProcess& peer) {
        std::string line;
        bool got = false;
        runUntil([&] { return got = peer.readLine(line, 2ms); });
        EXPECT_TRUE(got) << "no line from the watcher";
        return got ? line : "<nothing>";
    }

    tact::test::ProcessResult peerPost(const std::vector<std::string>& args) {
        std::vector<std::string> argv{tact::test::builtProgram("bus_peer"), "post"};
        argv.insert(argv.end(), args.begin(), args.end());
        return tact::test::runProcess(argv, {bus->environment()});
    }

    tact::test::ProcessResult gdbusEmit(const std::vector<std::string>& args) {
        std::vector<std::string> argv{tact::test::findOnPath("gdbus"),
                                      "emit",
                                      "--session",
                                      "--object-path",
                                      kPath,
                                      "--signal",
                                      kSignal};
        argv.insert(argv.end(), args.begin(), args.end());
        return tact::test::runProcess(argv, {bus->environment()});
    }

    std::unique_ptr<PrivateBus> bus = std::make_unique<PrivateBus>();
    std::unique_ptr<RunLoop> loop = makeRealRunLoop(false);
    std::vector<Notification> received;
};

// --- between two processes ---------------------------------------------------

TEST_F(BusTest, NestedValuesCrossBetweenProcessesUnchangedBothWays) {
    const Dictionary info = richInfo();
    const std::string text = json::toText(info);

    auto centre = open();
    auto watcher = watch("Rich Note", "com.example.object", 1);
    ASSERT_TRUE(centre->post("Rich Note", "com.example.object", info));
    EXPECT_EQ(nextLine(*watcher), text);
    EXPECT_EQ(watcher->wait(), 0);

    auto observation = centre->addObserver("Other Way", "com.example.object",
                                           [&](const Notification& n) { received.push_back(n); });
    auto posted = peerPost({"Other Way", "com.example.object", text});
    ASSERT_EQ(posted.exitCode, 0) << posted.err;
    ASSERT_TRUE(runUntil([&] { return !received.empty(); }));
    ASSERT_TRUE(received[0].userInfo.has_value());
    EXPECT_EQ(json::toText(*received[0].userInfo), text);
    EXPECT_EQ(*received[0].userInfo, info);
    EXPECT_EQ(received[0].name, String("Other Way"));
    EXPECT_EQ(received[0].object, String("com.example.object"));
}

TEST_F(BusTest, ObserversSeeOnlyTheirExactNameAndObject) {
    auto centre = open();
    auto watcher = watch("Note", "right.object", 2);
    ASSERT_TRUE(centre->post("Note", "wrong.object", Dictionary{{"which", "other object"}}));
    ASSERT_TRUE(centre->post("Note2", "right.object", Dictionary{{"which", "other name"}}));
    ASSERT_TRUE(centre->post("note", "right.object", Dictionary{{"which", "other case"}}));
    ASSERT_TRUE(centre->post("Note", "right.object", Dictionary{{"which", "right"}}));
    ASSERT_TRUE(centre->post("Note", "right.object.sub", Dictionary{{"which", "longer"}}));
    ASSERT_TRUE(centre->post("Note", "right.object", std::nullopt));
    EXPECT_EQ(nextLine(*watcher), R"({"which":"right"})");
    EXPECT_EQ(nextLine(*watcher), "none");
    EXPECT_EQ(watcher->wait(), 0);
}

TEST_F(BusTest, NoUserInformationArrivesAsNone) {
    auto centre = open();
    auto observation =
        centre->addObserver("Bare", "obj", [&](const Notification& n) { received.push_back(n); });
    ASSERT_EQ(peerPost({"Bare", "obj"}).exitCode, 0);
    ASSERT_EQ(peerPost({"Bare", "obj", "{}"}).exitCode, 0);  // an empty dictionary too
    ASSERT_TRUE(runUntil([&] { return received.size() == 2; }));
    EXPECT_EQ(received[0], (Notification{"Bare", "obj", std::nullopt}));
    EXPECT_EQ(received[1], (Notification{"Bare", "obj", std::nullopt}));
}

TEST_F(BusTest, StringsDBusCannotCarryTravelAsCodeUnits) {
    const String withNul = units(std::u16string(u"a\0b", 3));
    const String loneLow = units(u"x\xDC00y");
    const String loneHigh = units(u"\xD800");
    const String nonCharacter = units(u"\xFFFE\xFDD0");
    const String pair = units(u"\xD834\xDD1E");  // a valid pair stays a plain string
    const Dictionary info{{"Nul", withNul},       {"LoneLow", loneLow},
                          {"LoneHigh", loneHigh}, {"NonCharacter", nonCharacter},
                          {"Pair", pair},         {"InArray", Array{withNul, "plain"}}};

    // What travels: dbus-monitor shows the code units of the strings.
    const std::string monitorPath = tact::test::findOnPath("dbus-monitor");
    ASSERT_FALSE(monitorPath.empty());
    BackgroundProcess monitor(
        {monitorPath, "--address", bus->address(),
         "type='signal',interface='com.vostrabaxworks.DistributedNotificationCenter'"});
    std::string line;
    bool monitoring = false;
    while (!monitoring && monitor.readLine(line))
        monitoring = line.find("NameLost") != line.npos;
    ASSERT_TRUE(monitoring) << "dbus-monitor did not start";

    auto centre = open();
    auto watcher = watch("Units", "obj", 1);
    ASSERT_TRUE(centre->post("Units", "obj", info));
    const std::string printed = nextLine(*watcher);
    EXPECT_EQ(printed, json::toText(info));
    EXPECT_NE(printed.find(R"("a\u0000b")"), std::string::npos) << printed;
    EXPECT_NE(printed.find(R"(\udc00)"), std::string::npos) << printed;

    std::string dump;
    runUntil([&] {
        while (monitor.readLine(line, 2ms))
            dump += line + "\n";
        return dump.find("\"plain\"") != std::string::npos;
    });
    for (const char* unit : {"uint16 0\n", "uint16 98\n", "uint16 56320\n", "uint16 55296\n",
                             "uint16 65534\n", "uint16 64976\n"}) {
        EXPECT_NE(dump.find(unit), std::string::npos) << unit << " missing in\n" << dump;
    }
    EXPECT_NE(dump.find("string \"\xF0\x9D\x84\x9E\""), std::string::npos) << dump;

    // And the same strings come back into this process unchanged.
    auto observation =
        centre->addObserver("Units", "obj", [&](const Notification& n) { received.push_back(n); });
    ASSERT_TRUE(centre->post("Units", "obj", info));
    ASSERT_TRUE(runUntil([&] { return !received.empty(); }));
    ASSERT_TRUE(received[0].userInfo.has_value());
    EXPECT_EQ(*received[0].userInfo, info);
}

// --- real clients ------------------------------------------------------------

TEST_F(BusTest, NotificationsFromGdbusAreReceived) {
    if (tact::test::findOnPath("gdbus").empty())
        GTEST_SKIP() << "gdbus is not installed";
    auto centre = open();
    auto observation = centre->addObserver("QuenralMultiTouch Preference Notification",
                                           "com.quenraltouch.multiTouchPrefsPaneTarget",
                                           [&](const Notification& n) { received.push_back(n); });
    auto r =
        gdbusEmit({"'QuenralMultiTouch Preference Notification'",
                   "'com.quenraltouch.multiTouchPrefsPaneTarget'", "{'NeedSerialNumber': <true>}"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(runUntil([&] { return received.size() == 1; }));
    EXPECT_EQ(received[0].userInfo, (Dictionary{{"NeedSerialNumber", true}}));

    // Every integer type, arrays and dictionaries of other element types, and
    // values we cannot represent (left out).
    r = gdbusEmit({"'QuenralMultiTouch Preference Notification'",
                   "'com.quenraltouch.multiTouchPrefsPaneTarget'",
                   "{'y': <byte 200>, 'n': <int16 -5>, 'q': <uint16 65535>, 'i': <int32 -9>, "
                   "'u': <uint32 4000000000>, 'x': <int64 -1>, 't': <uint64 9223372036854775807>, "
                   "'tbig': <uint64 18446744073709551615>, 'd': <2.5>, 'as': <['a', 'b']>, "
                   "'ai': <[1, 2]>, 'ass': <{'k': 'v'}>, 'vv': <<int32 5>>, 'bytes': <b'AB'>, "
                   "'units': <@aq [104, 0, 56320]>, "
                   "'path': <objectpath '/x'>, 'sig': <signature 'a{sv}'>, 'pair': <(1, 'x')>, "
                   "'intkeys': <{1: 'a'}>, 'mixed': <[<objectpath '/y'>, <'kept'>]>}"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(runUntil([&] { return received.size() == 2; }));
    const Dictionary expected{
        {"y", 200},
        {"n", -5},
        {"q", 65535},
        {"i", -9},
        {"u", 4000000000LL},
        {"x", -1},
        {"t", std::numeric_limits<std::int64_t>::max()},
        {"tbig", 18446744073709551615.0},
        {"d", 2.5},
        {"as", Array{"a", "b"}},
        {"ai", Array{1, 2}},
        {"ass", Dictionary{{"k", "v"}}},
        {"vv", 5},
        {"bytes", Data{'A', 'B', 0}},  // GVariant byte strings end in a NUL
        {"units", units(std::u16string(u"h\0\xDC00", 3))},
        {"mixed", Array{"kept"}},
    };
    ASSERT_TRUE(received[1].userInfo.has_value());
    EXPECT_EQ(*received[1].userInfo, expected) << json::toText(*received[1].userInfo);
}

TEST_F(BusTest, MatchRulesCarryAwkwardNamesToTheDaemon) {
    using notify_detail::notificationMatchRule;
    const std::string all = notificationMatchRule();
    EXPECT_EQ(notificationMatchRule("it's", "o"), all + R"(,arg0='it'\''s',arg1='o')");
    EXPECT_EQ(notificationMatchRule(units(std::u16string(u"a\0", 2)), "o"), "");
    EXPECT_EQ(notificationMatchRule(std::string(2000, 'x'), "o"), "");

    // The daemon reads the rule as we mean it: dbus-monitor, given the rule,
    // shows the right notification and none of the near misses.
    if (tact::test::findOnPath("gdbus").empty())
        GTEST_SKIP() << "gdbus is not installed";
    const std::string name = "it's a \\ 'name', with = signs";
    const std::string object = "o'bj\\";
    BackgroundProcess monitor({tact::test::findOnPath("dbus-monitor"), "--address", bus->address(),
                               notificationMatchRule(name, object)});
    std::string line;
    bool monitoring = false;
    while (!monitoring && monitor.readLine(line))
        monitoring = line.find("NameLost") != line.npos;
    ASSERT_TRUE(monitoring) << "dbus-monitor did not start";

    const std::string gName = R"("it's a \\ 'name', with = signs")";
    const std::string gObject = R"("o'bj\\")";
    for (auto [n, o] : {std::pair{gName, std::string(R"("o'bj")")},
                        std::pair{std::string(R"("its a \\ 'name', with = signs")"), gObject},
                        std::pair{std::string(R"("it")"), gObject},
                        std::pair{std::string(R"("it's a \\ ")"), gObject}}) {
        ASSERT_EQ(gdbusEmit({n, o, "{'marker': <'near miss'>}"}).exitCode, 0);
    }
    ASSERT_EQ(gdbusEmit({gName, gObject, "{'marker': <'right'>}"}).exitCode, 0);
    std::string dump;
    while (dump.find("\"right\"") == std::string::npos && monitor.readLine(line)) {
        dump += line + "\n";
    }
    EXPECT_NE(dump.find("\"right\""), std::string::npos) << dump;
    EXPECT_EQ(dump.find("near miss"), std::string::npos) << dump;
}

// --- one process ---------------------------------------------------------------

TEST_F(BusTest, PostAndObserveWithinOneProcess) {
    auto centre = open();
    auto other = open();  // a second connection in the same process
    const String awkward = "it's a \\ 'name', with = signs";
    std::vector<std::string> log;
    Observation second;
    auto first = centre->addObserver(awkward, "o'bj", [&](const Notification& n) {
        log.push_back("first " + json::toText(*n.userInfo));
        second.remove();
    });
    second = centre->addObserver(awkward, "o'bj", [&](const Notification& n) {
        log.push_back("second " + json::toText(*n.userInfo));
    });
    auto third = other->addObserver(awkward, "o'bj", [&](const Notification& n) {
        log.push_back("third " + json::toText(*n.userInfo));
    });
    auto unrelated =
        centre->addObserver("it", "o", [&](const Notification&) { log.push_back("unrelated"); });

    ASSERT_TRUE(centre->post(awkward, "o'bj", Dictionary{{"n", 1}}));
    EXPECT_TRUE(log.empty()) << "delivery happens on the loop, never inside post()";
    ASSERT_TRUE(runUntil([&] { return log.size() == 2; }));
    // Two connections: the order between them is not ours to promise.
    std::sort(log.begin(), log.end());
    EXPECT_EQ(log, (std::vector<std::string>{"first {\"n\":1}", "third {\"n\":1}"}));

    // In posting order; nothing after the observations end.
    log.clear();
    ASSERT_TRUE(other->post(awkward, "o'bj", Dictionary{{"n", 2}}));
    ASSERT_TRUE(other->post(awkward, "o'bj", Dictionary{{"n", 3}}));
    ASSERT_TRUE(runUntil([&] { return log.size() == 4; }));
    std::vector<std::string> firsts, thirds;
    for (const auto& entry : log)
        (entry.starts_with("first") ? firsts : thirds).push_back(entry);
    EXPECT_EQ(firsts, (std::vector<std::string>{"first {\"n\":2}", "first {\"n\":3}"}));
    EXPECT_EQ(thirds, (std::vector<std::string>{"third {\"n\":2}", "third {\"n\":3}"}));
    log.clear();
    first.remove();
    third.remove();
    ASSERT_TRUE(centre->post(awkward, "o'bj", Dictionary{{"n", 4}}));
    runFor(200ms);
    EXPECT_TRUE(log.empty());

    // Data stays data, and an observer added from a callback hears the next one.
    Observation late;
    std::vector<Notification> lateSeen;
    auto adder = centre->addObserver("Adder", "o", [&](const Notification& n) {
        received.push_back(n);
        if (!late.isActive()) {
            late = centre->addObserver("Adder", "o",
                                       [&](const Notification& m) { lateSeen.push_back(m); });
            centre->post("Adder", "o", Dictionary{{"Bytes", Data{0, 1, 0xFF}}});
        }
    });
    ASSERT_TRUE(centre->post("Adder", "o", std::nullopt));
    ASSERT_TRUE(runUntil([&] { return received.size() == 2 && lateSeen.size() == 1; }));
    EXPECT_EQ(received[1].userInfo, (Dictionary{{"Bytes", Data{0, 1, 0xFF}}}));
    EXPECT_EQ(lateSeen[0], received[1]);
}

TEST_F(BusTest, ACallbackMayDestroyTheCentre) {
    auto centre = open();
    int calls = 0;
    auto a = centre->addObserver("Quit", "o", [&](const Notification&) {
        ++calls;
        centre.reset();
    });
    auto b = centre->addObserver("Quit", "o", [&](const Notification&) { ++calls; });
    ASSERT_TRUE(centre->post("Quit", "o", std::nullopt));
    ASSERT_TRUE(runUntil([&] { return !centre; }));
    runFor(50ms);
    EXPECT_EQ(calls, 1);
    a.remove();
}

TEST_F(BusTest, AVirtualLoopDrivesTheConnectionToo) {
    auto virtualLoop = makeVirtualRunLoop(0);
    auto centre = open(*virtualLoop);
    auto observation = centre->addObserver("Virtual", "obj",
                                           [&](const Notification& n) { received.push_back(n); });
    ASSERT_TRUE(centre->post("Virtual", "obj", Dictionary{{"from", "self"}}));
    ASSERT_EQ(peerPost({"Virtual", "obj", R"({"from":"peer"})"}).exitCode, 0);
    auto deadline = SteadyClock::now() + 10s;
    auto tick = virtualLoop->addTimer(0, 0.01, [&](Timer&) {
        if (received.size() == 2 || SteadyClock::now() > deadline)
            virtualLoop->stop(0);
        usleep(1000);
    });
    virtualLoop->run();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].userInfo, (Dictionary{{"from", "self"}}));
    EXPECT_EQ(received[1].userInfo, (Dictionary{{"from", "peer"}}));
}

// --- what must not go wrong ------------------------------------------------------

TEST_F(BusTest, SignalsWithAnotherSignatureAreIgnored) {
    if (tact::test::findOnPath("gdbus").empty())
        GTEST_SKIP() << "gdbus is not installed";
    auto centre = open();
    auto observation =
        centre->addObserver("N", "O", [&](const Notification& n) { received.push_back(n); });
    for (std::vector<std::string> args : {std::vector<std::string>{"'N'", "'O'"},
                                          {"'N'", "'O'", "42"},
                                          {"'N'", "'O'", "{'k': 'v'}"},
                                          {"'N'", "'O'", "{'k': <1>}", "'extra'"},
                                          {"'N'", "'O'", "@a{sv} {}", "@a{sv} {}"},
                                          {"'N'"}}) {
        auto r = gdbusEmit(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    auto r = gdbusEmit({"'N'", "'O'", "{'good': <1>}"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(runUntil([&] { return !received.empty(); }));
    runFor(200ms);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].userInfo, (Dictionary{{"good", 1}}));
}

TEST_F(BusTest, DeepNestingIsRefusedCleanly) {
    auto centre = open();
    auto observation =
        centre->addObserver("Deep", "O", [&](const Notification& n) { received.push_back(n); });

    // 20 levels travel; 21 are refused before sending (the bus daemon would
    // drop the connection of a client sending them).
    EXPECT_FALSE(centre->post("Deep", "O", nested(21)));
    Dictionary tooDeepArray{{"a", Array{}}};
    {
        Value v = Array{1};
        for (int i = 0; i < 40; ++i)
            v = Array{v};
        tooDeepArray.set("a", v);
    }
    EXPECT_FALSE(centre->post("Deep", "O", tooDeepArray));
    ASSERT_TRUE(centre->post("Deep", "O", nested(20)));
    ASSERT_TRUE(runUntil([&] { return received.size() == 1; }));
    EXPECT_EQ(received[0].userInfo, nested(20));

    // Other senders: deeper dictionaries (21 levels still pass the daemon,
    // 40 do not), and variants in variants.
    if (!tact::test::findOnPath("gdbus").empty()) {
        for (int levels : {21, 40}) {
            std::string deepDict = "{'leaf': <1>}";
            for (int i = 1; i < levels; ++i)
                deepDict = "{'k': <" + deepDict + ">}";
            gdbusEmit({"'Deep'", "'O'", deepDict});
        }
        std::string deepVariant = "1";
        for (int i = 0; i < 30; ++i)
            deepVariant = "<" + deepVariant + ">";
        auto v = gdbusEmit({"'Deep'", "'O'", "{'v': " + deepVariant + "}"});
        EXPECT_EQ(v.exitCode, 0) << v.err;
        auto r = gdbusEmit({"'Deep'", "'O'", "{'after': <true>}"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        ASSERT_TRUE(runUntil([&] { return received.size() == 2; }));
        runFor(200ms);
        ASSERT_EQ(received.size(), 2u);
        EXPECT_EQ(received[1].userInfo, (Dictionary{{"after", true}}));
    }
}

TEST_F(BusTest, NamesAndKeysThatCannotTravelAreRefused) {
    auto centre = open();
    const String nul = units(std::u16string(u"N\0", 2));
    const String lone = units(u"\xDC00");
    EXPECT_FALSE(centre->post(nul, "O", std::nullopt));
    EXPECT_FALSE(centre->post("N", lone, std::nullopt));
    EXPECT_FALSE(centre->post("N", "O", Dictionary{{nul, 1}}));
    EXPECT_FALSE(centre->post("N", "O", Dictionary{{"inner", Dictionary{{lone, 1}}}}));

    // Observing such a name is harmless, and the centre keeps working.
    auto odd = centre->addObserver(nul, "O", [&](const Notification& n) { received.push_back(n); });
    auto fine =
        centre->addObserver("N", "O", [&](const Notification& n) { received.push_back(n); });
    ASSERT_TRUE(centre->post("N", "O", std::nullopt));
    ASSERT_TRUE(runUntil([&] { return received.size() == 1; }));
    runFor(100ms);
    EXPECT_EQ(received.size(), 1u);

    // A name too long for a match rule is still observed (filtered here).
    const std::string longName(3000, 'x');
    auto longObservation =
        centre->addObserver(longName, "O", [&](const Notification& n) { received.push_back(n); });
    ASSERT_TRUE(centre->post(longName, "O", Dictionary{{"long", true}}));
    ASSERT_TRUE(runUntil([&] { return received.size() == 2; }));
    EXPECT_EQ(received[1].name, String(longName));
}

TEST_F(BusTest, LosingTheBusIsSurvived) {
    auto centre = open();
    auto observation =
        centre->addObserver("N", "O", [&](const Notification& n) { received.push_back(n); });
    bus.reset();  // the daemon goes away
    bool refused = false;
    runUntil([&] { return refused = !centre->post("N", "O", std::nullopt); });
    EXPECT_TRUE(refused);
    auto later = centre->addObserver("N", "O", [](const Notification&) {});
    observation.remove();
    EXPECT_TRUE(received.empty());
}

TEST(BusNotificationCenter, ReportsAnUnreachableBus) {
    auto loop = makeRealRunLoop(false);
    const std::string error =
        tact::test::errorOf(makeBusNotificationCenterAt(*loop, "unix:path=/nonexistent/bus"));
    EXPECT_NE(error.find("/nonexistent/bus"), std::string::npos) << error;
}

}  // namespace
}  // namespace platform
