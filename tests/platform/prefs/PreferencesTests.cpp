// The preferences store on real files, with real second processes
// (prefs_peer) and Python's plistlib as an independent reader and writer.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/prefs/PlistCodec.hpp"
#include "platform/prefs/Preferences.hpp"
#include "platform/values/Json.hpp"
#include "tests/support/ResultChecks.hpp"
#include "tests/support/Subprocess.hpp"
#include "tests/support/TempDir.hpp"

namespace {

using platform::Array;
using platform::CFPreferencesAppSynchronize;
using platform::CFPreferencesCopyAppValue;
using platform::CFPreferencesSetAppValue;
using platform::Data;
using platform::Dictionary;
using platform::String;
using platform::Value;
using tact::test::builtProgram;
using tact::test::fileExists;
using tact::test::ProcessResult;
using tact::test::readFile;
using tact::test::runProcess;
using tact::test::TempDir;
using tact::test::writeFile;

const char* const kDomain = "com.vostrabaxworks.Tactagent";

std::string findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

std::string realBits(double d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%016llx",
                  static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(d)));
    return buf;
}

std::string hex(std::string_view bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        out += buf;
    }
    return out;
}

ino_t inodeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::size_t count(const std::string& haystack, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

// Sends this process's standard error (where the system log goes) to a file
// for the scope.
class StderrCapture {
  public:
    explicit StderrCapture(std::string path) : path_(std::move(path)) {
        std::fflush(stderr);
        saved_ = ::dup(2);
        int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string text() const { return readFile(path_); }
    void restore() {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }

  private:
    std::string path_;
    int saved_ = -1;
};

class Preferences : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = temp_.file("prefs");
        platform::setPreferencesDirectory(dir_);
    }
    void TearDown() override { platform::setPreferencesDirectory(""); }

    std::string file() const { return dir_ + "/" + kDomain + ".plist"; }

    // The domain file as a value; a failure when it does not parse.
    Value fileValue() const {
        return tact::test::valueOf(platform::plist::parse(readFile(file())));
    }

    std::vector<std::string> peerArgs(const std::vector<std::string>& commands) const {
        std::vector<std::string> argv{builtProgram("prefs_peer"), dir_, kDomain};
        argv.insert(argv.end(), commands.begin(), commands.end());
        return argv;
    }
    ProcessResult peer(const std::vector<std::string>& commands,
                       const std::vector<std::string>& env = {}) const {
        return runProcess(peerArgs(commands), env);
    }

    // Forgets the cache, as a fresh process would.
    void freshProcessView() { platform::setPreferencesDirectory(dir_); }

    TempDir temp_;
    std::string dir_;
};

// ---------------------------------------------------------------------------
// One process

TEST_F(Preferences, PendingWritesAreVisibleAtOnceAndRemovalIsAWrite) {
    EXPECT_FALSE(CFPreferencesCopyAppValue("InchSize", kDomain));
    CFPreferencesSetAppValue("InchSize", Value(19), kDomain);
    CFPreferencesSetAppValue("LogStart", Value(true), kDomain);
    EXPECT_EQ(CFPreferencesCopyAppValue("InchSize", kDomain), Value(19));
    EXPECT_FALSE(fileExists(file()));  // pending only

    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_EQ(fileValue(), Value(Dictionary{{"InchSize", 19}, {"LogStart", true}}));

    CFPreferencesSetAppValue("InchSize", std::nullopt, kDomain);
    CFPreferencesSetAppValue("NeverThere", std::nullopt, kDomain);
    EXPECT_FALSE(CFPreferencesCopyAppValue("InchSize", kDomain));  // the removal is pending
    EXPECT_EQ(fileValue(), Value(Dictionary{{"InchSize", 19}, {"LogStart", true}}));
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_EQ(fileValue(), Value(Dictionary{{"LogStart", true}}));
    EXPECT_FALSE(CFPreferencesCopyAppValue("InchSize", kDomain));

    freshProcessView();
    EXPECT_FALSE(CFPreferencesCopyAppValue("InchSize", kDomain));
    EXPECT_EQ(CFPreferencesCopyAppValue("LogStart", kDomain), Value(true));
}

TEST_F(Preferences, FolderIsMadeOnlyWhenThereIsSomethingToWrite) {
    dir_ = temp_.file("a/b/c");
    platform::setPreferencesDirectory(dir_);
    EXPECT_EQ(platform::preferencesPath(kDomain), dir_ + "/" + kDomain + ".plist");

    EXPECT_FALSE(CFPreferencesCopyAppValue("LogFile", kDomain));
    EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
    CFPreferencesSetAppValue("LogFile", std::nullopt, kDomain);
    EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_FALSE(fileExists(temp_.file("a")));

    CFPreferencesSetAppValue("LogFile", Value("/tmp/tact.log"), kDomain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_EQ(fileValue(), Value(Dictionary{{"LogFile", "/tmp/tact.log"}}));
    struct stat st {};
    ASSERT_EQ(::stat(file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Only the file, its lock and nothing left over from the atomic write.
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{std::string(kDomain) + ".plist",
                                               std::string(kDomain) + ".plist.lock"}));
}

TEST_F(Preferences, UnchangedContentIsNotRewritten) {
    CFPreferencesSetAppValue("ClickDuration", Value(0.25), kDomain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
    const ino_t first = inodeOf(file());

    CFPreferencesSetAppValue("ClickDuration", Value(0.25), kDomain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_EQ(inodeOf(file()), first);

    // An integer 1 and a real 1.0 differ, as do 0.0 and -0.0.
    CFPreferencesSetAppValue("ClickDuration", Value(-0.0), kDomain);
    CFPreferencesSetAppValue("ClickDuration", Value(0.25), kDomain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_EQ(inodeOf(file()), first);
    CFPreferencesSetAppValue("ClickDuration", Value(-0.0), kDomain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_NE(inodeOf(file()), first);
    auto back = fileValue();
    EXPECT_TRUE(std::signbit(*back.asDictionary()->find("ClickDuration")->asReal()));
}

TEST_F(Preferences, FailedWriteKeepsPendingWritesAndReportsFalse) {
    // The folder's place is taken by a file, so nothing can be written there.
    writeFile(dir_, "not a folder");
    CFPreferencesSetAppValue("InchSize", Value(22), kDomain);
    EXPECT_FALSE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_EQ(CFPreferencesCopyAppValue("InchSize", kDomain), Value(22));

    std::filesystem::remove(dir_);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_EQ(fileValue(), Value(Dictionary{{"InchSize", 22}}));

    // A domain file that is a folder is neither read nor replaced.
    std::filesystem::remove(file());
    std::filesystem::create_directory(file());
    CFPreferencesSetAppValue("InchSize", Value(23), kDomain);
    EXPECT_FALSE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_TRUE(std::filesystem::is_directory(file()));
    EXPECT_EQ(CFPreferencesCopyAppValue("InchSize", kDomain), Value(23));
}

TEST_F(Preferences, BadDomainNamesAreRefused) {
    EXPECT_FALSE(CFPreferencesAppSynchronize("../escape"));
    CFPreferencesSetAppValue("k", Value(1), "a/b");
    EXPECT_FALSE(CFPreferencesCopyAppValue("k", "a/b"));
    EXPECT_FALSE(CFPreferencesAppSynchronize(""));
}

// ---------------------------------------------------------------------------
// Damaged files

const char kTruncated[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
    "\t<key>InchSize</key>\n\t<integer>19</integer>\n\t<key>LogFi";

TEST_F(Preferences, CorruptFileIsIgnoredThenMovedAsideByTheFirstWrite) {
    std::filesystem::create_directories(dir_);
    writeFile(file(), kTruncated);

    EXPECT_FALSE(CFPreferencesCopyAppValue("InchSize", kDomain));
    EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));  // a read only: left alone
    EXPECT_EQ(readFile(file()), kTruncated);
    EXPECT_FALSE(fileExists(file() + ".corrupt"));

    CFPreferencesSetAppValue("GestureMoveThreshold", Value(3.5), kDomain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_EQ(readFile(file() + ".corrupt"), kTruncated);
    EXPECT_EQ(fileValue(), Value(Dictionary{{"GestureMoveThreshold", 3.5}}));

    // Damaged again (a top level that is not a dictionary): the earlier
    // .corrupt file stays, this one goes next to it.
    const std::string arrayRoot = *platform::plist::toXml(Value(Array{1, 2}));
    writeFile(file(), arrayRoot);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_FALSE(CFPreferencesCopyAppValue("GestureMoveThreshold", kDomain));
    CFPreferencesSetAppValue("InchSize", Value(24), kDomain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_EQ(readFile(file() + ".corrupt"), kTruncated);
    EXPECT_EQ(readFile(file() + ".corrupt.1"), arrayRoot);
    EXPECT_EQ(fileValue(), Value(Dictionary{{"InchSize", 24}}));
}

TEST_F(Preferences, CorruptFileIsReportedOnceForEachStateOfIt) {
    std::filesystem::create_directories(dir_);
    writeFile(file(), kTruncated);
    const std::string complaint = "is not a usable property list";
    StderrCapture capture(temp_.file("stderr"));

    EXPECT_FALSE(CFPreferencesCopyAppValue("InchSize", kDomain));
    EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_FALSE(CFPreferencesCopyAppValue("InchSize", kDomain));
    EXPECT_EQ(count(capture.text(), complaint), 1u) << capture.text();
    EXPECT_NE(capture.text().find(file()), std::string::npos);

    // Damaged another way (the log would merge two entries of one kind).
    writeFile(file(), *platform::plist::toXml(Value(Array{1, 2})));
    EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
    capture.restore();
    EXPECT_EQ(count(capture.text(), complaint), 2u) << capture.text();
}

// ---------------------------------------------------------------------------
// Two processes

TEST_F(Preferences, AnotherProcessSeesAValueOnlyAfterItsOwnSynchronise) {
    const std::string go = temp_.file("go");
    tact::test::BackgroundProcess reader(
        peerArgs({"get", "Coefficients", "echo", "loaded", "waitfile", go, "get", "Coefficients",
                  "sync", "get", "Coefficients"}));
    std::string line;
    ASSERT_TRUE(reader.readLine(line));
    EXPECT_EQ(line, "none");
    ASSERT_TRUE(reader.readLine(line));
    EXPECT_EQ(line, "loaded");

    auto writer = peer({"set", "Coefficients", R"({"CoefficientKX1":1.5,"CoefficientKX2":-2})",
                        "get", "Coefficients", "sync"});
    ASSERT_EQ(writer.exitCode, 0) << writer.err;
    EXPECT_EQ(writer.out,
              "{\"CoefficientKX1\":1.5,\"CoefficientKX2\":-2}\nsync ok\n");  // own, pending

    writeFile(go, "");
    ASSERT_TRUE(reader.readLine(line));
    EXPECT_EQ(line, "none");  // not synchronised yet
    ASSERT_TRUE(reader.readLine(line));
    EXPECT_EQ(line, "sync ok");
    ASSERT_TRUE(reader.readLine(line));
    EXPECT_EQ(line, "{\"CoefficientKX1\":1.5,\"CoefficientKX2\":-2}");
    EXPECT_EQ(reader.wait(), 0);
}

// A domain is read when its file changes, whichever way it changes, and only
// then: synchronising an unchanged domain reads nothing.
TEST_F(Preferences, EveryChangeIsSeenByTheNextSynchroniseAndNothingElseIsRead) {
    const std::string elsewhere = temp_.file("dotfiles");
    std::filesystem::create_directories(elsewhere);
    auto xml = [](int inches) {
        return *platform::plist::toXml(Value(Dictionary{{"InchSize", inches}}));
    };
    auto replace = [&](const std::string& path, int inches) {
        writeFile(path + ".new", xml(inches));
        std::filesystem::rename(path + ".new", path);
    };
    struct Case {
        const char* how;
        std::function<void(int)> change;  // stores InchSize = its argument
        bool removes;                     // the change leaves no value
    };
    const Case cases[] = {
        {"saved by another process",
         [&](int v) {
             ASSERT_EQ(peer({"set", "InchSize", std::to_string(v), "sync"}).exitCode, 0);
         },
         false},
        {"written in place", [&](int v) { writeFile(file(), xml(v)); }, false},
        {"removed", [&](int) { std::filesystem::remove(file()); }, true},
        {"made again", [&](int v) { writeFile(file(), xml(v)); }, false},
        {"folder moved away and made again",
         [&](int v) {
             std::filesystem::rename(dir_, dir_ + ".old");
             std::filesystem::create_directories(dir_);
             writeFile(file(), xml(v));
         },
         false},
        {"linked to a file elsewhere",
         [&](int v) {
             replace(elsewhere + "/tact.plist", v);
             std::filesystem::remove(file());
             std::filesystem::create_symlink(elsewhere + "/tact.plist", file());
         },
         false},
        {"replaced behind its link", [&](int v) { replace(elsewhere + "/tact.plist", v); }, false},
    };
    std::filesystem::create_directories(dir_);
    writeFile(file(), xml(19));
    ASSERT_EQ(CFPreferencesCopyAppValue("InchSize", kDomain), Value(19));
    int inches = 20;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.how);
        const std::uint64_t reads = platform::preferencesFileReads();
        for (int i = 0; i < 20; ++i) {
            ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
            (void)CFPreferencesCopyAppValue("InchSize", kDomain);
        }
        EXPECT_EQ(platform::preferencesFileReads(), reads) << "an unchanged domain was read";

        const std::uint64_t generation = platform::preferencesGeneration(kDomain);
        k.change(++inches);
        ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
        const auto expected = k.removes ? std::nullopt : std::optional<Value>(inches);
        EXPECT_EQ(CFPreferencesCopyAppValue("InchSize", kDomain), expected);
        EXPECT_NE(platform::preferencesGeneration(kDomain), generation);
    }
}

TEST_F(Preferences, ConcurrentWritersOfDifferentKeysLoseNothing) {
    constexpr int kKeys = 150;
    tact::test::BackgroundProcess a(
        peerArgs({"setmany", "a", std::to_string(kKeys), "echo", "done"}));
    tact::test::BackgroundProcess b(
        peerArgs({"setmany", "b", std::to_string(kKeys), "echo", "done"}));
    std::string line;
    ASSERT_TRUE(a.readLine(line, std::chrono::seconds(60)));
    EXPECT_EQ(line, "done");
    ASSERT_TRUE(b.readLine(line, std::chrono::seconds(60)));
    EXPECT_EQ(line, "done");
    EXPECT_EQ(a.wait(), 0);
    EXPECT_EQ(b.wait(), 0);

    freshProcessView();
    for (int i = 0; i < kKeys; ++i) {
        for (const char* prefix : {"a", "b"}) {
            const std::string key = prefix + std::to_string(i);
            EXPECT_EQ(CFPreferencesCopyAppValue(key, kDomain), Value(i)) << key;
        }
    }
    EXPECT_EQ(fileValue().asDictionary()->size(), 2u * kKeys);
}

TEST_F(Preferences, DefaultFolderIsXdgConfigHomeElseHomeConfig) {
    const std::string xdg = temp_.file("xdg");
    const std::string home = temp_.file("home");
    auto args = [&](std::vector<std::string> commands) {
        std::vector<std::string> argv{builtProgram("prefs_peer"), "-", kDomain};
        argv.insert(argv.end(), commands.begin(), commands.end());
        return argv;
    };
    auto r = runProcess(args({"path", "set", "InchSize", "20", "sync"}),
                        {"XDG_CONFIG_HOME=" + xdg, "HOME=" + home});
    EXPECT_EQ(r.out, xdg + "/" + kDomain + ".plist\nsync ok\n") << r.err;
    EXPECT_TRUE(fileExists(xdg + "/" + kDomain + ".plist"));

    r = runProcess(args({"path", "get", "InchSize"}), {"XDG_CONFIG_HOME=", "HOME=" + home});
    EXPECT_EQ(r.out, home + "/.config/" + kDomain + ".plist\nnone\n") << r.err;
}

// ---------------------------------------------------------------------------
// The lock, links, odd files in the file's place

std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Holds a lock file from a child process until released, as a person
// editing under flock(1) does.
class LockHolder {
  public:
    explicit LockHolder(const std::string& lockPath) {
        int ready[2];
        int release[2];
        if (::pipe2(ready, O_CLOEXEC) != 0)
            return;
        if (::pipe2(release, O_CLOEXEC) != 0) {
            ::close(ready[0]);
            ::close(ready[1]);
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT, 0600);
            const char ok = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
            (void)!::write(ready[1], &ok, 1);
            char c;
            while (::read(release[0], &c, 1) < 0 && errno == EINTR) {
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char ok = 'n';
        held_ = pid_ > 0 && ::read(ready[0], &ok, 1) == 1 && ok == 'y';
        ::close(ready[0]);
    }
    ~LockHolder() { release(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool held() const { return held_; }
    void release() {
        if (release_ >= 0)
            ::close(std::exchange(release_, -1));
        if (pid_ > 0)
            ::waitpid(std::exchange(pid_, -1), nullptr, 0);
    }

  private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool held_ = false;
};

TEST_F(Preferences, ReadersNeverWaitForTheLockAndWritersWaitOnlyAWhile) {
    CFPreferencesSetAppValue("InchSize", Value(19), kDomain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
    const std::string before = readFile(file());
    LockHolder holder(file() + ".lock");
    ASSERT_TRUE(holder.held());

    // Reading, and synchronising with nothing to write, go ahead at once.
    auto r = peer({"get", "InchSize", "sync"});
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.out, "19\nsync ok\n") << r.err;

    // A save gives up after a while, says who is in the way, and keeps its
    // value for the next synchronise.
    CFPreferencesSetAppValue("InchSize", Value(24), kDomain);
    StderrCapture capture(temp_.file("stderr"));
    EXPECT_FALSE(CFPreferencesAppSynchronize(kDomain));
    capture.restore();
    EXPECT_NE(capture.text().find("another program holds its lock " + file() + ".lock"),
              std::string::npos)
        << capture.text();
    EXPECT_EQ(CFPreferencesCopyAppValue("InchSize", kDomain), Value(24));
    EXPECT_EQ(readFile(file()), before);

    // A save that starts while the lock is held goes through once it is free.
    tact::test::BackgroundProcess writer(peerArgs({"set", "LogStart", "true", "sync"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    holder.release();
    std::string line;
    ASSERT_TRUE(writer.readLine(line));
    EXPECT_EQ(line, "sync ok");
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_EQ(fileValue(), Value(Dictionary{{"InchSize", 24}, {"LogStart", true}}));
}

TEST_F(Preferences, ReadingCreatesNothingAndNeverBlocks) {
    const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> cases = {
        {"no file", [](const std::string&) {}},
        {"a file",
         [](const std::string& f) {
             writeFile(f, *platform::plist::toXml(Value(Dictionary{{"InchSize", 21}})));
         }},
        {"a folder", [](const std::string& f) { std::filesystem::create_directory(f); }},
        {"a FIFO", [](const std::string& f) { ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0); }},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [name, make] = cases[i];
        SCOPED_TRACE(name);
        dir_ = temp_.file("read-" + std::to_string(i));
        std::filesystem::create_directories(dir_);
        make(file());
        const auto before = entriesOf(dir_);

        auto r = peer({"get", "InchSize", "sync"});
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.out, std::string(name == "a file" ? "21" : "none") + "\nsync ok\n") << r.err;
        freshProcessView();
        EXPECT_EQ(CFPreferencesCopyAppValue("InchSize", kDomain).has_value(), name == "a file");
        EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
        EXPECT_EQ(entriesOf(dir_), before);
    }
}

TEST_F(Preferences, LockThatIsNotARegularFileIsRefused) {
    const std::string other = temp_.file("other");
    const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> cases = {
        {"a folder", [](const std::string& l) { std::filesystem::create_directory(l); }},
        {"a FIFO", [](const std::string& l) { ASSERT_EQ(::mkfifo(l.c_str(), 0600), 0); }},
        {"a symbolic link",
         [&](const std::string& l) { std::filesystem::create_symlink(other, l); }},
    };
    writeFile(other, "someone else's");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [kind, make] = cases[i];
        SCOPED_TRACE(kind);
        dir_ = temp_.file("lock-" + std::to_string(i));
        std::filesystem::create_directories(dir_);
        freshProcessView();
        make(file() + ".lock");

        CFPreferencesSetAppValue("InchSize", Value(20), kDomain);
        StderrCapture capture(temp_.file("stderr"));
        EXPECT_FALSE(CFPreferencesAppSynchronize(kDomain));
        capture.restore();
        EXPECT_NE(capture.text().find(file() + ".lock"), std::string::npos) << capture.text();
        EXPECT_NE(capture.text().find(kind), std::string::npos) << capture.text();
        EXPECT_EQ(CFPreferencesCopyAppValue("InchSize", kDomain), Value(20));
        EXPECT_FALSE(fileExists(file()));
        EXPECT_EQ(readFile(other), "someone else's");
    }
}

TEST_F(Preferences, SymbolicLinkIsSavedThroughAndStaysALink) {
    const std::string dotfiles = temp_.file("dotfiles");
    std::filesystem::create_directories(dotfiles);
    std::filesystem::create_directories(dir_);
    for (const bool targetExists : {true, false}) {
        SCOPED_TRACE(targetExists ? "target exists" : "target missing");
        std::filesystem::remove_all(dotfiles + "/tact.plist");
        std::filesystem::remove(file());
        if (targetExists)
            writeFile(dotfiles + "/tact.plist",
                      *platform::plist::toXml(Value(Dictionary{{"InchSize", 27}})));
        std::filesystem::create_symlink("../dotfiles/tact.plist", file());
        freshProcessView();

        CFPreferencesSetAppValue("LogStart", Value(true), kDomain);
        ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));

        ASSERT_TRUE(std::filesystem::is_symlink(file()));
        EXPECT_EQ(std::filesystem::read_symlink(file()), "../dotfiles/tact.plist");
        auto stored = platform::plist::parse(readFile(dotfiles + "/tact.plist"));
        ASSERT_TRUE(stored);
        EXPECT_EQ(*stored, targetExists ? Value(Dictionary{{"InchSize", 27}, {"LogStart", true}})
                                        : Value(Dictionary{{"LogStart", true}}));
        // Nothing left over beside either; the lock is beside the link.
        EXPECT_EQ(entriesOf(dotfiles), std::vector<std::string>{"tact.plist"});
        EXPECT_EQ(entriesOf(dir_),
                  (std::vector<std::string>{std::string(kDomain) + ".plist",
                                            std::string(kDomain) + ".plist.lock"}));
    }
}

TEST_F(Preferences, TextThatIsNotUtf8IsRefusedAndTheFileKeptAside) {
    // Latin-1 "René" in a value, in a key and deep inside a dictionary.
    const std::string latin1 =
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<plist version=\"1.0\">\n<dict>\n"
        "\t<key>LogFile</key>\n\t<string>/home/Ren\xe9/touch.log</string>\n"
        "\t<key>Ren\xe9</key>\n\t<integer>1</integer>\n"
        "\t<key>Coefficients</key>\n\t<dict><key>Note</key><array><string>Ren\xe9</string>"
        "</array></dict>\n"
        "\t<key>InchSize</key>\n\t<integer>24</integer>\n"
        "</dict>\n</plist>\n";
    std::filesystem::create_directories(dir_);
    writeFile(file(), latin1);

    StderrCapture capture(temp_.file("stderr"));
    EXPECT_FALSE(CFPreferencesCopyAppValue("LogFile", kDomain));
    EXPECT_FALSE(CFPreferencesCopyAppValue("Coefficients", kDomain));
    EXPECT_FALSE(CFPreferencesCopyAppValue(String("Ren\xef\xbf\xbd"), kDomain));
    EXPECT_EQ(CFPreferencesCopyAppValue("InchSize", kDomain), Value(24));
    EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));  // reads only: the file stays
    capture.restore();
    const std::string log = capture.text();
    EXPECT_EQ(count(log, "not valid UTF-8"), 1u) << log;
    for (const char* named : {"\"LogFile\"", "\"Ren\\xe9\"", "Coefficients/Note/0"})
        EXPECT_NE(log.find(named), std::string::npos) << named << "\n" << log;
    EXPECT_EQ(readFile(file()), latin1);
    EXPECT_FALSE(fileExists(file() + ".invalid-utf8"));

    // The first save keeps the file as it was; a later one never replaces that.
    CFPreferencesSetAppValue("ClickDuration", Value(8.0), kDomain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_EQ(readFile(file() + ".invalid-utf8"), latin1);
    EXPECT_EQ(fileValue(), Value(Dictionary{{"InchSize", 24}, {"ClickDuration", 8.0}}));

    const std::string again = latin1 + "<!-- edited again -->\n";
    writeFile(file(), again);
    CFPreferencesSetAppValue("ClickDuration", Value(9.0), kDomain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_EQ(readFile(file() + ".invalid-utf8"), latin1);
    EXPECT_EQ(readFile(file() + ".invalid-utf8.1"), again);
}

// ---------------------------------------------------------------------------
// Python's plistlib as the other side

class PreferencesWithPython : public Preferences {
  protected:
    void SetUp() override {
        Preferences::SetUp();
        python_ = findOnPath("python3");
        if (python_.empty())
            GTEST_SKIP() << "python3 is not on PATH";
    }
    ProcessResult python(const std::string& script, const std::vector<std::string>& args) {
        std::vector<std::string> argv{python_, "-c", script};
        argv.insert(argv.end(), args.begin(), args.end());
        return runProcess(argv);
    }
    std::string python_;
};

const char kDescribe[] = R"(
import plistlib, struct, sys
def show(k, v):
    if isinstance(v, bool): return f'{k} bool {v}'
    if isinstance(v, int): return f'{k} int {v}'
    if isinstance(v, float): return f'{k} real {struct.pack(">d", v).hex()}'
    if isinstance(v, bytes): return f'{k} data {v.hex()}'
    if isinstance(v, str): return f'{k} str {v.encode("utf-8").hex()}'
    if isinstance(v, dict): return f'{k} dict ' + ','.join(v.keys())
    if isinstance(v, list): return f'{k} list ' + ','.join(show('', x).strip() for x in v)
    return f'{k} other {type(v).__name__}'
with open(sys.argv[1], 'rb') as f:
    d = plistlib.load(f)
for k, v in d.items():
    print(show(k, v))
    if isinstance(v, dict):
        for k2, v2 in v.items():
            print(show(k + '/' + k2, v2))
)";

TEST_F(PreferencesWithPython, PlistlibReadsTheStoreFileWithTheSameTypes) {
    const std::string text = "é <&> \"q\" ]]> line\r\nnext";
    CFPreferencesSetAppValue("Integer", Value(8), kDomain);
    CFPreferencesSetAppValue("Real", Value(8.0), kDomain);
    CFPreferencesSetAppValue("Boolean", Value(true), kDomain);
    CFPreferencesSetAppValue("Negative", Value(-42), kDomain);
    CFPreferencesSetAppValue("Min", Value(std::numeric_limits<std::int64_t>::min()), kDomain);
    CFPreferencesSetAppValue("Sum", Value(0.1 + 0.2), kDomain);
    CFPreferencesSetAppValue("Tiny", Value(1e-300), kDomain);
    CFPreferencesSetAppValue("NegativeZero", Value(-0.0), kDomain);
    CFPreferencesSetAppValue("Blob", Value(Data{0x00, 0x7F, 0xFF}), kDomain);
    CFPreferencesSetAppValue("Text", Value(text), kDomain);
    CFPreferencesSetAppValue("Coefficients",
                             Value(Dictionary{{"CoefficientKX1", 0.05859375},
                                              {"CoefficientKWIDTH", 1.0 / 3.0},
                                              {"List", Array{1, 1.0, false}}}),
                             kDomain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));

    auto r = python(kDescribe, {file()});
    ASSERT_EQ(r.exitCode, 0) << r.err << readFile(file());
    const std::string expected =
        "Integer int 8\n"
        "Real real " +
        realBits(8.0) +
        "\n"
        "Boolean bool True\n"
        "Negative int -42\n"
        "Min int -9223372036854775808\n"
        "Sum real " +
        realBits(0.1 + 0.2) +
        "\n"
        "Tiny real " +
        realBits(1e-300) +
        "\n"
        "NegativeZero real " +
        realBits(-0.0) +
        "\n"
        "Blob data 007fff\n"
        "Text str " +
        hex(text) +
        "\n"
        "Coefficients dict CoefficientKX1,CoefficientKWIDTH,List\n"
        "Coefficients/CoefficientKX1 real " +
        realBits(0.05859375) +
        "\n"
        "Coefficients/CoefficientKWIDTH real " +
        realBits(1.0 / 3.0) +
        "\n"
        "Coefficients/List list int 1,real " +
        realBits(1.0) + ",bool False\n";
    EXPECT_EQ(r.out, expected) << readFile(file());
}

const char kWrite[] = R"(
import datetime, plistlib, sys
d = {'Integer': 8, 'Real': 8.0, 'Boolean': True, 'Negative': -42,
     'Min': -9223372036854775808, 'Sum': 0.1 + 0.2, 'Text': 'é ü 😀',
     'Blob': b'\x00\x01\xff', 'When': datetime.datetime(2020, 1, 2),
     'Coefficients': {'CoefficientKY3': 1e-300, 'List': [1, 2.5, False, {}]}}
fmt = plistlib.FMT_BINARY if sys.argv[2] == 'binary' else plistlib.FMT_XML
with open(sys.argv[1], 'wb') as f:
    f.write(plistlib.dumps(d, fmt=fmt, sort_keys=False))
)";

TEST_F(PreferencesWithPython, PlistlibFilesAreReadInBothForms) {
    std::filesystem::create_directories(dir_);
    for (const char* form : {"binary", "xml"}) {
        SCOPED_TRACE(form);
        auto r = python(kWrite, {file(), form});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(readFile(file()).starts_with("bplist00"), std::string(form) == "binary");
        freshProcessView();
        // Dates have no value here; the rest comes through exactly, in order.
        Value expected(Dictionary{
            {"Integer", 8},
            {"Real", 8.0},
            {"Boolean", true},
            {"Negative", -42},
            {"Min", std::numeric_limits<std::int64_t>::min()},
            {"Sum", 0.1 + 0.2},
            {"Text", "é ü 😀"},
            {"Blob", Data{0x00, 0x01, 0xFF}},
            {"Coefficients",
             Dictionary{{"CoefficientKY3", 1e-300}, {"List", Array{1, 2.5, false, Dictionary{}}}}},
        });
        for (const auto& [key, value] : *expected.asDictionary()) {
            EXPECT_EQ(CFPreferencesCopyAppValue(key, kDomain), value) << key.toUtf8Lossy();
        }
        EXPECT_FALSE(CFPreferencesCopyAppValue("When", kDomain));
        std::vector<String> order;
        const Value stored = fileValue();
        for (const auto& [key, unused] : *stored.asDictionary())
            order.push_back(key);
        EXPECT_EQ(order, (std::vector<String>{"Integer", "Real", "Boolean", "Negative", "Min",
                                              "Sum", "Text", "Blob", "Coefficients"}));
        auto sum = CFPreferencesCopyAppValue("Sum", kDomain);
        ASSERT_TRUE(sum && sum->isReal());
        EXPECT_EQ(realBits(*sum->asReal()), realBits(0.1 + 0.2));
    }
}

}  // namespace
