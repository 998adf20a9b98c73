// The in-process centre on the virtual loop: run() returns once every posted
// delivery has run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/notify/NotificationCenter.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "platform/values/Json.hpp"

namespace platform {
namespace {

std::string describeNote(const std::string& who, const Notification& n) {
    return who + ":" + n.name.toUtf8Lossy() + "/" + n.object.toUtf8Lossy() + "=" +
           (n.userInfo ? json::toText(*n.userInfo) : "none");
}

class LocalNotificationCenterTest : public ::testing::Test {
  protected:
    std::unique_ptr<RunLoop> loop = makeVirtualRunLoop(0);
    std::unique_ptr<NotificationCenter> centre = makeLocalNotificationCenter(*loop);
    std::vector<std::string> seen;

    NotificationCenter::Callback record(const std::string& who) {
        return [this, who](const Notification& n) { seen.push_back(describeNote(who, n)); };
    }
};

TEST_F(LocalNotificationCenterTest, DeliversLaterInPostingOrderToExactMatchesOnly) {
    auto a = centre->addObserver("N", "obj", record("a"));
    auto b = centre->addObserver("N", "other", record("b"));
    auto c = centre->addObserver("M", "obj", record("c"));
    auto d = centre->addObserver("N", "obj", record("d"));

    EXPECT_TRUE(centre->post("N", "obj", Dictionary{{"k", 1}}));
    EXPECT_TRUE(centre->post("M", "obj", std::nullopt));
    EXPECT_TRUE(centre->post("N", "obj", std::nullopt));
    EXPECT_TRUE(centre->post("N", "other", Dictionary{{"r", 0.5}}));
    EXPECT_TRUE(centre->post("n", "obj", Dictionary{{"case", true}}));
    EXPECT_TRUE(seen.empty()) << "delivery happens on the loop, never inside post()";

    loop->run();
    EXPECT_EQ(seen,
              (std::vector<std::string>{"a:N/obj={\"k\":1}", "d:N/obj={\"k\":1}", "c:M/obj=none",
                                        "a:N/obj=none", "d:N/obj=none", "b:N/other={\"r\":0.5}"}));
}

TEST_F(LocalNotificationCenterTest, EachObserverGetsItsOwnCopyAndEmptyInfoIsNone) {
    std::optional<Dictionary> first;
    auto a = centre->addObserver("N", "o", [&](const Notification& n) {
        if (seen.empty())
            first = n.userInfo;
        seen.push_back("a");
    });
    auto b = centre->addObserver("N", "o", record("b"));
    Dictionary info{{"nested", Dictionary{{"x", Array{1, "two", 3.0}}}}};
    ASSERT_TRUE(centre->post("N", "o", info));
    info.set("nested", 0);  // the sender changing its dictionary afterwards changes nothing
    ASSERT_TRUE(centre->post("N", "o", Dictionary{}));
    loop->run();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(json::toText(*first), R"({"nested":{"x":[1,"two",3.0]}})");
    EXPECT_EQ(seen.back(), "b:N/o=none");
}

TEST_F(LocalNotificationCenterTest, RemovedObserversAreNeverCalled) {
    Observation removedBefore = centre->addObserver("N", "o", record("before"));
    Observation second;
    Observation self;
    auto first = centre->addObserver("N", "o", [&](const Notification& n) {
        seen.push_back(describeNote("first", n));
        second.remove();  // removes an observer that would be called next
    });
    second = centre->addObserver("N", "o", record("second"));
    self = centre->addObserver("N", "o", [&](const Notification& n) {
        seen.push_back(describeNote("self", n));
        self.remove();  // removes itself while running
    });

    centre->post("N", "o", Dictionary{{"i", 1}});
    removedBefore.remove();
    centre->post("N", "o", Dictionary{{"i", 2}});
    loop->run();
    EXPECT_EQ(seen, (std::vector<std::string>{"first:N/o={\"i\":1}", "self:N/o={\"i\":1}",
                                              "first:N/o={\"i\":2}"}));
    EXPECT_FALSE(second.isActive());
    EXPECT_FALSE(self.isActive());

    // Destroying the handle ends the observation too.
    seen.clear();
    {
        auto scoped = centre->addObserver("S", "o", record("scoped"));
        centre->post("S", "o", std::nullopt);
    }
    loop->run();
    EXPECT_TRUE(seen.empty());
}

TEST_F(LocalNotificationCenterTest, PostsAndObserversAddedFromCallbacksComeLater) {
    Observation late;
    auto a = centre->addObserver("N", "o", [&](const Notification& n) {
        seen.push_back(describeNote("a", n));
        if (!late.isActive()) {
            late = centre->addObserver("N", "o", record("late"));
            centre->post("N", "o", Dictionary{{"round", 2}});
        }
    });
    centre->post("N", "o", Dictionary{{"round", 1}});
    loop->run();
    EXPECT_EQ(seen, (std::vector<std::string>{"a:N/o={\"round\":1}", "a:N/o={\"round\":2}",
                                              "late:N/o={\"round\":2}"}));
}

TEST_F(LocalNotificationCenterTest, NothingArrivesOnceTheCentreIsGone) {
    auto a = centre->addObserver("N", "o", record("a"));
    centre->post("N", "o", std::nullopt);
    centre.reset();
    loop->run();
    EXPECT_TRUE(seen.empty());
    a.remove();  // an observation outliving its centre ends quietly
}

}  // namespace
}  // namespace platform
