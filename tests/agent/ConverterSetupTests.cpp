#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "platform/log/SystemLog.hpp"
#include "tests/agent/ConverterFixture.hpp"

using namespace tact;
using tact::test::ConverterFixture;

namespace {

platform::String S(const char* s) {
    return platform::String(s);
}

std::vector<std::string> keysOf(const platform::Dictionary& d) {
    std::vector<std::string> keys;
    for (const auto& [k, v] : d)
        keys.push_back(k.toUtf8Lossy());
    return keys;
}

}  // namespace

using ConverterSetupTest = ConverterFixture;

TEST_F(ConverterSetupTest, DefaultsWithoutPreferences) {
    auto& c = makeConverter();
    EXPECT_EQ(c.inchSize(), 32);
    EXPECT_DOUBLE_EQ(c.gestureMoveThreshold, 0.02157894736842105);
    EXPECT_EQ(c.gestureZoomThreshold, 0.004000000189989805);
    EXPECT_EQ(c.gestureRotateThreshold, 0.03999999910593033);
    EXPECT_EQ(c.cursorMoveThreshold, 0.02);
    EXPECT_EQ(c.timerClickDuration, 0.2);
    EXPECT_EQ(c.timerSecondClickPendingDuration, 0.30000000000000004);
    EXPECT_EQ(c.timerMomentumPendingDuration, 0.1);
    EXPECT_FALSE(c.isCalibrated);
    EXPECT_EQ(c.dictZyvStateContext.string(kStateCurrent), "stateIdle");
    EXPECT_EQ(c.dictZyvStateContext.number(kStateTimestamp), 0.0);
    EXPECT_EQ(c.dictZyvStateContext.number(kTimerThirdClickPendingDuration), 0.30000000000000004);
    EXPECT_EQ(c._logger.getLogTypeMask(), 0x22);
    EXPECT_EQ(c.screenRect, (platform::Rect{0, 0, 1920, 1080}));
}

TEST_F(ConverterSetupTest, MovementThresholdFollowsLevelAndInchSize) {
    struct Case {
        std::optional<double> level;
        std::int64_t inches;
        double move;
        double zoom;
    };
    const Case cases[] = {
        {10.0, 32, 0.02052631633944417, 0.004000000189989805},
        {20.0, 32, 0.010000000049997317, 0.004000000189989805},
        {1.0, 32, 0.03000000099994634, 0.004000000189989805},
        {30.0, 32, 0.02157894736842105, 0.004000000189989805},  // out of range: the default
        {std::nullopt, 24, 0.025789474186144377, 0.005333333745598801},
    };
    for (const auto& k : cases) {
        if (k.level)
            storePreference(kZyvTouchGestureMoveThreshold, *k.level);
        storePreference(kZyvTouchInchSize, k.inches);
        auto& c = makeConverter();
        EXPECT_DOUBLE_EQ(c.gestureMoveThreshold, k.move) << k.inches;
        EXPECT_DOUBLE_EQ(c.gestureZoomThreshold, k.zoom) << k.inches;
        platform::CFPreferencesSetAppValue(S("GestureMoveThreshold"), std::nullopt,
                                           S("com.vostrabaxworks.Tactagent"));
    }
}

TEST_F(ConverterSetupTest, ClickLevelsBecomeSeconds) {
    storePreference(kZyvTouchClickDuration, 8.0);
    storePreference(kZyvTouchSuccessiveClickDuration, 12.0);
    auto& c = makeConverter();
    EXPECT_DOUBLE_EQ(c.timerClickDuration, 0.2);
    EXPECT_DOUBLE_EQ(c.timerSecondClickPendingDuration, 0.3);
    EXPECT_DOUBLE_EQ(*c.dictZyvStateContext.number(kTimerDragDuration), 0.2);
}

TEST_F(ConverterSetupTest, WrongTypesCountAsAbsent) {
    storePreference(kZyvTouchClickDuration, "fast");
    storePreference(kZyvTouchSuccessiveClickDuration, true);
    storePreference(kZyvTouchGestureMoveThreshold, platform::Dictionary{{"x", 1}});
    storePreference(kZyvTouchInchSize, "big");
    storePreference(kZyvTouchCoefficients, platform::Array{1, 2});
    auto& c = makeConverter();
    EXPECT_EQ(c.timerClickDuration, 0.2);
    EXPECT_EQ(c.timerSecondClickPendingDuration, 0.30000000000000004);
    EXPECT_DOUBLE_EQ(c.gestureMoveThreshold, 0.02157894736842105);
    EXPECT_EQ(c.inchSize(), 32);
    EXPECT_FALSE(c.isCalibrated);

    // A real inch size is read as a whole number; click levels out of range are refused.
    storePreference(kZyvTouchInchSize, 24.9);
    storePreference(kZyvTouchClickDuration, -4.0);
    storePreference(kZyvTouchSuccessiveClickDuration, 1e9);
    c.resetToStateIdle();
    EXPECT_EQ(c.inchSize(), 24);
    EXPECT_EQ(c.timerClickDuration, 0.2);
    EXPECT_EQ(c.timerSecondClickPendingDuration, 0.30000000000000004);
}

TEST_F(ConverterSetupTest, DegenerateCalibrationIsNoCalibration) {
    const double nan = std::nan("");
    storePreference(kZyvTouchCoefficients, platform::Dictionary{{"CoefficientKX1", nan},
                                                                {"CoefficientKX2", nan},
                                                                {"CoefficientKX3", nan},
                                                                {"CoefficientKY1", 0.03},
                                                                {"CoefficientKY2", 0.0},
                                                                {"CoefficientKY3", 0.0},
                                                                {"CoefficientKWIDTH", 1920.0},
                                                                {"CoefficientKHEIGHT", 1080.0}});
    auto& c = makeConverter();
    EXPECT_FALSE(c.isCalibrated);
    EXPECT_EQ(c.unitSquarePosition(16384, 8192).x, 0.5);
}

TEST_F(ConverterSetupTest, InchSizeThatCannotDivideIsRefused) {
    auto& c = makeConverter();
    ASSERT_TRUE(c.set_inchSize(26));
    for (std::int64_t bad : {0, -3}) {
        storePreference(kZyvTouchInchSize, bad);
        c.resetToStateIdle();
        EXPECT_EQ(c.inchSize(), 26) << bad;
        EXPECT_TRUE(std::isfinite(c.gestureMoveThreshold));
    }
    EXPECT_FALSE(c.set_inchSize(0));  // a diagonal that truncates to 0 from the frame block
    EXPECT_EQ(c.inchSize(), 26);
}

TEST_F(ConverterSetupTest, CoefficientsNeedAllEightKeys) {
    platform::Dictionary coefficients{{"CoefficientKX1", 0.05},     {"CoefficientKX2", 0.0},
                                      {"CoefficientKX3", 10.0},     {"CoefficientKY1", 0.0},
                                      {"CoefficientKY2", 0.03},     {"CoefficientKY3", 20.0},
                                      {"CoefficientKWIDTH", 1280.0}};
    storePreference(kZyvTouchCoefficients, coefficients);
    auto& c = makeConverter();
    EXPECT_FALSE(c.isCalibrated);
    EXPECT_EQ(c.KX1, 0.05);  // read before the missing key
    EXPECT_EQ(c.KWIDTH, 1280.0);
    EXPECT_EQ(c.KHEIGHT, 1080.0);  // the screen's, kept
    auto p = c.unitSquarePosition(16384, 8192);
    EXPECT_EQ(p.x, 0.5);  // uncalibrated transform
    EXPECT_EQ(p.y, 0.25);

    coefficients.set("CoefficientKHEIGHT", 720.0);
    storePreference(kZyvTouchCoefficients, coefficients);
    c.resetToStateIdle();
    EXPECT_TRUE(c.isCalibrated);
    EXPECT_EQ(c.KHEIGHT, 720.0);
}

TEST_F(ConverterSetupTest, InformationReplyEndsAtTheFirstMissingValue) {
    auto& c = makeConverter();
    control({{"NeedSerialNumber", true}});
    ASSERT_EQ(posted.size(), 1u);
    ASSERT_TRUE(posted[0].userInfo);
    EXPECT_EQ(keysOf(*posted[0].userInfo),
              (std::vector<std::string>{"Driver Version", "IsDeviceReady", "SerialNumber"}));
    EXPECT_EQ(*posted[0].userInfo->string(S("SerialNumber")), S("N/A"));
    EXPECT_EQ(posted[0].userInfo->boolean(S("IsDeviceReady")), false);

    // Boot parameters arrived, device information not yet: all eight keys.
    BootParam_ p;
    p.BootLoaderVersion = 0x2C;
    p.ResetType = 0x01;
    c.set_bootparam(p);
    c.set_bootparamStr(p.toCodeUnits());
    control({{"NeedSerialNumber", true}});
    ASSERT_EQ(posted.size(), 2u);
    const auto& full = *posted[1].userInfo;
    EXPECT_EQ(keysOf(full),
              (std::vector<std::string>{"Driver Version", "IsDeviceReady", "SerialNumber",
                                        "BOOTPARAM", "Type", "ShipTime", "ShipDate", "ProductID"}));
    EXPECT_EQ(full.string(S("BOOTPARAM"))->units()[0], 0x012C);
    EXPECT_EQ(full.string(S("BOOTPARAM"))->size(), 8u);
    EXPECT_EQ(full.integer(S("ProductID")), 22118);

    // After a removal the serial number is gone.
    c.set_deviceSerialNumber(std::nullopt);
    control({{"NeedSerialNumber", true}});
    EXPECT_EQ(keysOf(*posted[2].userInfo),
              (std::vector<std::string>{"Driver Version", "IsDeviceReady"}));
}

TEST_F(ConverterSetupTest, ControlFlagsAndReloads) {
    auto& c = makeConverter();
    control({{"calibrateInProgress", true}});
    EXPECT_TRUE(c.calibrateInProgress);

    storePreference(kZyvTouchClickDuration, 4.0);  // written after the converter read them
    c.dictZyvStateContext.set(kStateCurrent, kState1Finger0);
    control({{"calibrateInProgress", false}});
    EXPECT_FALSE(c.calibrateInProgress);
    EXPECT_EQ(c.dictZyvStateContext.string(kStateCurrent), "stateIdle");
    EXPECT_DOUBLE_EQ(c.timerClickDuration, 0.1);

    storePreference(kZyvTouchClickDuration, 12.0);
    control({{"PreferenceReload", false}});
    EXPECT_DOUBLE_EQ(c.timerClickDuration, 0.1);
    control({{"PreferenceReload", true}});
    EXPECT_DOUBLE_EQ(c.timerClickDuration, 0.3);

    control({{"TouchTestMode", true}});
    EXPECT_TRUE(c._bTouchTestMode);
    control({{"TouchTestMode", false}});
    EXPECT_FALSE(c._bTouchTestMode);
}

// The main screen is the monitor "ScreenOutput" names, read on every reload;
// a monitor that changes while the agent runs is taken over without one.
TEST_F(ConverterSetupTest, TheFramesMonitorIsTheMainScreenAndFollowsChanges) {
    using platform::Output;
    using platform::Rect;
    desktop.setOutputs({Output{"DP-1", Rect{0, 0, 1920, 1080}, true},
                        Output{"HDMI-1", Rect{1920, 0, 1280, 1024}, false}});
    storePreference(kZyvTouchScreenOutput, platform::String("HDMI-1"));
    auto& c = makeConverter();
    EXPECT_EQ(c.screenRect, (Rect{1920, 0, 1280, 1024}));

    desktop.setOutputs({Output{"DP-1", Rect{0, 0, 1920, 1080}, true},
                        Output{"HDMI-1", Rect{-1600, 0, 1600, 900}, false}});
    EXPECT_EQ(c.screenRect, (Rect{-1600, 0, 1600, 900}));
    desktop.setOutputs({Output{"DP-1", Rect{0, 0, 1920, 1080}, true}});
    EXPECT_EQ(c.screenRect, (Rect{0, 0, 1920, 1080})) << "unplugged: the primary serves";

    storePreference(kZyvTouchScreenOutput, platform::String(""));
    desktop.setOutputs({Output{"DP-1", Rect{0, 0, 1920, 1080}, false},
                        Output{"HDMI-1", Rect{1920, 0, 1280, 1024}, true}});
    control({{"PreferenceReload", true}});
    EXPECT_EQ(c.screenRect, (Rect{1920, 0, 1280, 1024})) << "no name: the primary";
    storePreference(kZyvTouchScreenOutput, 7.0);
    control({{"PreferenceReload", true}});
    EXPECT_EQ(c.screenRect, (Rect{1920, 0, 1280, 1024})) << "a number is no name";
}

TEST_F(ConverterSetupTest, HostileControlValuesChangeNothing) {
    auto& c = makeConverter();
    testing::internal::CaptureStderr();
    control({{"calibrateInProgress", "yes"},
             {"TouchTestMode", platform::Dictionary{{"a", 1}}},
             {"LogTrigger", 1e300},
             {"PreferenceReload", platform::Array{}}});
    control({{"calibrateInProgress", 1e300},
             {"TouchTestMode", platform::Data{1, 2}},
             {"LogTrigger", std::int64_t{1} << 40}});
    control({{"LogTrigger", true}, {"LogURL", platform::Array{S("/tmp/x.log")}}});
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(c.calibrateInProgress);
    EXPECT_FALSE(c._bTouchTestMode);
    EXPECT_EQ(c._logger.getLogTypeMask(), 0x22);
    EXPECT_FALSE(c._logger.hasLogFile());
    for (const char* expected :
         {"control calibrateInProgress ignored: unexpected string",
          "control TouchTestMode ignored: unexpected dictionary",
          "control LogTrigger ignored: unexpected real", "control PreferenceReload ignored",
          "control calibrateInProgress ignored: unexpected real",
          "control TouchTestMode ignored: unexpected data",
          "control LogTrigger ignored: unexpected integer", "control LogURL ignored"}) {
        EXPECT_NE(log.find(expected), std::string::npos) << expected << "\n" << log;
    }
    notifications->post(S("QuenralMultiTouch Preference Notification"),
                        S("com.quenraltouch.multiTouchPrefsPaneTarget"), std::nullopt);
    loop.run();
    EXPECT_TRUE(posted.empty());
}

TEST_F(ConverterSetupTest, LogTriggerOpensTheFileAndSetsTheMask) {
    auto& c = makeConverter();
    auto path = prefsDir.file("agent.log");
    tact::test::writeFile(path, "");
    control({{"LogTrigger", true}, {"LogURL", path}});
    EXPECT_EQ(c._logger.getLogTypeMask(), 1);
    EXPECT_EQ(tact::test::readFile(path), "");  // mask 1: no header

    control({{"LogTrigger", 5}, {"LogURL", path}});  // 0x04 writes the header
    auto header = tact::test::readFile(path);
    EXPECT_NE(header.find("Serial Number: N/A, Type:N/A"), std::string::npos) << header;
    EXPECT_NE(header.find("Caliberated:0"), std::string::npos);
    EXPECT_NE(header.find("Preferences:gesture:0.021579, click:0.200000, second click:0.300000"),
              std::string::npos);

    control({{"LogTrigger", false}});  // no path: the file stays, the mask goes to 0
    EXPECT_EQ(c._logger.getLogTypeMask(), 0);
    EXPECT_TRUE(c._logger.hasLogFile());
    c._logger.setLogFile(prefsDir.file("missing.log"));  // back to the system log for the others
}

TEST_F(ConverterSetupTest, FollowsTheActiveApplication) {
    auto& c = makeConverter();
    desktop.activateApplication("com.apple.Preview");
    EXPECT_EQ(c._activeApplicationBundleId, "com.apple.Preview");
}

// Another program may leave the preference file in any state: every key of
// the wrong type, or cut off in the middle of its write. The agent then runs
// on its defaults, says why, and never touches the file.
TEST_F(ConverterSetupTest, HostilePreferenceFilesLeaveDefaultsAndTheFileAlone) {
    const std::string path = platform::preferencesPath(platform::String(kZyvTouchSetting));
    auto expectDefaults = [](ZyvTouchConverter& c) {
        EXPECT_EQ(c.inchSize(), 32);
        EXPECT_EQ(c.timerClickDuration, 0.2);
        EXPECT_EQ(c.timerSecondClickPendingDuration, 0.30000000000000004);
        EXPECT_DOUBLE_EQ(c.gestureMoveThreshold, 0.02157894736842105);
        EXPECT_FALSE(c.isCalibrated);
    };
    auto plist = [](const std::string& body) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" +
               body + "</dict>\n</plist>\n";
    };
    const std::string wrongTypes[] = {
        plist("<key>ClickDuration</key><string>8</string>\n"
              "<key>SuccessiveClickDuration</key><array><integer>12</integer></array>\n"
              "<key>GestureMoveThreshold</key><dict><key>level</key><real>10</real></dict>\n"
              "<key>InchSize</key><data>AAAA</data>\n"
              "<key>Coefficients</key><array/>\n"
              "<key>LogFile</key><integer>3</integer>\n"
              "<key>LogStart</key><string>yes</string>\n"
              "<key>SwipeActionUp</key><real>1</real>\n"
              "<key>4FingersSwipeActionLeft</key><dict/>\n"),
        plist("<key>ClickDuration</key><true/>\n"
              "<key>SuccessiveClickDuration</key><integer>999999999999</integer>\n"
              "<key>GestureMoveThreshold</key><string>fast</string>\n"
              "<key>InchSize</key><real>-24</real>\n"
              "<key>Coefficients</key><dict><key>CoefficientKX1</key><string>1</string>"
              "<key>CoefficientKWIDTH</key><true/></dict>\n"),
    };
    // Every warning is written here: a second passes between log entries.
    platform::setSystemLogClock([t = std::uint64_t{0}]() mutable { return t += 2'000'000'000; });
    for (const auto& content : wrongTypes) {
        tact::test::writeFile(path, content);
        testing::internal::CaptureStderr();
        auto& c = makeConverter();
        control({{"PreferenceReload", true}});
        const std::string log = testing::internal::GetCapturedStderr();
        expectDefaults(c);
        EXPECT_NE(log.find("preference ClickDuration ignored"), std::string::npos) << log;
        EXPECT_NE(log.find("preference InchSize"), std::string::npos) << log;
        EXPECT_EQ(tact::test::readFile(path), content);
    }

    // A file cut off mid-write: defaults until the writer finishes, then its values.
    std::remove(path.c_str());
    storePreference(kZyvTouchInchSize, 24);
    storePreference(kZyvTouchClickDuration, 4.0);
    const std::string whole = tact::test::readFile(path);
    const std::string cut = whole.substr(0, whole.size() / 2);
    tact::test::writeFile(path, cut);
    auto& c = makeConverter();
    expectDefaults(c);
    control({{"PreferenceReload", true}});
    expectDefaults(c);
    EXPECT_EQ(tact::test::readFile(path), cut);
    EXPECT_FALSE(tact::test::fileExists(path + ".corrupt"));

    tact::test::writeFile(path, whole);
    control({{"PreferenceReload", true}});
    EXPECT_EQ(c.inchSize(), 24);
    EXPECT_DOUBLE_EQ(c.timerClickDuration, 0.1);
}
