// tactrecord: the recorder on a virtual frame (handshake, unanswered requests,
// unplugging, a frame held by another program), and the program on a frame
// laid out in a sysfs tree whose device nodes are pseudo-terminals, its
// session then played by tactreplay.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "agent/simulator/VirtualFrame.hpp"
#include "platform/hid/HID.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "platform/values/Json.hpp"
#include "tests/platform/hid/Descriptors.hpp"
#include "tests/support/ResultChecks.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"
#include "tools/tactrecord/Recorder.hpp"
#include "tools/tactreplay/Session.hpp"

namespace {

namespace fs = std::filesystem;
using namespace platform::hid;
using tact::record::Recorder;
using tact::replay::Session;
using tact::replay::SessionLine;
using tact::test::builtProgram;
using tact::test::errorOf;
using tact::test::linesOf;
using tact::test::runProcess;
using tact::test::TempDir;
using Bytes = std::vector<std::uint8_t>;

platform::Result<Session> parse(const std::string& text) {
    std::istringstream in(text);
    return tact::replay::parseSession(in, "recorded");
}

// --- the recorder on a virtual frame ----------------------------------------

constexpr double kStart = 700000000.0;

struct VirtualRecording {
    std::shared_ptr<VirtualBackend> backend = std::make_shared<VirtualBackend>();
    std::shared_ptr<VirtualFrame> frame;
    std::unique_ptr<platform::RunLoop> loop = platform::makeVirtualRunLoop(kStart);
    std::string text;
    std::vector<std::string> notes;
    std::unique_ptr<Recorder> recorder;

    explicit VirtualRecording(std::optional<VirtualFrameConfig> config, bool wait = false) {
        if (config) {
            frame = std::make_shared<VirtualFrame>(*config);
            backend->attach(frame);
        }
        Recorder::Options options;
        options.wait = wait;
        options.note = [this](const std::string& note) { notes.push_back(note); };
        recorder = std::make_unique<Recorder>(
            *loop, backend,
            [this](const std::string& piece) {
                text += piece;
                return true;
            },
            options);
    }
    ~VirtualRecording() { recorder.reset(); }

    std::vector<VirtualFrame::Contact> finger(std::uint16_t x, std::uint16_t y, bool up = false) {
        VirtualFrame::Contact c;
        c.id = 1;
        c.x = x;
        c.y = y;
        c.flags = up ? 6 : 7;
        return {c};
    }
    Bytes encoded(const std::vector<VirtualFrame::Contact>& contacts) {
        std::vector<Bytes> reports;
        EXPECT_TRUE(frame->encodeTouches(contacts, &reports));
        return reports.at(0);
    }
};

TEST(Recorder, HandshakeGivesTheHeaderTactreplayRebuildsTheFrameFrom) {
    VirtualFrameConfig config;
    config.product = 0x5666;
    config.bootparam = {40, 1, 2, 0, 3, 0, 4, 0, 0x08, 0x02, 0xEF, 0x07, 5, 8, 6, 0x35};
    config.shiptime = 1600000000;
    config.serial = "SN 7\tB";  // blanks cannot stand in a header value
    config.type = "T#1";        // a '#' inside a word is no comment
    config.ledsH = 120;
    config.ledsV = 70;
    VirtualRecording rec(config);
    ASSERT_TRUE(rec.recorder->start());

    // A report during the handshake is kept until the header is out; the
    // times count from it.
    ASSERT_TRUE(rec.frame->sendTouches(rec.finger(16384, 16384)));
    auto later = rec.loop->addTimer(
        0.25, 0, [&](platform::Timer&) { rec.frame->sendTouches(rec.finger(16384, 16384, true)); });
    EXPECT_EQ(rec.loop->run(), 0);
    rec.recorder->finish();
    EXPECT_EQ(rec.recorder->reportCount(), 2u);

    const auto lines = linesOf(rec.text);
    ASSERT_GE(lines.size(), 4u) << rec.text;
    EXPECT_EQ(lines[0],
              "frame product=0x5666 bootparam=28010200030004000802ef0705080635 "
              "shiptime=1600000000 serial=SN_7_B type=T#1 leds=120x70");
    EXPECT_TRUE(lines[1].starts_with("# recorded by tactrecord on ")) << lines[1];
    EXPECT_NE(rec.text.find("# boot parameters: bootloader 4.0, hardware 5.20, software 2.3.1, "
                            "flash 256 KB, flags 0x35\n"),
              std::string::npos)
        << rec.text;
    EXPECT_NE(rec.text.find("# the serial number is \"SN 7\\x09B\"; blanks are written as '_'"),
              std::string::npos)
        << rec.text;
    EXPECT_EQ(lines.back(), "# end of the recording: 2 touch reports");

    auto session = parse(rec.text);
    ASSERT_TRUE(session) << errorOf(session);
    const auto& f = session->header.frame;
    EXPECT_EQ(f.product, config.product);
    EXPECT_EQ(f.bootparam, config.bootparam);
    EXPECT_EQ(f.shiptime, config.shiptime);
    EXPECT_EQ(f.serial, "SN_7_B");
    EXPECT_EQ(f.type, "T#1");
    EXPECT_EQ(f.ledsH, 120);
    EXPECT_EQ(f.ledsV, 70);
    EXPECT_TRUE(f.debug);
    ASSERT_EQ(session->lines.size(), 2u);
    EXPECT_EQ(session->lines[0].verb, SessionLine::Verb::Raw);
    EXPECT_EQ(session->lines[0].t, 0.0);
    EXPECT_EQ(session->lines[0].bytes, rec.encoded(rec.finger(16384, 16384)));
    EXPECT_EQ(session->lines[1].t, 0.25);
    EXPECT_EQ(session->lines[1].bytes, rec.encoded(rec.finger(16384, 16384, true)));

    // The frame was asked what the agent asks, in the agent's order.
    std::vector<std::string> asked;
    for (const auto& r : rec.frame->requests()) {
        if (r.isGet)
            asked.push_back("get feature " + std::to_string(r.reportID));
        else if (r.bytes.size() == 63 && r.bytes[0] == 2)
            asked.push_back("command " + std::to_string(r.bytes[1]) + "/" +
                            std::to_string(r.bytes[2]));
        else
            asked.push_back("other");
    }
    EXPECT_EQ(asked, (std::vector<std::string>{"get feature 10", "get feature 11", "command 16/0",
                                               "command 23/0", "command 33/2", "command 33/0"}));
}

TEST(Recorder, FrameWithTheDebugChannelOnTheTouchInterface) {
    VirtualFrameConfig config;
    config.product = 0x5668;
    config.shiptime.reset();
    VirtualRecording rec(config);
    ASSERT_TRUE(rec.recorder->start());
    EXPECT_EQ(rec.loop->run(), 0);
    ASSERT_TRUE(rec.frame->sendRaw(Bytes{10, 1, 2, 3}));
    ASSERT_TRUE(rec.frame->sendRaw(Bytes{11, 1, 2, 3}));  // not a touch report
    EXPECT_EQ(rec.loop->run(), 0);
    rec.recorder->finish();

    const auto lines = linesOf(rec.text);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "frame product=0x5668 bootparam=28000000000000006e00ef07000800a0 shiptime=none "
              "serial=VF-000001 type=VF-26 leds=100x60");
    auto session = parse(rec.text);
    ASSERT_TRUE(session) << errorOf(session);
    EXPECT_FALSE(session->header.frame.shiptime);
    ASSERT_EQ(session->lines.size(), 1u);
    EXPECT_EQ(session->lines[0].bytes, (Bytes{10, 1, 2, 3}));
}

TEST(Recorder, UnansweredRequestsTimeOutAndTheHeaderSaysWhatWasLearnt) {
    {  // No answer at all: two seconds, then a frame without the debug channel.
        VirtualFrameConfig config;
        config.debug = false;
        VirtualRecording rec(config);
        ASSERT_TRUE(rec.recorder->start());
        EXPECT_EQ(rec.loop->run(), 0);
        EXPECT_EQ(rec.loop->absoluteTime(), kStart + 2.0);
        ASSERT_TRUE(rec.recorder->headerWritten());
        EXPECT_EQ(linesOf(rec.text)[0], "frame product=0x5666 debug=none");
        EXPECT_NE(rec.text.find("# the frame answered no device command"), std::string::npos);
        auto session = parse(rec.text);
        ASSERT_TRUE(session) << errorOf(session);
        EXPECT_FALSE(session->header.frame.debug);
        EXPECT_EQ(rec.notes.back(),
                  "no answer to the boot-parameter request within 2 s; recording with what the "
                  "frame told");
    }
    {  // A frame block that fails its check: everything but the LED counts.
        VirtualFrameConfig config;
        config.badFrameChecksum = true;
        config.serial = "S";
        VirtualRecording rec(config);
        ASSERT_TRUE(rec.recorder->start());
        EXPECT_EQ(rec.loop->run(), 0);
        EXPECT_EQ(linesOf(rec.text)[0],
                  "frame product=0x5666 bootparam=28000000000000006e00ef07000800a0 "
                  "shiptime=1577836800 serial=S type=VF-26");
        EXPECT_NE(rec.text.find("# no good frame block came"), std::string::npos);
        ASSERT_EQ(errorOf(parse(rec.text)), "");
    }
    {  // Ended before any answer came: what is known is written all the same.
        VirtualFrameConfig config;
        config.debug = false;
        VirtualRecording rec(config);
        ASSERT_TRUE(rec.recorder->start());
        auto stop = rec.loop->addTimer(0.5, 0, [&](platform::Timer&) { rec.loop->stop(0); });
        EXPECT_EQ(rec.loop->run(), 0);
        EXPECT_FALSE(rec.recorder->headerWritten());
        rec.recorder->finish();
        EXPECT_TRUE(rec.text.starts_with("frame product=0x5666 debug=none\n")) << rec.text;
    }
}

TEST(Recorder, HeaderValuesThatDoNotFitAreCut) {
    tact::record::FrameIdentity id;
    id.product = 0x5666;
    id.bootparam.emplace();
    id.informationAnswered = true;
    id.serial = std::string(40, 'S');
    id.type = "TYPE 12";
    const auto header = tact::record::sessionHeader(id, "today");
    const auto lines = linesOf(header);
    EXPECT_EQ(lines[0],
              "frame product=0x5666 bootparam=00000000000000000000000000000000 "
              "shiptime=none serial=" +
                  std::string(40, 'S') + " type=TYP");
    EXPECT_EQ(lines[1],
              "# recorded by tactrecord on today; times are seconds since the first touch report");
    EXPECT_NE(header.find(" are cut to 43 bytes together"), std::string::npos) << header;
    EXPECT_EQ(errorOf(parse(header)), "");
}

TEST(Recorder, UnpluggingIsRecordedAndEndsTheRecordingUnlessWaiting) {
    {
        VirtualRecording rec(VirtualFrameConfig{}, /*wait=*/true);
        ASSERT_TRUE(rec.recorder->start());
        ASSERT_TRUE(rec.frame->sendTouches(rec.finger(100, 100)));
        auto out =
            rec.loop->addTimer(1.0, 0, [&](platform::Timer&) { rec.backend->detach(rec.frame); });
        auto in =
            rec.loop->addTimer(2.0, 0, [&](platform::Timer&) { rec.backend->attach(rec.frame); });
        auto touch = rec.loop->addTimer(
            2.5, 0, [&](platform::Timer&) { rec.frame->sendTouches(rec.finger(200, 200)); });
        EXPECT_EQ(rec.loop->run(), 0);
        rec.recorder->finish();
        auto session = parse(rec.text);
        ASSERT_TRUE(session) << errorOf(session);
        std::vector<std::pair<double, SessionLine::Verb>> seen;
        for (const auto& line : session->lines)
            seen.emplace_back(line.t, line.verb);
        EXPECT_EQ(seen, (std::vector<std::pair<double, SessionLine::Verb>>{
                            {0.0, SessionLine::Verb::Raw},
                            {1.0, SessionLine::Verb::Detach},
                            {2.0, SessionLine::Verb::Attach},
                            {2.5, SessionLine::Verb::Raw}}));
        EXPECT_EQ(session->lines[3].bytes, rec.encoded(rec.finger(200, 200)));
    }
    {
        VirtualRecording rec(VirtualFrameConfig{});
        ASSERT_TRUE(rec.recorder->start());
        auto out =
            rec.loop->addTimer(1.0, 0, [&](platform::Timer&) { rec.backend->detach(rec.frame); });
        auto never = rec.loop->addTimer(30.0, 0, [&](platform::Timer&) { ADD_FAILURE(); });
        EXPECT_EQ(rec.loop->run(), 0);
        EXPECT_EQ(rec.recorder->failure(), Recorder::Failure::None);
        EXPECT_NE(rec.text.find("\n0.000000 detach\n"), std::string::npos) << rec.text;
    }
}

TEST(Recorder, RefusesAFrameHeldByAnotherProgram) {
    // The agent holds the frame when the recorder starts...
    {
        VirtualRecording rec(VirtualFrameConfig{});
        auto agent = IOHIDManagerCreate(0, rec.backend);
        IOHIDManagerSetDeviceMatching(agent, platform::Dictionary{{"VendorID", 9161}});
        IOHIDManagerScheduleWithRunLoop(agent, *rec.loop);
        ASSERT_EQ(IOHIDManagerOpen(agent, kIOHIDOptionsTypeSeizeDevice), kIOReturnSuccess);
        EXPECT_FALSE(rec.recorder->start());
        EXPECT_EQ(rec.recorder->failure(), Recorder::Failure::Held);
        EXPECT_EQ(rec.recorder->message(),
                  "tactagent (or another program) holds the frame: stop it first with "
                  "systemctl --user stop tactagent");
        rec.recorder->finish();
        EXPECT_EQ(rec.text, "");
        IOHIDManagerClose(agent, 0);
    }
    // ...or takes it first when it is plugged in while both wait for it.
    {
        VirtualRecording rec(std::nullopt, /*wait=*/true);
        auto agent = IOHIDManagerCreate(0, rec.backend);
        IOHIDManagerSetDeviceMatching(agent, platform::Dictionary{{"VendorID", 9161}});
        IOHIDManagerScheduleWithRunLoop(agent, *rec.loop);
        ASSERT_EQ(IOHIDManagerOpen(agent, kIOHIDOptionsTypeSeizeDevice), kIOReturnSuccess);
        ASSERT_TRUE(rec.recorder->start());
        EXPECT_EQ(rec.loop->run(), 0);
        EXPECT_EQ(rec.notes,
                  (std::vector<std::string>{"waiting for a touch frame (USB vendor 23c9)"}));
        auto frame = std::make_shared<VirtualFrame>();
        rec.backend->attach(frame);
        EXPECT_EQ(rec.loop->run(), 1);
        EXPECT_EQ(rec.recorder->failure(), Recorder::Failure::Held);
        EXPECT_EQ(rec.recorder->message(), tact::record::kHeldMessage);
        IOHIDManagerClose(agent, 0);
    }
}

TEST(Recorder, NoFrameIsAFailureUnlessWaiting) {
    VirtualRecording rec(std::nullopt);
    ASSERT_TRUE(rec.recorder->start());
    EXPECT_EQ(rec.loop->run(), 1);
    EXPECT_EQ(rec.recorder->failure(), Recorder::Failure::NoFrame);
    EXPECT_EQ(rec.recorder->message(), "no touch frame (USB vendor 23c9) is attached");
}

TEST(Recorder, AWriteFailureEndsTheRecording) {
    VirtualRecording rec(VirtualFrameConfig{});
    rec.recorder = std::make_unique<Recorder>(
        *rec.loop, rec.backend, [](const std::string&) { return false; }, Recorder::Options{});
    ASSERT_TRUE(rec.recorder->start());
    EXPECT_EQ(rec.loop->run(), 1);
    EXPECT_EQ(rec.recorder->failure(), Recorder::Failure::CannotWrite);
}

// --- the program on a frame in a sysfs tree ----------------------------------

void writeText(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// A pseudo-terminal in raw mode standing in for a hidraw node: what the
// recorder writes (commands) is read from the master side, what the test
// writes there arrives as input reports.
class FakeNode {
  public:
    FakeNode() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            return;
        path_ = ::ptsname(master_);
        // Holding the slave open keeps its raw settings for the recorder.
        slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        if (slave_ < 0 || ::tcgetattr(slave_, &t) != 0)
            return;
        ::cfmakeraw(&t);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        ::tcsetattr(slave_, TCSANOW, &t);
    }
    ~FakeNode() {
        if (slave_ >= 0)
            ::close(slave_);
        if (master_ >= 0)
            ::close(master_);
    }
    FakeNode(const FakeNode&) = delete;
    FakeNode& operator=(const FakeNode&) = delete;

    bool ok() const { return slave_ >= 0; }
    const std::string& path() const { return path_; }

    void send(const Bytes& report) {
        ASSERT_EQ(::write(master_, report.data(), report.size()),
                  static_cast<ssize_t>(report.size()));
    }

    // The next command the recorder sent (63 bytes), or empty after 10 s.
    Bytes command() {
        Bytes out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (out.size() < 63) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{master_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return {};
            std::uint8_t buf[63];
            const ssize_t n = ::read(master_, buf, 63 - out.size());
            if (n <= 0)
                return {};
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// A sysfs tree with the frame's hid devices, their hidraw nodes linked to
// pseudo-terminals under a /dev beside it.
class FakeFrame {
  public:
    std::string sys() const { return dir_.path() + "/sys"; }
    std::string dev() const { return dir_.path() + "/dev"; }
    std::vector<std::string> env() const {
        return {"TACT_SYSFS_ROOT=" + sys(), "TACT_DEV_ROOT=" + dev()};
    }
    std::string file(const std::string& name) const { return dir_.file(name); }

    void empty() { fs::create_directories(fs::path(sys()) / "class/hidraw"); }

    void addInterface(const std::string& name, const std::string& product, const Bytes& descriptor,
                      int hidraw, const FakeNode& node) {
        const fs::path hid = fs::path(sys()) / "devices/pci0000:00/usb1/1-1" / name;
        writeText(hid / "uevent",
                  "HID_ID=0003:000023C9:0000" + product + "\nHID_NAME=Frame\nHID_UNIQ=\n");
        writeText(hid / "report_descriptor", std::string(descriptor.begin(), descriptor.end()));
        const std::string raw = "hidraw" + std::to_string(hidraw);
        writeText(hid / "hidraw" / raw / "uevent", "DEVNAME=" + raw + "\n");
        fs::create_directory_symlink("../..", hid / "hidraw" / raw / "device");
        fs::create_directories(fs::path(sys()) / "class/hidraw");
        fs::create_directory_symlink(hid / "hidraw" / raw, fs::path(sys()) / "class/hidraw" / raw);
        fs::create_directories(dev());
        fs::create_symlink(node.path(), fs::path(dev()) / raw);
    }

  private:
    TempDir dir_;
};

Bytes command(std::uint8_t code, std::uint8_t parameter) {
    Bytes c(63, 0);
    c[0] = 2;
    c[1] = code;
    c[2] = parameter;
    return c;
}

const Bytes kBootParameters = {40, 0, 0, 0, 0, 0, 0, 0, 110, 0, 0xEF, 0x07, 0, 8, 0, 0xA0};

Bytes bootResponse() {
    Bytes r(64, 0);
    r[0] = 1;
    r[1] = 0x10;
    std::copy(kBootParameters.begin(), kBootParameters.end(), r.begin() + 3);
    return r;
}

Bytes informationResponse(std::uint32_t shiptime, const std::string& serial,
                          const std::string& type) {
    Bytes r(64, 0);
    r[0] = 1;
    r[1] = 0x17;
    for (int i = 0; i < 4; ++i)
        r[15 + i] = static_cast<std::uint8_t>(shiptime >> (8 * i));
    std::copy(serial.begin(), serial.end(), r.begin() + 19);
    std::copy(type.begin(), type.end(), r.begin() + 20 + static_cast<long>(serial.size()));
    return r;
}

// A 24-byte frame block with these LED counts, in one last packet. (Written
// one after the other, several packets would reach the recorder as one read
// of the pseudo-terminal; assembly over packets is tested on the virtual frame.)
Bytes framePacket(std::uint16_t h, std::uint16_t v) {
    Bytes block(24, 0);
    block[0] = 1;
    block[7] = static_cast<std::uint8_t>(h);
    block[8] = static_cast<std::uint8_t>(h >> 8);
    block[9] = static_cast<std::uint8_t>(v);
    block[10] = static_cast<std::uint8_t>(v >> 8);
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i + 1 < block.size(); ++i)
        sum = static_cast<std::uint8_t>(sum + block[i]);
    block.back() = sum;
    Bytes p(64, 0);
    p[0] = 1;
    p[1] = 0x32;
    p[2] = static_cast<std::uint8_t>(block.size());
    std::copy(block.begin(), block.end(), p.begin() + 3);
    return p;
}

// One touch report (10-byte records): contact 1 at (x, y).
Bytes touchReport(std::uint16_t x, std::uint16_t y, bool touching = true) {
    Bytes r(62, 0);
    r[0] = 10;
    r[1] = touching ? 7 : 6;
    r[2] = 1;
    r[3] = static_cast<std::uint8_t>(x);
    r[4] = static_cast<std::uint8_t>(x >> 8);
    r[5] = static_cast<std::uint8_t>(y);
    r[6] = static_cast<std::uint8_t>(y >> 8);
    r[61] = 1;
    return r;
}

std::string hexOf(const Bytes& b) {
    std::string s;
    char buf[3];
    for (auto v : b) {
        std::snprintf(buf, sizeof buf, "%02x", v);
        s += buf;
    }
    return s;
}

// Answers the handshake on `debug` the way a frame does.
void answerHandshake(FakeNode& debug, const std::string& serial, const std::string& type) {
    ASSERT_EQ(debug.command(), command(0x10, 0));
    debug.send(bootResponse());
    ASSERT_EQ(debug.command(), command(0x17, 0));
    debug.send(informationResponse(1577836800, serial, type));
    ASSERT_EQ(debug.command(), command(0x21, 2));
    debug.send(framePacket(120, 70));
    ASSERT_EQ(debug.command(), command(0x21, 0));
}

struct Trace {
    tact::test::ProcessResult result;
    std::vector<platform::Dictionary> lines;
};

Trace replay(const std::string& sessionPath) {
    Trace t;
    t.result = runProcess({builtProgram("tactreplay"), sessionPath, "--trace", "-"}, {"TZ=UTC"});
    std::istringstream in(t.result.out);
    for (std::string line; std::getline(in, line);) {
        auto v = platform::json::parse(line);
        if (v && v->isDictionary())
            t.lines.push_back(*v->asDictionary());
    }
    return t;
}

bool waitForFile(const std::string& path, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (tact::test::readFile(path).find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(TactrecordProgram, RecordsAFrameAndTactreplayPlaysTheSession) {
    FakeNode touch, debug;
    ASSERT_TRUE(touch.ok() && debug.ok()) << "no pseudo-terminals here";
    FakeFrame fake;
    fake.addInterface("0003:23C9:5666.0001", "5666", tact::test::hid::frameTouchDescriptor(), 3,
                      touch);
    fake.addInterface("0003:23C9:5666.0002", "5666", tact::test::hid::frameDebugDescriptor(), 4,
                      debug);

    tact::test::BackgroundProcess rec({builtProgram("tactrecord")}, fake.env());
    std::string session;
    std::string line;
    auto nextLine = [&] {
        EXPECT_TRUE(rec.readLine(line)) << "after:\n" << session;
        session += line + "\n";
        return line;
    };

    // The finger is down before the handshake is over.
    ASSERT_EQ(debug.command(), command(0x10, 0));
    touch.send(touchReport(16384, 16384));
    debug.send(bootResponse());
    ASSERT_EQ(debug.command(), command(0x17, 0));
    debug.send(informationResponse(1577836800, "SN 7", "T#1"));
    ASSERT_EQ(debug.command(), command(0x21, 2));
    debug.send(framePacket(120, 70));
    ASSERT_EQ(debug.command(), command(0x21, 0));

    EXPECT_EQ(nextLine(),
              "frame product=0x5666 bootparam=28000000000000006e00ef07000800a0 "
              "shiptime=1577836800 serial=SN_7 type=T#1 leds=120x70");
    while (nextLine().starts_with("#")) {
    }
    EXPECT_EQ(line, "0.000000 raw " + hexOf(touchReport(16384, 16384)));

    // Each report is on its line as soon as it came.
    const Bytes later[] = {touchReport(16384, 16384), touchReport(16390, 16384),
                           touchReport(16390, 16384, false)};
    for (const auto& report : later) {
        touch.send(report);
        const std::string l = nextLine();
        EXPECT_TRUE(l.ends_with(" raw " + hexOf(report))) << l;
    }
    ::kill(rec.pid(), SIGINT);
    EXPECT_EQ(rec.wait(), 0);
    EXPECT_EQ(nextLine(), "# end of the recording: 4 touch reports");
    EXPECT_FALSE(rec.readLine(line));

    TempDir dir;
    tact::test::writeFile(dir.file("recorded.session"), session);
    auto trace = replay(dir.file("recorded.session"));
    ASSERT_EQ(trace.result.exitCode, 0) << trace.result.err << session;
    bool announced = false, moved = false;
    for (const auto& l : trace.lines) {
        if (const auto* info = l.dictionary("userInfo"); info && info->contains("SerialNumber"))
            announced = *info->string("SerialNumber") == platform::String("SN_7") &&
                        *info->string("Type") == platform::String("T#1");
        if (l.integer("event") == 5 && l.number("x") == 960.0 && l.number("y") == 540.0)
            moved = true;
    }
    EXPECT_TRUE(announced) << trace.result.out;
    EXPECT_TRUE(moved) << trace.result.out;
}

TEST(TactrecordProgram, SingleInterfaceFrameToAFile) {
    FakeNode touch;
    ASSERT_TRUE(touch.ok()) << "no pseudo-terminals here";
    FakeFrame fake;
    fake.addInterface("0003:23C9:5668.0001", "5668",
                      tact::test::hid::frameTouchDescriptor(/*withDebugChannel=*/true), 3, touch);
    const std::string out = fake.file("out.session");
    tact::test::BackgroundProcess rec({builtProgram("tactrecord"), "-o", out}, fake.env());

    answerHandshake(touch, "SN-9", "T-9");
    ASSERT_TRUE(waitForFile(out, "times are seconds")) << tact::test::readFile(out);
    touch.send(touchReport(100, 200));
    ASSERT_TRUE(waitForFile(out, " raw ")) << tact::test::readFile(out);
    ::kill(rec.pid(), SIGTERM);
    EXPECT_EQ(rec.wait(), 0);

    const std::string text = tact::test::readFile(out);
    auto session = parse(text);
    ASSERT_TRUE(session) << errorOf(session) << "\n" << text;
    EXPECT_EQ(session->header.frame.product, 0x5668);
    EXPECT_EQ(session->header.frame.serial, "SN-9");
    EXPECT_EQ(session->header.frame.ledsH, 120);
    ASSERT_EQ(session->lines.size(), 1u) << text;
    EXPECT_EQ(session->lines[0].bytes, touchReport(100, 200));
}

TEST(TactrecordProgram, SilentFrameAndSecondsLimit) {
    FakeNode touch, debug;
    ASSERT_TRUE(touch.ok() && debug.ok()) << "no pseudo-terminals here";
    FakeFrame fake;
    fake.addInterface("0003:23C9:5666.0001", "5666", tact::test::hid::frameTouchDescriptor(), 3,
                      touch);
    fake.addInterface("0003:23C9:5666.0002", "5666", tact::test::hid::frameDebugDescriptor(), 4,
                      debug);
    const std::string out = fake.file("out.session");
    auto r =
        runProcess({builtProgram("tactrecord"), "--seconds", "0.3", "--output", out}, fake.env());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const auto lines = linesOf(tact::test::readFile(out));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "frame product=0x5666 debug=none");
    EXPECT_EQ(lines.back(), "# end of the recording: 0 touch reports");
}

TEST(TactrecordProgram, NoFrameHelpAndBadArguments) {
    FakeFrame fake;
    fake.empty();
    const std::string out = fake.file("out.session");
    auto none = runProcess({builtProgram("tactrecord"), "-o", out}, fake.env());
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("tactrecord: no touch frame (USB vendor 23c9) is attached"),
              std::string::npos)
        << none.err;
    EXPECT_FALSE(tact::test::fileExists(out)) << "an empty session was left behind";

    auto waited =
        runProcess({builtProgram("tactrecord"), "--wait", "--seconds", "0.1"}, fake.env());
    EXPECT_EQ(waited.exitCode, 1);
    EXPECT_NE(waited.err.find("waiting for a touch frame"), std::string::npos) << waited.err;
    EXPECT_NE(waited.err.find("nothing was recorded"), std::string::npos) << waited.err;

    auto help = runProcess({builtProgram("tactrecord"), "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: tactrecord [-o FILE] [--seconds N] [--wait]\n"));
    EXPECT_NE(help.out.find("tactagent must\nnot be running"), std::string::npos);

    for (auto args : std::vector<std::vector<std::string>>{
             {"--seconds"}, {"--seconds", "0"}, {"--seconds", "x"}, {"-o"}, {"--nope"}}) {
        args.insert(args.begin(), builtProgram("tactrecord"));
        auto bad = runProcess(args);
        EXPECT_EQ(bad.exitCode, 2) << args[1];
        EXPECT_NE(bad.err.find("Usage: tactrecord"), std::string::npos);
    }
}

}  // namespace
