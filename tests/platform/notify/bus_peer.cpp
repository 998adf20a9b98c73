// A second program on a test bus, for the notification tests.
//
//   bus_peer post NAME OBJECT [JSON-userinfo]
//       posts one notification (no user information without JSON) and exits 0.
//   bus_peer watch NAME OBJECT COUNT
//       observes NAME/OBJECT, prints "ready" once the observation is in place,
//       then one line per notification: its user information as JSON, or
//       "none"; exits 0 after COUNT of them, 3 when they do not come in time.
//
// The bus is the one DBUS_SESSION_BUS_ADDRESS names.
#include <cstdio>
#include <string>

#include "platform/notify/NotificationCenter.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "platform/values/Json.hpp"

namespace {

int usage() {
    std::fputs("usage: bus_peer post NAME OBJECT [JSON] | bus_peer watch NAME OBJECT COUNT\n",
               stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4)
        return usage();
    const std::string command = argv[1];
    const platform::String name(argv[2]);
    const platform::String object(argv[3]);

    auto loop = platform::makeRealRunLoop(false);
    auto joined = platform::makeBusNotificationCenter(*loop);
    if (!joined) {
        std::fprintf(stderr, "bus_peer: %s\n", joined.error().detail.c_str());
        return 2;
    }
    auto centre = std::move(*joined);

    if (command == "post" && argc <= 5) {
        std::optional<platform::Dictionary> info;
        if (argc == 5) {
            auto value = platform::json::parse(argv[4]);
            if (!value || !value->asDictionary()) {
                std::fprintf(stderr, "bus_peer: user information is not a JSON object %s\n",
                             value ? "" : value.error().detail.c_str());
                return 2;
            }
            info = *value->asDictionary();
        }
        if (!centre->post(name, object, info))
            return 1;
        centre.reset();  // sends what is queued
        return 0;
    }

    if (command == "watch" && argc == 5) {
        const int count = std::stoi(argv[4]);
        int seen = 0;
        auto observation = centre->addObserver(name, object, [&](const platform::Notification& n) {
            std::string line = n.userInfo ? platform::json::toText(*n.userInfo) : "none";
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
            if (++seen == count)
                loop->stop(0);
        });
        std::printf("ready\n");
        std::fflush(stdout);
        auto limit = loop->addTimer(20, 0, [&](platform::Timer&) { loop->stop(3); });
        return loop->run();
    }
    return usage();
}
