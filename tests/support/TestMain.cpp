// Every test program's main: GoogleTest, with the system log's limit on
// repeated warnings cleared before each test, so that no test depends on
// what the tests before it logged in the same process.
#include <gtest/gtest.h>

#include <memory>

#include "platform/log/SystemLog.hpp"

namespace {

class ClearLogLimits : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { platform::setSystemLogClock({}); }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // GoogleTest owns its listeners.
    ::testing::UnitTest::GetInstance()->listeners().Append(
        std::make_unique<ClearLogLimits>().release());
    return RUN_ALL_TESTS();
}
