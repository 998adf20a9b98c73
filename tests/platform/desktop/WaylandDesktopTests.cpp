// The Wayland desktop on real compositors: weston with two outputs (names and
// logical layout through xdg-output), and a compositor of the test's own on
// libwayland-server that plugs outputs in and out, and changes them, while
// the desktop watches (weston cannot change its outputs at run time).
#include <gtest/gtest.h>

#include <sys/eventfd.h>
#include <unistd.h>
#include <wayland-server.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/desktop/WaylandDesktop.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "tests/support/PrivateWeston.hpp"
#include "tests/support/ResultChecks.hpp"
#include "tests/support/TempDir.hpp"

namespace platform {

// Readable failures.
void PrintTo(const Rect& r, std::ostream* os) {
    *os << "{" << r.x << ", " << r.y << ", " << r.width << ", " << r.height << "}";
}
void PrintTo(const Output& o, std::ostream* os) {
    *os << "'" << o.name << "' ";
    PrintTo(o.frame, os);
    if (o.primary)
        *os << " primary";
}

}  // namespace platform

using namespace platform;
using namespace std::chrono_literals;

namespace {

using tact::test::errorOf;
using tact::test::PrivateWeston;
using tact::test::TempDir;
using tact::test::valueOf;
using tact::test::WestonOptions;

// An environment variable set for one test, put back after.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

// Runs the loop until done() holds or the time is up; returns done().
bool runUntil(RunLoop& loop, const std::function<bool()>& done,
              std::chrono::milliseconds limit = 3s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    Timer check = loop.addTimer(0, 0.005, [&](Timer&) {
        if (done() || std::chrono::steady_clock::now() > deadline)
            loop.stop();
    });
    loop.run();
    return done();
}

// Runs the loop for a while, so that whatever was going to come has come.
void runFor(RunLoop& loop, std::chrono::milliseconds time) {
    runUntil(
        loop, [] { return false; }, time);
}

// One output as the test's compositor describes it with wl_output alone:
// position, current mode in pixels, scale and transform.
struct OutputState {
    std::string name;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int scale = 1;
    int transform = WL_OUTPUT_TRANSFORM_NORMAL;
};

// A compositor that offers wl_output (version 4) and nothing else, serving
// its socket in XDG_RUNTIME_DIR from a thread of its own. Outputs come, go
// and change when the test says.
class TestCompositor {
  public:
    explicit TestCompositor(const std::string& socket) {
        display_.reset(wl_display_create());
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (!display_ || wake_ < 0 || wl_display_add_socket(display_.get(), socket.c_str()) != 0)
            return;
        wakeSource_ = wl_event_loop_add_fd(wl_display_get_event_loop(display_.get()), wake_,
                                           WL_EVENT_READABLE, &TestCompositor::woken, this);
        thread_ = std::thread([this] {
            wl_event_loop* loop = wl_display_get_event_loop(display_.get());
            while (!stopping_) {
                wl_display_flush_clients(display_.get());
                wl_event_loop_dispatch(loop, -1);
            }
        });
    }

    ~TestCompositor() {
        if (thread_.joinable()) {
            onThread([this] { stopping_ = true; });
            thread_.join();
        }
        if (wakeSource_)
            wl_event_source_remove(wakeSource_);
        if (display_)
            wl_display_destroy_clients(display_.get());
        display_.reset();
        if (wake_ >= 0)
            close(wake_);
    }
    TestCompositor(const TestCompositor&) = delete;
    TestCompositor& operator=(const TestCompositor&) = delete;

    bool ok() const { return thread_.joinable(); }

    int add(const OutputState& state) {
        const int id = nextId_++;
        onThread([&] {
            auto output = std::make_unique<FakeOutput>();
            output->state = state;
            output->global = wl_global_create(display_.get(), &wl_output_interface, 4, output.get(),
                                              &TestCompositor::bind);
            outputs_[id] = std::move(output);
        });
        return id;
    }

    void change(int id, const OutputState& state) {
        onThread([&] {
            FakeOutput& output = *outputs_.at(id);
            output.state = state;
            for (wl_resource* r : output.resources)
                send(r, state, false);
        });
    }

    void remove(int id) {
        onThread([&] {
            auto& output = outputs_.at(id);
            wl_global_destroy(output->global);
            for (wl_resource* r : output->resources)
                wl_resource_set_user_data(r, nullptr);
            outputs_.erase(id);
        });
    }

  private:
    struct FakeOutput {
        OutputState state;
        wl_global* global = nullptr;
        std::vector<wl_resource*> resources;
    };
    struct DisplayDeleter {
        void operator()(wl_display* d) const { wl_display_destroy(d); }
    };

    // Runs fn on the compositor's thread and waits until it has run.
    void onThread(std::function<void()> fn) {
        std::packaged_task<void()> task(std::move(fn));
        auto done = task.get_future();
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(task));
        }
        const std::uint64_t one = 1;
        (void)!write(wake_, &one, sizeof one);
        done.wait();
    }

    static int woken(int fd, std::uint32_t, void* data) {
        auto* self = static_cast<TestCompositor*>(data);
        std::uint64_t count = 0;
        (void)!read(fd, &count, sizeof count);
        std::deque<std::packaged_task<void()>> tasks;
        {
            std::lock_guard lock(self->mutex_);
            tasks.swap(self->queue_);
        }
        for (auto& task : tasks)
            task();
        return 0;
    }

    static void send(wl_resource* r, const OutputState& state, bool withName) {
        const int version = wl_resource_get_version(r);
        wl_output_send_geometry(r, state.x, state.y, 300, 200, WL_OUTPUT_SUBPIXEL_UNKNOWN, "tact",
                                "test", state.transform);
        wl_output_send_mode(r, WL_OUTPUT_MODE_CURRENT | WL_OUTPUT_MODE_PREFERRED, state.width,
                            state.height, 60000);
        if (version >= WL_OUTPUT_SCALE_SINCE_VERSION)
            wl_output_send_scale(r, state.scale);
        if (withName && version >= WL_OUTPUT_NAME_SINCE_VERSION)
            wl_output_send_name(r, state.name.c_str());
        if (version >= WL_OUTPUT_DONE_SINCE_VERSION)
            wl_output_send_done(r);
    }

    static void forget(wl_resource* r) {
        if (auto* output = static_cast<FakeOutput*>(wl_resource_get_user_data(r)))
            std::erase(output->resources, r);
    }

    static void release(wl_client*, wl_resource* r) { wl_resource_destroy(r); }

    static constexpr struct wl_output_interface kRequests = {.release = release};

    static void bind(wl_client* client, void* data, std::uint32_t version, std::uint32_t id) {
        auto* output = static_cast<FakeOutput*>(data);
        wl_resource* r = wl_resource_create(client, &wl_output_interface, int(version), id);
        if (!r) {
            wl_client_post_no_memory(client);
            return;
        }
        wl_resource_set_implementation(r, &kRequests, output, &TestCompositor::forget);
        output->resources.push_back(r);
        send(r, output->state, true);
    }

    std::unique_ptr<wl_display, DisplayDeleter> display_;
    int wake_ = -1;
    wl_event_source* wakeSource_ = nullptr;
    std::mutex mutex_;
    std::deque<std::packaged_task<void()>> queue_;
    std::map<int, std::unique_ptr<FakeOutput>> outputs_;  // only on the thread
    int nextId_ = 0;
    std::atomic<bool> stopping_ = false;
    std::thread thread_;
};

// How often a text occurs in another.
int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class WaylandDesktopTest : public ::testing::Test {
  protected:
    std::unique_ptr<RunLoop> loop = makeRealRunLoop(false);
};

// --- weston ------------------------------------------------------------------

// weston's X11 backend draws each output as a window of its own on the Xvfb;
// at scale 2 an 800x600 output is a 1600x1200 mode of 800x600 logical points.
WestonOptions twoOutputs() {
    WestonOptions options;
    options.scale = 2;
    options.xwayland = false;
    return options;
}

#define START_WESTON(weston)                               \
    if (!(weston).installed())                             \
        GTEST_SKIP() << "weston or Xvfb is not installed"; \
    ASSERT_TRUE((weston).ok()) << (weston).error();        \
    ScopedEnv runtime("XDG_RUNTIME_DIR", (weston).runtimeDir().c_str())

TEST_F(WaylandDesktopTest, ReadsWestonsOutputsWithNamesAndLogicalFrames) {
    PrivateWeston weston(twoOutputs());
    START_WESTON(weston);
    // The socket from WAYLAND_DISPLAY, as in a session.
    ScopedEnv display("WAYLAND_DISPLAY", weston.waylandSocket().c_str());
    auto desktop = valueOf(WaylandDesktop::connect(*loop, "", nullptr));
    ASSERT_TRUE(desktop);
    EXPECT_EQ(desktop->socketName(), weston.waylandSocket());
    ASSERT_TRUE(runUntil(*loop, [&] { return desktop->outputs().size() == 2; }));

    const std::vector<Output> expected = {{"screen0", {0, 0, 800, 600}, true},
                                          {"screen1", {800, 0, 800, 600}, false}};
    EXPECT_EQ(desktop->outputs(), expected);
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{0, 0, 800, 600}));
    EXPECT_EQ(desktop->mainOutputName(), "screen0");
    EXPECT_EQ(desktop->desktopBounds(), (Rect{0, 0, 1600, 600}));
    EXPECT_TRUE(desktop->connected());
}

TEST_F(WaylandDesktopTest, TheFramesOutputIsChosenByNameAndObserversHearOfIt) {
    PrivateWeston weston(twoOutputs());
    START_WESTON(weston);
    auto desktop = valueOf(WaylandDesktop::connect(*loop, weston.waylandSocket(), nullptr));
    ASSERT_TRUE(desktop);
    ASSERT_TRUE(runUntil(*loop, [&] { return desktop->outputs().size() == 2; }));
    int told = 0;
    auto observation = desktop->observeScreenChanges([&] { ++told; });

    desktop->setFrameOutput("screen1");
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{800, 0, 800, 600}));
    EXPECT_EQ(desktop->mainOutputName(), "screen1");
    EXPECT_EQ(told, 0) << "observers are told from the loop, not from inside the call";
    EXPECT_TRUE(runUntil(*loop, [&] { return told == 1; }));

    // A name the compositor does not know: the primary serves.
    testing::internal::CaptureStderr();
    desktop->setFrameOutput("HDMI-9");
    runFor(*loop, 100ms);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{0, 0, 800, 600}));
    EXPECT_EQ(desktop->mainOutputName(), "screen0");
    EXPECT_EQ(told, 2);
    EXPECT_EQ(count(log, "the frame's output HDMI-9 is not connected: using screen0"), 1) << log;
    // The bounds stay the whole desktop's.
    EXPECT_EQ(desktop->desktopBounds(), (Rect{0, 0, 1600, 600}));
}

TEST_F(WaylandDesktopTest, AWestonThatIsGoneLeavesTheLastOutputs) {
    PrivateWeston weston(twoOutputs());
    START_WESTON(weston);
    auto desktop = valueOf(WaylandDesktop::connect(*loop, weston.waylandSocket(), nullptr));
    ASSERT_TRUE(desktop);
    ASSERT_TRUE(runUntil(*loop, [&] { return desktop->outputs().size() == 2; }));
    desktop->setFrameOutput("screen1");
    const auto before = desktop->outputs();

    testing::internal::CaptureStderr();
    weston.stop();
    const bool lost = runUntil(*loop, [&] { return !desktop->connected(); });
    runFor(*loop, 100ms);
    const std::string log = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(lost);
    EXPECT_EQ(count(log, "the connection to the Wayland compositor '" + weston.waylandSocket() +
                             "' is gone (closed by the compositor): keeping the last outputs "
                             "('screen0' 800x600 at 0,0, 'screen1' 800x600 at 800,0)\n"),
              1)
        << log;
    EXPECT_EQ(desktop->outputs(), before);
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{800, 0, 800, 600}));
    // Still chosen among the last outputs.
    desktop->setFrameOutput("screen0");
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{0, 0, 800, 600}));
    desktop->setPointerLocation({12, 34});
    EXPECT_EQ(desktop->pointerLocation(), (Point{12, 34}));
}

// --- a compositor that changes its outputs ---------------------------------------

class LiveOutputsTest : public WaylandDesktopTest {
  protected:
    TempDir runtimeDir;
    ScopedEnv runtime{"XDG_RUNTIME_DIR", runtimeDir.path().c_str()};
    TestCompositor compositor{"wayland-test"};
};

TEST_F(LiveOutputsTest, WithoutXdgOutputTheModeTurnedAndScaledGivesTheFrame) {
    ASSERT_TRUE(compositor.ok());
    compositor.add({"DP-1", 0, 0, 2560, 1440, 2, WL_OUTPUT_TRANSFORM_NORMAL});
    compositor.add({"DP-2", 1280, 0, 1920, 1080, 1, WL_OUTPUT_TRANSFORM_90});
    auto desktop = valueOf(WaylandDesktop::connect(*loop, "wayland-test", nullptr));
    ASSERT_TRUE(desktop);
    const std::vector<Output> expected = {{"DP-1", {0, 0, 1280, 720}, true},
                                          {"DP-2", {1280, 0, 1080, 1920}, false}};
    EXPECT_EQ(desktop->outputs(), expected);
    EXPECT_EQ(desktop->desktopBounds(), (Rect{0, 0, 2360, 1920}));
}

TEST_F(LiveOutputsTest, OutputsThatComeGoAndChangeAreFollowed) {
    ASSERT_TRUE(compositor.ok());
    const int left = compositor.add({"DP-1", 0, 0, 1920, 1080});
    int right = compositor.add({"DP-2", 1920, 0, 1280, 1024});
    auto desktop = valueOf(WaylandDesktop::connect(*loop, "wayland-test", nullptr));
    ASSERT_TRUE(desktop);
    int told = 0;
    auto observation = desktop->observeScreenChanges([&] { ++told; });
    desktop->setFrameOutput("DP-2");
    ASSERT_TRUE(runUntil(*loop, [&] { return told == 1; }));
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{1920, 0, 1280, 1024}));

    // Unplugged: the primary serves, and it is said once.
    testing::internal::CaptureStderr();
    compositor.remove(right);
    EXPECT_TRUE(runUntil(*loop, [&] { return told == 2; }));
    EXPECT_EQ(desktop->mainOutputName(), "DP-1");
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(desktop->desktopBounds(), (Rect{0, 0, 1920, 1080}));
    // The primary changes mode meanwhile.
    compositor.change(left, {"DP-1", 0, 0, 2560, 1440, 2});
    EXPECT_TRUE(runUntil(*loop, [&] { return told == 3; }));
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{0, 0, 1280, 720}));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count(log, "DP-2 is not connected"), 1) << log;

    // Plugged in again: it is chosen again, and comes last in the order.
    right = compositor.add({"DP-2", 1280, 0, 1280, 1024});
    EXPECT_TRUE(runUntil(*loop, [&] { return told == 4; }));
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{1280, 0, 1280, 1024}));
    ASSERT_EQ(desktop->outputs().size(), 2u);
    EXPECT_EQ(desktop->outputs()[1].name, "DP-2");
    EXPECT_FALSE(desktop->outputs()[1].primary);

    // A change of another output that moves neither the frame nor the
    // bounds tells nobody.
    compositor.change(left, {"DP-1", 0, 0, 2400, 1440, 2});
    runFor(*loop, 100ms);
    EXPECT_EQ(desktop->outputs()[0].frame, (Rect{0, 0, 1200, 720}));
    EXPECT_EQ(told, 4);

    // Every monitor unplugged: the last one stays, the frame goes nowhere.
    compositor.remove(left);
    EXPECT_TRUE(runUntil(*loop, [&] { return desktop->outputs().size() == 1; }));
    compositor.remove(right);
    runFor(*loop, 100ms);
    const std::vector<Output> last = {{"DP-2", {1280, 0, 1280, 1024}, true}};
    EXPECT_EQ(desktop->outputs(), last);
    EXPECT_EQ(desktop->mainScreenFrame(), (Rect{1280, 0, 1280, 1024}));
}

TEST_F(LiveOutputsTest, ThePointerIsTheAgentsOwnAndApplicationsComeFromTheWindows) {
    ASSERT_TRUE(compositor.ok());
    compositor.add({"DP-1", 0, 0, 1920, 1080});
    VirtualDesktop windows;
    auto alone = valueOf(WaylandDesktop::connect(*loop, "wayland-test", nullptr));
    auto withWindows = valueOf(WaylandDesktop::connect(*loop, "wayland-test", &windows));
    ASSERT_TRUE(alone && withWindows);

    EXPECT_EQ(alone->pointerLocation(), (Point{0, 0}));
    alone->setPointerLocation({100, 50});
    EXPECT_EQ(alone->pointerLocation(), (Point{100, 50}));

    EXPECT_FALSE(alone->observeApplicationActivation([](const std::string&) {}).isActive());
    std::vector<std::string> told;
    auto observation = withWindows->observeApplicationActivation(
        [&](const std::string& id) { told.push_back(id); });
    windows.activateApplication("com.apple.Safari");
    EXPECT_EQ(told, std::vector<std::string>{"com.apple.Safari"});
}

TEST_F(WaylandDesktopTest, SaysWhyItCannotConnect) {
    TempDir runtimeDir;
    ScopedEnv runtime("XDG_RUNTIME_DIR", runtimeDir.path().c_str());
    const std::string error = errorOf(WaylandDesktop::connect(*loop, "wayland-none", nullptr));
    EXPECT_NE(error.find("cannot connect to the Wayland compositor 'wayland-none'"),
              std::string::npos)
        << error;

    ScopedEnv display("WAYLAND_DISPLAY", nullptr);
    EXPECT_EQ(errorOf(WaylandDesktop::connect(*loop, "", nullptr)),
              "no Wayland session (WAYLAND_DISPLAY is not set)");
}

}  // namespace
