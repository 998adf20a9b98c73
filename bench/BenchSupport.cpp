#include "bench/BenchSupport.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "agent/converter/StateContext.hpp"
#include "platform/prefs/Preferences.hpp"

namespace tact::bench {

using platform::hid::VirtualFrame;
using platform::hid::VirtualFrameConfig;

TempFolder::TempFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tactbench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "tact_benchmarks: cannot make a temporary folder\n");
        std::exit(1);
    }
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

QuietStdout::QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && null >= 0)
        dup2(null, STDOUT_FILENO);
    if (null >= 0)
        close(null);
}

QuietStdout::~QuietStdout() {
    std::fflush(stdout);
    if (saved_ >= 0) {
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
}

VirtualFrameConfig frameConfig(VirtualFrame::RecordLayout layout) {
    VirtualFrameConfig config;  // bootloader 40, Flags 0xA0: split 10-byte records
    switch (layout) {
        case VirtualFrame::RecordLayout::TenByteSplit:
            break;
        case VirtualFrame::RecordLayout::TenByte:
            config.bootparam[0] = 30;
            config.bootparam[15] = 0x60;  // at most six contacts
            break;
        case VirtualFrame::RecordLayout::SixByte:
            config.bootparam[0] = 30;
            config.bootparam[15] = 0xA0;  // ten contacts
            break;
    }
    return config;
}

const char* layoutName(VirtualFrame::RecordLayout layout) {
    switch (layout) {
        case VirtualFrame::RecordLayout::TenByteSplit:
            return "TenByteSplit";
        case VirtualFrame::RecordLayout::TenByte:
            return "TenByte";
        case VirtualFrame::RecordLayout::SixByte:
            return "SixByte";
    }
    return "?";
}

namespace {

Sample encode(const VirtualFrame& frame, const std::vector<VirtualFrame::Contact>& contacts) {
    Sample reports;
    std::string error;
    if (!frame.encodeTouches(contacts, &reports, &error)) {
        std::fprintf(stderr, "tact_benchmarks: cannot encode a sample: %s\n", error.c_str());
        std::exit(1);
    }
    return reports;
}

}  // namespace

Script makeScript(const VirtualFrameConfig& config, int fingers) {
    const VirtualFrame frame(config);
    // Fingers side by side, 2400 device units apart (the frame is 0..32767).
    auto contacts = [&](int dx, int dy) {
        std::vector<VirtualFrame::Contact> out;
        for (int i = 0; i < fingers; ++i) {
            VirtualFrame::Contact c;
            c.id = static_cast<std::uint8_t>(i + 1);
            c.x = static_cast<std::uint16_t>(5000 + 2400 * i + dx);
            c.y = static_cast<std::uint16_t>(8000 + dy);
            out.push_back(c);
        }
        return out;
    };

    Script script;
    int startY = 0;
    script.warmup.push_back(encode(frame, contacts(0, 0)));
    if (fingers == 2) {
        // A quick move down starts a scroll.
        for (int i = 1; i <= 8; ++i)
            script.warmup.push_back(encode(frame, contacts(0, 1200 * i)));
        startY = 1200 * 8;
    }
    // Then steps one way and as many back, so that every finger moves with
    // every sample: one finger diagonally by 40 units (a drag of the pointer),
    // two fingers down and up by 720 units, just past the gesture move
    // threshold at the default settings (about 708 units), so that every
    // sample posts a scroll event; more fingers down and up by 40 units.
    const int steps = fingers == 2 ? 16 : 64;
    const int step = fingers == 2 ? 720 : 40;
    for (int k = 1; k <= 2 * steps; ++k) {
        const int offset = (k <= steps ? k : 2 * steps - k) * step;
        script.loop.push_back(encode(frame, contacts(fingers == 1 ? offset : 0, startY + offset)));
    }
    return script;
}

ConverterRig::ConverterRig(const VirtualFrameConfig& frame)
    : loop_(kEpoch),
      notifications_(platform::makeLocalNotificationCenter(loop_)),
      environment_{loop_, *notifications_, desktop_} {
    platform::setPreferencesDirectory(prefs_.path());
    platform::setMainRunLoop(&loop_);
    platform::events::setEventSink(&sink_);
    platform::events::setPointerLocation({0, 0});
    converter_ = std::make_unique<ZyvTouchConverter>(environment_);
    converter_->_logger.setLogTypeMask(0);
    std::array<std::uint8_t, BootParam_::kSize> bootparam = frame.bootparam;
    converter_->set_bootparam(BootParam_::fromBytes(bootparam));
}

ConverterRig::~ConverterRig() {
    converter_.reset();
    platform::events::setEventSink(nullptr);
    platform::setMainRunLoop(nullptr);
}

std::string ConverterRig::state() const {
    return converter_->dictZyvStateContext.string(kStateCurrent);
}

}  // namespace tact::bench
