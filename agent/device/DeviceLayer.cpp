// HID managers for the touch interface and the debug interface, and the
// callbacks that follow frames as they come and go.
#include "agent/device/DeviceLayer.hpp"

#include <cstdarg>
#include <cstdio>

#include "agent/converter/ZyvTouchConverter.hpp"
#include "agent/logger/ZyvtouchLogger.hpp"
#include "common/Notifications.hpp"
#include "platform/events/Events.hpp"
#include "platform/runloop/RunLoop.hpp"

namespace tact {

using namespace platform::hid;

namespace {

constexpr const char* kSigRegister = "BOOL registerDeivceNotify()";
constexpr const char* kSigRegisterDebug = "BOOL registerDebugDeivceNotify()";
constexpr const char* kSigMatch =
    "void myDeviceMatchingCallback(void *, IOReturn, void *, IOHIDDeviceRef)";
constexpr const char* kSigRemove =
    "void myDeviceRemoveCallback(void *, IOReturn, void *, IOHIDDeviceRef)";
constexpr const char* kSigDebugMatch =
    "void myDebugDeviceMatchingCallback(void *, IOReturn, void *, IOHIDDeviceRef)";
constexpr const char* kSigDebugRemove =
    "void myDebugDeviceRemoveCallback(void *, IOReturn, void *, IOHIDDeviceRef)";

// Device-layer diagnostics go to standard error, one per line.
void diagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));
void diagnostic(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

unsigned hex(IOReturn r) {
    return static_cast<unsigned>(r);
}

std::int64_t integerProperty(const IOHIDDeviceRef& device, const char* key) {
    auto v = IOHIDDeviceGetProperty(device, platform::String(key));
    return v && v->asInteger() ? *v->asInteger() : 0;
}

// Report buffers are sized from the device; keep them sane whatever it says.
std::int32_t bufferSize(std::int64_t reported) {
    if (reported < 1)
        return 64;
    return static_cast<std::int32_t>(std::min<std::int64_t>(reported, 4096));
}

// Stops listening to a device we no longer use and takes our open off it.
void letGo(const IOHIDDeviceRef& device) {
    IOHIDDeviceRegisterInputReportCallback(device, nullptr, 0, nullptr, nullptr);
    IOHIDDeviceClose(device, kIOHIDOptionsTypeNone);
}

bool registerManager(IOHIDManagerRef& slot, const char* signature, std::uint32_t usagePage,
                     std::uint32_t usage, bool debugPort, IOHIDDeviceCallback matched,
                     IOHIDDeviceCallback removed) {
    IOHIDManagerRef manager = IOHIDManagerCreate(kIOHIDOptionsTypeNone);
    if (!manager) {
        std::fprintf(stderr, "%s :IOHIDManagerCreate return invalid reference\n", signature);
        return false;
    }
    platform::Dictionary matching;
    if (auto pair = hu_CreateDeviceMatchingDictionary(usagePage, usage)) {
        matching.set("DeviceUsagePairs", platform::Array{std::move(*pair)});
    } else {
        diagnostic("%s: hu_CreateDeviceMatchingDictionary(joystick) failed.", signature);
    }
    matching.set("VendorID", static_cast<std::int64_t>(frame::kVendorID));
    if (debugPort)
        matching.set("MaxFeatureReportSize", frame::kDebugFeatureReportSize);
    IOHIDManagerSetDeviceMatching(manager, matching);
    IOHIDManagerRegisterDeviceMatchingCallback(manager, matched, nullptr);
    IOHIDManagerRegisterDeviceRemovalCallback(manager, removed, nullptr);
    IOHIDManagerScheduleWithRunLoop(manager, platform::mainRunLoop());
    IOReturn r = IOHIDManagerOpen(manager, kIOHIDOptionsTypeSeizeDevice);
    if (r != kIOReturnSuccess) {
        IOHIDManagerUnscheduleFromRunLoop(manager);
        if (debugPort) {
            diagnostic("%s :IOHIDManagerOpen debug device returns error 0x%x.", signature, hex(r));
        } else {
            diagnostic("%s :IOHIDManagerOpen returns error 0x%x.", signature, hex(r));
        }
        return false;
    }
    slot = std::move(manager);
    return true;
}

}  // namespace

DeviceLayerState& deviceLayer() {
    static DeviceLayerState state;
    return state;
}

void resetDeviceLayer() {
    auto& s = deviceLayer();
    if (s.zyvtouchRef)
        letGo(s.zyvtouchRef);
    if (s.debugDevRef && s.debugDevRef != s.zyvtouchRef)
        letGo(s.debugDevRef);
    for (auto* manager : {&s.hidManager, &s.hidManager_debugport}) {
        if (*manager) {
            IOHIDManagerClose(*manager, kIOHIDOptionsTypeNone);
            IOHIDManagerUnscheduleFromRunLoop(*manager);
        }
    }
    s = DeviceLayerState{};
}

std::optional<platform::Dictionary> hu_CreateDeviceMatchingDictionary(std::uint32_t usagePage,
                                                                      std::uint32_t usage) {
    platform::Dictionary d;
    if (usagePage != 0) {
        d.set("DeviceUsagePage", static_cast<std::int64_t>(usagePage));
        if (usage != 0)
            d.set("DeviceUsage", static_cast<std::int64_t>(usage));
    }
    return d;
}

bool registerDeivceNotify() {
    return registerManager(deviceLayer().hidManager, kSigRegister, frame::kTouchUsagePage,
                           frame::kTouchUsage, false, myDeviceMatchingCallback,
                           myDeviceRemoveCallback);
}

bool registerDebugDeivceNotify() {
    return registerManager(deviceLayer().hidManager_debugport, kSigRegisterDebug,
                           frame::kDebugUsagePage, frame::kDebugUsage, true,
                           myDebugDeviceMatchingCallback, myDebugDeviceRemoveCallback);
}

void myDeviceMatchingCallback(void*, IOReturn, void*, IOHIDDeviceRef device) {
    auto& s = deviceLayer();
    if (!device) {
        diagnostic("%s :HIDDeviceRef is not valid.", kSigMatch);
        return;
    }
    if (IOReturn r = IOHIDDeviceOpen(device, kIOHIDOptionsTypeNone); r != kIOReturnSuccess) {
        diagnostic("%s :IOHIDDeviceOpen returns error 0x%x.", kSigMatch, hex(r));
        return;
    }
    if (!IOHIDDeviceConformsTo(device, frame::kTouchUsagePage, frame::kTouchUsage)) {
        IOHIDDeviceClose(device, kIOHIDOptionsTypeNone);
        diagnostic("%s :unknown device.", kSigMatch);
        return;
    }
    // A newer frame replaces the one we had: stop listening to the old one.
    if (s.zyvtouchRef && s.zyvtouchRef != device)
        letGo(s.zyvtouchRef);
    s.zyvtouchRef = device;
    s.touchInputReportSize = bufferSize(integerProperty(device, "MaxInputReportSize"));
    s.touchInputReport.assign(static_cast<std::size_t>(s.touchInputReportSize), 0);
    IOHIDDeviceRegisterInputReportCallback(device, s.touchInputReport.data(),
                                           s.touchInputReportSize, myTouchInputReportCallback,
                                           nullptr);

    s.ProductID = static_cast<std::uint16_t>(integerProperty(device, "ProductID"));
    developerTrace("product id: 0x%.4X\n", static_cast<unsigned>(s.ProductID));

    if (s.ProductID == frame::kSingleInterfaceProduct) {
        // The debug channel moves here; an older frame's debug interface is let go.
        if (s.debugDevRef && s.debugDevRef != device)
            letGo(s.debugDevRef);
        s.FrameLen = 0;
        s.FrameDone = 0;
        s.debugDevRef = device;
        sendDeviceCommand(frame::kBootParameters, 0, frame::kCommandReportID);
    }

    // The attach-time feature reports are read as the frame expects; their contents are unused.
    std::array<std::uint8_t, 64> feature{};
    for (long id : frame::kAttachFeatureReports) {
        long length = static_cast<long>(feature.size());
        IOHIDDeviceGetReport(device, kIOHIDReportTypeFeature, id, feature.data(), &length);
    }

    ZyvTouchConverter::sharedConverter().resetToStateIdle();
    s.bReady = true;
}

void myDeviceRemoveCallback(void*, IOReturn, void*, IOHIDDeviceRef device) {
    auto& s = deviceLayer();
    if (!device) {
        diagnostic("%s :HIDDeviceRef is not valid.", kSigRemove);
        return;
    }
    s.bReady = false;
    IOHIDDeviceRegisterInputReportCallback(device, nullptr, 0, nullptr, nullptr);
    if (IOReturn r = IOHIDDeviceClose(device, kIOHIDOptionsTypeNone); r != kIOReturnSuccess) {
        diagnostic("%s :IOHIDDeviceClose returns error 0x%x.", kSigRemove, hex(r));
    }
    auto& converter = ZyvTouchConverter::sharedConverter();
    converter.set_deviceIsReady(false);
    converter.set_deviceSerialNumber(std::nullopt);
    if (s.zyvtouchRef == device) {
        s.touchInputReport.clear();
        s.touchInputReportSize = 0;
        s.zyvtouchRef.reset();
    }
    if (s.debugDevRef == device)
        s.debugDevRef.reset();
    converter.environment.notifications.post(platform::String(kZyvTouchEventNotification),
                                             platform::String(kMultiTouchSupportObject),
                                             platform::Dictionary{{kKeyIsDeviceReady, false}});
}

void myDebugDeviceMatchingCallback(void*, IOReturn, void*, IOHIDDeviceRef device) {
    auto& s = deviceLayer();
    if (!device) {
        diagnostic("%s :HIDDeviceRef is not valid.", kSigDebugMatch);
        return;
    }
    if (IOReturn r = IOHIDDeviceOpen(device, kIOHIDOptionsTypeNone); r != kIOReturnSuccess) {
        diagnostic("%s :IOHIDDeviceOpen returns error 0x%x.", kSigDebugMatch, hex(r));
        return;
    }
    if (!IOHIDDeviceConformsTo(device, frame::kDebugUsagePage, frame::kDebugUsage)) {
        IOHIDDeviceClose(device, kIOHIDOptionsTypeNone);
        diagnostic("%s :unknown device.", kSigDebugMatch);
        return;
    }
    if (s.debugDevRef && s.debugDevRef != device && s.debugDevRef != s.zyvtouchRef) {
        letGo(s.debugDevRef);
    }
    s.FrameLen = 0;
    s.FrameDone = 0;
    s.debugDevRef = device;
    s.debugDevInputReportSize = bufferSize(integerProperty(device, "MaxInputReportSize"));
    s.debugDevInputReport.assign(static_cast<std::size_t>(s.debugDevInputReportSize), 0);
    IOHIDDeviceRegisterInputReportCallback(device, s.debugDevInputReport.data(),
                                           s.debugDevInputReportSize, myDebugDevInputReportCallback,
                                           nullptr);
    sendDeviceCommand(frame::kBootParameters, 0, frame::kCommandReportID);
}

void myDebugDeviceRemoveCallback(void*, IOReturn, void*, IOHIDDeviceRef device) {
    auto& s = deviceLayer();
    if (device != s.debugDevRef)
        return;
    if (!device) {
        diagnostic("%s :HIDDeviceRef is not valid.", kSigDebugRemove);
        return;
    }
    IOHIDDeviceRegisterInputReportCallback(device, nullptr, 0, nullptr, nullptr);
    if (IOReturn r = IOHIDDeviceClose(device, kIOHIDOptionsTypeNone); r != kIOReturnSuccess) {
        diagnostic("%s :IOHIDDeviceClose returns error 0x%x.", kSigDebugRemove, hex(r));
    }
    s.debugDevInputReport.clear();
    s.debugDevInputReportSize = 0;
    s.debugDevRef.reset();
}

void myTouchInputReportCallback(void* context, IOReturn result, void* sender, IOHIDReportType type,
                                std::uint32_t reportID, std::uint8_t* report, long reportLength) {
    if (reportID == frame::kTouchReportID) {
        auto& s = deviceLayer();
        if (s.bReady && result == kIOReturnSuccess && report && reportLength > 0) {
            // The events of one report go out together (XTest: one flush to
            // the X server per report).
            platform::events::PostBatch batch;
            ZyvTouchConverter::sharedConverter().submitMTReport(
                std::span<const std::uint8_t>(report, static_cast<std::size_t>(reportLength)));
        }
    } else if (reportID == frame::kResponseReportID) {
        myDebugDevInputReportCallback(context, result, sender, type, reportID, report,
                                      reportLength);
    }
}

}  // namespace tact
