// The system's time is set (NTP, a resume, a person) while a finger rests on
// the frame: taps, multiple clicks and drags come out as if it had not been.
#include <gtest/gtest.h>

#include "tests/agent/GestureFixture.hpp"

using namespace tact;
using namespace tact::test;

namespace {

constexpr std::uint16_t kMid = 16384;

// One report of a script, and how far the wall clock is set just before it.
struct Step {
    double t;
    std::vector<Contact> contacts;
    double wallClockStep = 0;
};

struct Script {
    const char* name;
    std::vector<Step> steps;
    std::string_view mustContain;  // proves the script does what it is named for
};

class ClockStepTest : public GestureFixture {
  protected:
    // Plays the script from session time `start`, on a fresh converter, and
    // returns what it posted.
    std::vector<std::string> play(const Script& script, double start, bool stepWallClock) {
        c->resetToStateIdle();
        sink.events.clear();
        environment.events.setPointerLocation({0, 0});
        for (const Step& s : script.steps) {
            if (stepWallClock)
                loop.stepWallClock(s.wallClockStep);
            report(start + s.t, s.contacts);
        }
        report(start + 5, {});  // every deadline has passed
        return events();
    }
};

TEST_F(ClockStepTest, WallClockStepsChangeNoClickOrDrag) {
    const Script scripts[] = {
        {"a tap stays a tap when the clock jumps ahead",
         {{0.00, {down(1, kMid, kMid)}},
          {0.02, {down(1, kMid, kMid)}, +5.0},
          {0.04, {down(1, kMid, kMid)}, +60.0},
          {0.06, {up(1, kMid, kMid)}}},
         "1@960,540:1"},
        {"a held finger still drags when the clock goes back",
         {{0.00, {down(1, kMid, kMid)}},
          {0.10, {down(1, kMid, kMid)}, -3.0},
          {0.20, {down(1, kMid, kMid)}, -1.0},
          {0.25, {down(1, kMid + 3277, kMid)}},
          {0.30, {up(1, kMid + 3277, kMid)}}},
         "6@1152.01,540"},
        {"a double click survives steps both ways between the taps",
         {{0.00, {down(1, kMid, kMid)}},
          {0.05, {up(1, kMid, kMid)}, -2.0},
          {0.20, {down(2, kMid, kMid)}, +2.5},
          {0.25, {up(2, kMid, kMid)}}},
         "1@960,540:2"},
    };
    double start = 0;
    for (const Script& script : scripts) {
        SCOPED_TRACE(script.name);
        const auto steady = play(script, start, false);
        const auto stepped = play(script, start + 10, true);
        EXPECT_EQ(stepped, steady);
        EXPECT_NE(std::find(steady.begin(), steady.end(), script.mustContain), steady.end());
        start += 20;
    }
}

}  // namespace
