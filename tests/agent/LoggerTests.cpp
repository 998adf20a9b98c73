#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "agent/logger/ZyvtouchLogger.hpp"
#include "common/PreferenceKeys.hpp"
#include "platform/log/SystemLog.hpp"
#include "platform/prefs/Preferences.hpp"
#include "tests/agent/ScopedLogLevel.hpp"
#include "tests/support/LoggedLines.hpp"
#include "tests/support/TempDir.hpp"

using tact::ZyvtouchLogger;
using tact::test::LoggedLines;
using tact::test::readFile;
using tact::test::ScopedLogLevel;
using tact::test::TempDir;
using tact::test::writeFile;

namespace {

// A file for the log, holding content, in a folder of its own.
struct LogFile {
    explicit LogFile(const std::string& content = "") { writeFile(path, content); }
    std::string read() const { return readFile(path); }
    TempDir dir;
    const std::string path = dir.file("log.txt");
};

}  // namespace

TEST(LoggerTest, MaskSelectsCategories) {
    ScopedLogLevel debug(platform::LogLevel::Debug);  // where lines go without a file
    ZyvtouchLogger logger;
    EXPECT_EQ(logger.getLogTypeMask(), 0);  // a new logger writes nothing
    logger.setLogTypeMask(tact::kLogStartupMask);
    LoggedLines log(logger);
    logger.logf(tact::kLogGestures, "gesture %d\n", 1);
    logger.logf(tact::kLogReports, "header\n");
    logger.logf(tact::kLogOutOfRange, "range\n");
    EXPECT_EQ(log.text(), "gesture 1\n");

    logger.setLogTypeMask(1);  // what the pane's switch sets
    log.entries.clear();
    logger.logf(tact::kLogOutOfRange, "invalid coordinate x:%f, touchX:%d", 1.5, 40000);
    for (int category : {0x02, 0x04, 0x08, 0x10, 0x20})
        logger.logf(category, "other");
    EXPECT_EQ(log.text(), "invalid coordinate x:1.500000, touchX:40000\n");

    logger.setLogTypeMask(0);
    log.entries.clear();
    logger.logf(0x3F, "nothing");
    EXPECT_EQ(log.text(), "");
}

// Without a file the log is a debug entry of the system log, so at the default
// level nothing is formatted or written; a chosen file gets every line.
TEST(LoggerTest, WithoutAFileOnlyTheDebugLevelGetsLines) {
    struct Case {
        platform::LogLevel level;
        bool withFile;
        bool enabled;
        const char* systemLog;  // what the system log gets, as debug entries
    };
    const Case cases[] = {
        {platform::LogLevel::Info, false, false, ""},
        {platform::LogLevel::Debug, false, true, "step 1\n"},
        {platform::LogLevel::Info, true, true, ""},
        {platform::LogLevel::Error, true, true, ""},
    };
    for (const Case& k : cases) {
        LogFile file;
        ZyvtouchLogger logger;
        logger.setLogTypeMask(tact::kLogStartupMask);
        if (k.withFile)
            logger.setLogFile(file.path);
        ScopedLogLevel level(k.level);
        EXPECT_EQ(logger.isEnabled(tact::kLogGestures), k.enabled);
        EXPECT_FALSE(logger.isEnabled(tact::kLogTouches));  // the mask still decides first
        LoggedLines log(logger);
        logger.logf(tact::kLogGestures, "step %d\n", 1);
        EXPECT_EQ(log.text(), k.systemLog);
        for (const auto& entry : log.entries)
            EXPECT_EQ(entry.level, platform::LogLevel::Debug);
        EXPECT_EQ(file.read(), k.withFile ? "step 1\n" : "");
    }
}

TEST(LoggerTest, FileIsOverwrittenFromItsStartNotTruncated) {
    LogFile file("abcdef");
    ZyvtouchLogger logger;
    logger.setLogFile(file.path);
    logger.writeLog("XY");
    EXPECT_EQ(file.read(), "XYcdef");

    logger.writeLog("Z");  // messages run on at the current position
    EXPECT_EQ(file.read(), "XYZdef");

    logger.setLogFile(file.path);  // the same path again starts over at the beginning
    logger.writeLog("1");
    EXPECT_EQ(file.read(), "1YZdef");
}

TEST(LoggerTest, NoPathKeepsTheOpenFile) {
    LogFile file;
    ZyvtouchLogger logger;
    logger.setLogFile(file.path);
    logger.setLogFile(std::nullopt);  // a trigger without a path
    LoggedLines log(logger);
    logger.writeLog("still here\n");
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(file.read(), "still here\n");
}

TEST(LoggerTest, UnopenablePathsFallBackToTheSystemLog) {
    ScopedLogLevel debug(platform::LogLevel::Debug);  // where lines go without a file
    TempDir dir;
    auto existing = dir.file("log.txt");
    writeFile(existing, "old");
    mkfifo(dir.file("fifo").c_str(), 0600);
    for (const std::string& bad : {dir.file("missing.txt"), dir.path(), dir.file("fifo")}) {
        ZyvtouchLogger logger;
        LoggedLines log(logger);
        logger.setLogFile(existing);
        logger.setLogFile(bad);  // closes the old file, then fails to open
        EXPECT_FALSE(logger.hasLogFile()) << bad;
        EXPECT_EQ(log.entries.size(), 1u) << log.text();  // why, in one entry
        logger.writeLog("to the system log");
        ASSERT_FALSE(log.entries.empty()) << bad;
        EXPECT_EQ(log.entries.back().message, "to the system log") << bad;
    }
    EXPECT_FALSE(tact::test::fileExists(dir.file("missing.txt")));  // never created
    EXPECT_EQ(readFile(existing), "old");
}

// Whatever name it is reached by, a link or the agent's own settings file is
// never written over: each is refused with one warning and no file is open.
TEST(LoggerTest, LinksAndTheSettingsFilesAreRefused) {
    TempDir dir;
    const std::string previousPrefs = platform::preferencesDirectory();
    platform::setPreferencesDirectory(dir.path());
    const std::string settings =
        platform::preferencesPath(platform::String(tact::kZyvTouchSetting));
    const std::string lock = settings + ".lock";
    const std::string other = dir.file("other.txt");
    writeFile(settings, "<plist/>");
    writeFile(lock, "");
    writeFile(other, "keep");
    ASSERT_EQ(symlink(other.c_str(), dir.file("to-other").c_str()), 0);
    ASSERT_EQ(symlink(settings.c_str(), dir.file("to-settings").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()), 0);
    ASSERT_EQ(link(settings.c_str(), dir.file("hard-settings").c_str()), 0);
    ASSERT_EQ(link(lock.c_str(), dir.file("hard-lock").c_str()), 0);
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);

    struct Case {
        std::string path;
        const char* why;
    };
    const Case cases[] = {
        {dir.file("to-other"), "a symbolic link"},
        {dir.file("to-settings"), "a symbolic link"},
        {dir.file("dangling"), "a symbolic link"},
        {settings, "the settings file"},
        {lock, "the settings file"},
        {dir.path() + "/./" + std::string(tact::kZyvTouchSetting) + ".plist", "the settings file"},
        {dir.file("hard-settings"), "the settings file"},
        {dir.file("hard-lock"), "the settings file"},
        {dir.file("folder"), "not a regular file"},
        {dir.file("fifo"), "not a regular file"},
    };
    for (const Case& k : cases) {
        auto good = dir.file("good.log");
        writeFile(good, "");
        ZyvtouchLogger logger;
        logger.setLogFile(good);
        ASSERT_TRUE(logger.hasLogFile());
        LoggedLines log(logger);
        logger.setLogFile(k.path);
        EXPECT_FALSE(logger.hasLogFile()) << k.path;
        ASSERT_EQ(log.entries.size(), 1u) << log.text();
        EXPECT_EQ(log.entries[0].level, platform::LogLevel::Warning);
        EXPECT_TRUE(log.entries[0].message.starts_with("log file " + k.path + " refused: "))
            << log.text();
        EXPECT_NE(log.entries[0].message.find(k.why), std::string::npos) << log.text();
        logger.writeLog("LOG");
    }
    EXPECT_EQ(readFile(settings), "<plist/>");
    EXPECT_EQ(readFile(lock), "");
    EXPECT_EQ(readFile(other), "keep");
    EXPECT_EQ(readFile(dir.file("good.log")), "");
    EXPECT_FALSE(tact::test::fileExists(dir.file("nowhere")));

    // A plain file in the same folder is still taken.
    ZyvtouchLogger logger;
    logger.setLogFile(other);
    logger.writeLog("LOG");
    EXPECT_EQ(readFile(other), "LOGp");
    platform::setPreferencesDirectory(previousPrefs);
}

TEST(LoggerTest, NonAsciiIsDroppedOnlyWhileAFileIsOpen) {
    ScopedLogLevel debug(platform::LogLevel::Debug);      // where lines go without a file
    const std::string summary = "touches\xEF\xBC\x8C 2";  // holds a full-width comma
    ZyvtouchLogger logger;
    LoggedLines log(logger);
    logger.writeLog(summary);
    EXPECT_EQ(log.text(), summary + "\n");

    LogFile file;
    logger.setLogFile(file.path);
    log.entries.clear();
    logger.writeLog(summary);
    logger.writeLog("ascii");
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(file.read(), "ascii");
}

TEST(LoggerTest, LongMessagesAreFormattedWhole) {
    LogFile file;
    ZyvtouchLogger logger;
    logger.setLogFile(file.path);
    logger.setLogTypeMask(tact::kLogReports);
    std::string big(3000, 'r');
    logger.logf(tact::kLogReports, "%s|%d", big.c_str(), 7);
    EXPECT_EQ(file.read(), big + "|7");
}

TEST(LoggerTest, SharedLoggerIsOneInstanceAcrossThreads) {
    std::vector<ZyvtouchLogger*> seen(8);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&seen, i] { seen[i] = &ZyvtouchLogger::shared(); });
    }
    for (auto& t : threads)
        t.join();
    for (auto* p : seen)
        EXPECT_EQ(p, seen[0]);
    EXPECT_EQ(&ZyvtouchLogger::shared(), seen[0]);
}

TEST(UptimeTest, NeverDecreasesAndCountsNanoseconds) {
    std::uint64_t previous = tact::tl_uptime();
    for (int i = 0; i < 10000; ++i) {
        std::uint64_t now = tact::tl_uptime();
        ASSERT_GE(now, previous);
        previous = now;
    }
    std::uint64_t before = tact::tl_uptime();
    usleep(20000);
    EXPECT_GE(tact::tl_uptime() - before, 20'000'000u);
}
