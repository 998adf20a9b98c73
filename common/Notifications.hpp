// The notifications the four programs exchange: names, object strings and
// user-information keys. The agent, the calibrator, the painter and the pane
// all use these constants; none of them spells a name on its own.
#pragma once

#include <string_view>

namespace tact {

// Agent -> pane and calibrator: started, device information, removal,
// information reply, calibration taps.
inline constexpr std::string_view kZyvTouchEventNotification = "ZYVTouch Event";
// Agent -> painter: one raw touch report while touch test mode is on.
inline constexpr std::string_view kMTouchReportNotification = "MTouch Report";
// Object string of both agent notifications.
inline constexpr std::string_view kMultiTouchSupportObject = "com.multiTouchSupportObj";

// Pane, calibrator and painter -> agent.
inline constexpr std::string_view kControlNotification =
    "QuenralMultiTouch Preference Notification";
inline constexpr std::string_view kControlObject = "com.quenraltouch.multiTouchPrefsPaneTarget";

// Agent notification keys.
inline constexpr std::string_view kKeyDriverVersion = "Driver Version";
inline constexpr std::string_view kKeyIsDeviceReady = "IsDeviceReady";
inline constexpr std::string_view kKeySerialNumber = "SerialNumber";
inline constexpr std::string_view kKeyBootParam = "BOOTPARAM";
inline constexpr std::string_view kKeyType = "Type";
inline constexpr std::string_view kKeyShipTime = "ShipTime";
inline constexpr std::string_view kKeyShipDate = "ShipDate";
inline constexpr std::string_view kKeyProductID = "ProductID";
inline constexpr std::string_view kKeyTapLocation = "TapLocation";
inline constexpr std::string_view kKeyActiveTouchCount = "ActiveTouchCount";

// The agent's version text and the values it reports before a frame is known.
inline constexpr std::string_view kDriverVersion = "2.0";
inline constexpr std::string_view kNotAvailable = "N/A";
inline constexpr int kDefaultProductID = 22118;

// Report notification keys. The per-contact keys are formats applied to the
// contact's decimal index ("%i_x" -> "0_x").
inline constexpr std::string_view kKeyActualCount = "ActualCount";
inline constexpr std::string_view kKeyFormatFingerID = "%i_FingerID";
inline constexpr std::string_view kKeyFormatX = "%i_x";
inline constexpr std::string_view kKeyFormatY = "%i_y";
inline constexpr std::string_view kKeyFormatWidth = "%i_Width";
inline constexpr std::string_view kKeyFormatHeight = "%i_Height";

// Control notification keys.
inline constexpr std::string_view kKeyNeedSerialNumber = "NeedSerialNumber";
inline constexpr std::string_view kKeyLogTrigger = "LogTrigger";
inline constexpr std::string_view kKeyLogURL = "LogURL";
inline constexpr std::string_view kKeyPreferenceReload = "PreferenceReload";
inline constexpr std::string_view kKeyCalibrateInProgress = "calibrateInProgress";
inline constexpr std::string_view kKeyTouchTestMode = "TouchTestMode";

}  // namespace tact
