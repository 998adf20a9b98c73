// The bus codec on messages built by hand, as any process on the session bus
// may send them: how much one notification may hold, and what a receiver does
// with one that holds more.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/log/SystemLog.hpp"
#include "platform/notify/BusCodec.hpp"
#include "platform/notify/SdBusHandles.hpp"
#include "platform/values/Limits.hpp"
#include "tests/support/ResultChecks.hpp"

using namespace platform;

namespace {

using Message = platform::sdbus::MessagePtr;

// A bus object in its opening state on one end of a socket pair: enough for
// sd-bus to make messages; nothing is sent.
class CodecTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_), 0);
        sd_bus* b = nullptr;
        ASSERT_GE(sd_bus_new(&b), 0);
        bus_.reset(b);
        ASSERT_GE(sd_bus_set_fd(b, fds_[0], fds_[0]), 0);
        ASSERT_GE(sd_bus_start(b), 0);
    }
    void TearDown() override { close(fds_[1]); }

    // A Notification signal whose user information `body` writes, sealed as
    // a received message is.
    Message signal(const std::function<bool(sd_bus_message*)>& body) {
        sd_bus_message* raw = nullptr;
        EXPECT_GE(sd_bus_message_new_signal(bus_.get(), &raw, buscodec::kPath, buscodec::kInterface,
                                            buscodec::kMember),
                  0);
        Message m(raw);
        EXPECT_GE(sd_bus_message_append(m.get(), "ss", "Name", "Object"), 0);
        EXPECT_GE(sd_bus_message_open_container(m.get(), 'a', "{sv}"), 0);
        EXPECT_TRUE(body(m.get()));
        EXPECT_GE(sd_bus_message_close_container(m.get()), 0);
        EXPECT_GE(sd_bus_message_seal(m.get(), 1, 0), 0);
        return m;
    }

    int fds_[2] = {-1, -1};
    platform::sdbus::BusPtr bus_;
};

bool integerKeys(sd_bus_message* m, std::size_t keys) {
    for (std::size_t i = 0; i < keys; ++i) {
        const std::string key = "k" + std::to_string(i);
        if (sd_bus_message_append(m, "{sv}", key.c_str(), "x", std::int64_t{1}) < 0)
            return false;
    }
    return true;
}

bool arrayOf(sd_bus_message* m, std::size_t elements) {
    if (sd_bus_message_open_container(m, 'e', "sv") < 0 || sd_bus_message_append(m, "s", "a") < 0 ||
        sd_bus_message_open_container(m, 'v', "ai") < 0 ||
        sd_bus_message_open_container(m, 'a', "i") < 0) {
        return false;
    }
    for (std::size_t i = 0; i < elements; ++i) {
        if (sd_bus_message_append(m, "i", 7) < 0)
            return false;
    }
    return sd_bus_message_close_container(m) >= 0 && sd_bus_message_close_container(m) >= 0 &&
           sd_bus_message_close_container(m) >= 0;
}

// `count` strings of `bytes` bytes each, under keys s0, s1, ...
bool strings(sd_bus_message* m, std::size_t count, std::size_t bytes) {
    const std::string text(bytes, 'x');
    for (std::size_t i = 0; i < count; ++i) {
        const std::string key = "s" + std::to_string(i);
        if (sd_bus_message_append(m, "{sv}", key.c_str(), "s", text.c_str()) < 0)
            return false;
    }
    return true;
}

}  // namespace

// Up to each limit a notification is read whole; past it, it is refused as a
// whole with one warning naming the notification and the limit. 200,000 keys
// stop at the first key too many.
TEST_F(CodecTest, NotificationsOverALimitAreRefusedWithAWarning) {
    const std::size_t kText = buscodec::kMaxTextBytes;
    const struct {
        const char* what;
        std::function<bool(sd_bus_message*)> body;
        std::size_t entries;  // of the user information when read
        const char* refusal;  // nullptr: read
    } cases[] = {
        {"keys at the limit", [](sd_bus_message* m) { return integerKeys(m, limits::kMaxKeys); },
         limits::kMaxKeys, nullptr},
        {"one key more", [](sd_bus_message* m) { return integerKeys(m, limits::kMaxKeys + 1); }, 0,
         "at most 10000 keys per dictionary"},
        {"200000 keys", [](sd_bus_message* m) { return integerKeys(m, 200000); }, 0,
         "at most 10000 keys per dictionary"},
        {"elements at the limit",
         [](sd_bus_message* m) { return arrayOf(m, limits::kMaxElements); }, 1, nullptr},
        {"one element more", [](sd_bus_message* m) { return arrayOf(m, limits::kMaxElements + 1); },
         0, "at most 100000 elements per array"},
        // "Name", "Object" and each key "sN" count too.
        {"text at the limit", [&](sd_bus_message* m) { return strings(m, 1, kText - 10 - 2); }, 1,
         nullptr},
        {"one byte more", [&](sd_bus_message* m) { return strings(m, 1, kText - 10 - 1); }, 0,
         "bytes of text and data per notification"},
        {"text in many strings", [&](sd_bus_message* m) { return strings(m, 16, kText / 16); }, 0,
         "bytes of text and data per notification"},
    };
    const LogLevel level = systemLogLevel();
    setSystemLogLevel(LogLevel::Info);
    // Ten seconds pass between entries, so the log's rate limit keeps none back.
    std::uint64_t now = 0;
    setSystemLogClock([&now] { return now += 10'000'000'000ull; });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Message m = signal(c.body);
        testing::internal::CaptureStderr();
        auto n = buscodec::readNotification(m.get());
        const std::string log = testing::internal::GetCapturedStderr();
        const std::string error = tact::test::errorOf(n);
        if (!c.refusal) {
            ASSERT_TRUE(n) << error;
            ASSERT_TRUE(n->userInfo);
            EXPECT_EQ(n->userInfo->size(), c.entries);
            EXPECT_EQ(log, "");
            continue;
        }
        EXPECT_FALSE(n);
        EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
        // One warning line, naming the notification and the limit.
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        EXPECT_NE(log.find("refused \"Name\" (object \"Object\")"), std::string::npos) << log;
        EXPECT_NE(log.find(c.refusal), std::string::npos) << log;
    }
    setSystemLogClock({});
    setSystemLogLevel(level);
}

// A sender refuses what receivers would refuse, and says why.
TEST_F(CodecTest, SendersRefuseWhatReceiversWould) {
    Dictionary keys;
    for (std::size_t i = 0; i <= limits::kMaxKeys; ++i)
        keys.set("k" + std::to_string(i), 1);
    Array elements(limits::kMaxElements + 1, Value(1));
    const struct {
        const char* what;
        Dictionary info;
        const char* refusal;
    } cases[] = {
        {"keys", keys, "at most 10000 keys per dictionary"},
        {"nested keys", Dictionary{{"d", keys}}, "at most 10000 keys per dictionary"},
        {"elements", Dictionary{{"a", elements}}, "at most 100000 elements per array"},
        {"text", Dictionary{{"s", std::string(buscodec::kMaxTextBytes, 'x')}},
         "bytes of text and data per notification"},
        {"data", Dictionary{{"d", Data(buscodec::kMaxTextBytes, 0)}},
         "bytes of text and data per notification"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sd_bus_message* raw = nullptr;
        ASSERT_GE(sd_bus_message_new_signal(bus_.get(), &raw, buscodec::kPath, buscodec::kInterface,
                                            buscodec::kMember),
                  0);
        Message m(raw);
        const std::string error =
            tact::test::errorOf(buscodec::appendNotification(m.get(), "Name", "Object", c.info));
        EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
    }
}
