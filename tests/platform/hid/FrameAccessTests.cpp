// Whether this user can reach the frame, on sysfs trees and /dev folders laid
// out by the test. Checks run as nobody when the tests run as root, so that a
// node's mode counts as it does for a desktop user.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/hid/FrameAccess.hpp"
#include "tests/platform/hid/Descriptors.hpp"
#include "tests/platform/hid/FakeSysfs.hpp"
#include "tests/platform/hid/Unprivileged.hpp"

namespace tact::test::hid {
namespace {

using platform::hid::NodeAccess;

enum class Node { Fifo, Refused, Missing, Folder };

struct Case {
    const char* name;
    bool frame;  // a frame, or only a keyboard of another vendor
    Node node;
    NodeAccess access;
    const char* summary;  // DEV stands for the /dev folder
};

class FrameAccessTest : public testing::TestWithParam<Case> {};

TEST_P(FrameAccessTest, SaysWhetherTheFrameCanBeOpened) {
    const Case& c = GetParam();
    FakeSysfs fake;
    openFolderToAll(std::filesystem::path(fake.sys()).parent_path());
    if (c.frame)
        fake.addHid("0003:23C9:5666.0001", "0003:000023C9:00005666", frameTouchDescriptor(), 3, 7);
    fake.addHid("0003:046D:C31C.0002", "0003:0000046D:0000C31C", bootKeyboardDescriptor(), 4);
    fake.makeFifo("hidraw4");
    fake.makeFifo("input/event7");
    switch (c.node) {
        case Node::Fifo:
        case Node::Refused:
            fake.makeFifo("hidraw3");
            chmod(fake.devnode("hidraw3").c_str(), c.node == Node::Fifo ? 0666 : 0);
            break;
        case Node::Folder:
            std::filesystem::create_directories(fake.devnode("hidraw3"));
            break;
        case Node::Missing:
            break;
    }
    std::string summary = c.summary;
    if (auto at = summary.find("DEV"); at != std::string::npos)
        summary.replace(at, 3, fake.dev());

    const int result = runUnprivileged([&] {
        const auto access = platform::hid::checkFrameAccess({fake.sys(), fake.dev()});
        const std::string said = platform::hid::frameAccessSummary(access);
        std::fprintf(stderr, "%s\n", said.c_str());
        const bool eventsSeen =
            !c.frame || (access.interfaces.size() == 1 && access.interfaces[0].events.size() == 1 &&
                         access.interfaces[0].events[0].devnode == fake.devnode("input/event7"));
        return access.present() == c.frame && access.hidrawAccess() == c.access &&
                       said == summary && eventsSeen
                   ? 0
                   : 1;
    });
    EXPECT_EQ(result, 0) << "expected: " << summary;
}

INSTANTIATE_TEST_SUITE_P(
    Trees, FrameAccessTest,
    testing::Values(
        Case{"Ready", true, Node::Fifo, NodeAccess::Openable, "the frame is ready (DEV/hidraw3)"},
        Case{"Refused", true, Node::Refused, NodeAccess::PermissionDenied,
             "the frame cannot be opened: permission (DEV/hidraw3)"},
        Case{"NodeMissing", true, Node::Missing, NodeAccess::Absent,
             "the frame's node is missing (DEV/hidraw3)"},
        Case{"NotADevice", true, Node::Folder, NodeAccess::OtherError,
             "the frame cannot be opened: Is a directory (DEV/hidraw3)"},
        Case{"NoFrame", false, Node::Missing, NodeAccess::Absent, "no frame is connected"}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(FrameAccessRemedy, NamesTheRuleAndTheCommandsThatApplyIt) {
    const std::string remedy(platform::hid::frameAccessRemedy());
    for (const char* part : {"70-tact.rules", "/usr/lib/udev/rules.d", "/etc/udev/rules.d",
                             "udevadm control --reload-rules", "udevadm trigger"})
        EXPECT_NE(remedy.find(part), std::string::npos) << part;
}

}  // namespace
}  // namespace tact::test::hid
