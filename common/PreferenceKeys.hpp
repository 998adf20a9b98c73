// The shared preferences domain and its keys. The pane and the calibrator
// write it (and synchronise before telling the agent to reload); the agent
// reads it whenever it resets.
#pragma once

#include <string_view>

namespace tact {

inline constexpr std::string_view kZyvTouchSetting = "com.vostrabaxworks.Tactagent";

// Calibration: a dictionary holding the eight coefficients below (doubles).
inline constexpr std::string_view kZyvTouchCoefficients = "Coefficients";
inline constexpr std::string_view kZyvTouchCoefficientKX1 = "CoefficientKX1";
inline constexpr std::string_view kZyvTouchCoefficientKX2 = "CoefficientKX2";
inline constexpr std::string_view kZyvTouchCoefficientKX3 = "CoefficientKX3";
inline constexpr std::string_view kZyvTouchCoefficientKY1 = "CoefficientKY1";
inline constexpr std::string_view kZyvTouchCoefficientKY2 = "CoefficientKY2";
inline constexpr std::string_view kZyvTouchCoefficientKY3 = "CoefficientKY3";
inline constexpr std::string_view kZyvTouchCoefficientKWIDTH = "CoefficientKWIDTH";
inline constexpr std::string_view kZyvTouchCoefficientKHEIGHT = "CoefficientKHEIGHT";

// Tuning, written by the pane as level values (doubles).
inline constexpr std::string_view kZyvTouchClickDuration = "ClickDuration";
inline constexpr std::string_view kZyvTouchSuccessiveClickDuration = "SuccessiveClickDuration";
inline constexpr std::string_view kZyvTouchGestureMoveThreshold = "GestureMoveThreshold";
// Whether recognising a two-finger scroll also presses one arrow key against
// its horizontal direction (boolean; absent is NO). On Linux that key moves the
// caret and the selection, so it is off unless asked for.
inline constexpr std::string_view kZyvTouchScrollArrowKey = "ScrollArrowKey";
// The output (monitor) the frame covers, by name ("HDMI-1"; a string). Absent
// or empty: the primary output, else the first. The agent, the calibrator
// and the painter use it; the settings write it.
inline constexpr std::string_view kZyvTouchScreenOutput = "ScreenOutput";
// Screen diagonal in inches (integer); nobody writes it, the agent reads it.
inline constexpr std::string_view kZyvTouchInchSize = "InchSize";

// The pane's own keys: the chosen log file and the logging check box.
inline constexpr std::string_view kZyvTouchLogFile = "LogFile";
inline constexpr std::string_view kZyvTouchLogStart = "LogStart";

// Reserved: a per-direction swipe action. Nothing writes or reads them; the
// swipe actions are fixed.
inline constexpr std::string_view kZyvTouchSwipeActionUp = "SwipeActionUp";
inline constexpr std::string_view kZyvTouchSwipeActionDown = "SwipeActionDown";
inline constexpr std::string_view kZyvTouchSwipeActionLeft = "SwipeActionLeft";
inline constexpr std::string_view kZyvTouchSwipeActionRight = "SwipeActionRight";
inline constexpr std::string_view kZyvTouch4FingersSwipeActionUp = "4FingersSwipeActionUp";
inline constexpr std::string_view kZyvTouch4FingersSwipeActionDown = "4FingersSwipeActionDown";
inline constexpr std::string_view kZyvTouch4FingersSwipeActionLeft = "4FingersSwipeActionLeft";
inline constexpr std::string_view kZyvTouch4FingersSwipeActionRight = "4FingersSwipeActionRight";

// Reset values the pane writes, and the agent's defaults when a key is absent.
inline constexpr double kResetClickDurationLevel = 8.0;
inline constexpr double kResetSuccessiveClickDurationLevel = 12.0;
inline constexpr double kResetGestureMoveThresholdLevel = 10.0;
inline constexpr bool kResetScrollArrowKey = false;
inline constexpr int kDefaultInchSize = 32;

}  // namespace tact
