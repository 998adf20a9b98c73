// The settings host's parts: the workspace that stands our programs in for
// application paths, loading pane plug-ins (the real one included), and the
// window that selects and unselects the pane it shows.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QListWidget>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Notifications.hpp"
#include "platform/notify/NotificationCenter.hpp"
#include "platform/runloop/RunLoop.hpp"
#include "prefpane/host/PaneLoader.hpp"
#include "prefpane/host/PreferencePane.hpp"
#include "prefpane/host/SettingsWindow.hpp"
#include "prefpane/host/Workspace.hpp"
#include "qtsupport/QtRunLoopBridge.hpp"
#include "tests/prefpane/PaneTestSupport.hpp"
#include "tests/support/TempDir.hpp"

namespace tact {
namespace {

using namespace std::chrono_literals;
using test::spinUntil;

void makeProgram(const std::string& path, const std::string& body, bool executable = true) {
    test::writeFile(path, "#!/bin/sh\n" + body + "\n");
    std::filesystem::permissions(path, executable ? std::filesystem::perms::owner_all
                                                  : std::filesystem::perms::owner_read |
                                                        std::filesystem::perms::owner_write);
}

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

// --- workspace ------------------------------------------------------------

TEST(PaneWorkspace, AnApplicationPathStandsForTheProgramOfItsName) {
    EXPECT_EQ(Workspace::programName("/Applications/Tactcalib.app"), "tactcalib");
    EXPECT_EQ(Workspace::programName("/Applications/Tactpaint.app/"), "tactpaint");
    EXPECT_EQ(Workspace::programName("Tactpaint.APP"), "tactpaint");
    EXPECT_EQ(Workspace::programName("/Applications/Tactcalib"), "");
    EXPECT_EQ(Workspace::programName("/Applications/.app"), "");
    EXPECT_EQ(Workspace::programName(""), "");
}

TEST(PaneWorkspace, ProgramsAreLookedUpFolderByFolder) {
    test::TempDir first, second;
    makeProgram(first.file("tactcalib"), "exit 0", /*executable=*/false);
    makeProgram(first.file("tactpaint"), "exit 0");
    makeProgram(second.file("tactcalib"), "exit 0");
    makeProgram(second.file("tactpaint"), "exit 0");
    std::filesystem::create_directory(first.file("tactagent"));

    const Workspace workspace({q(first.path()), q(second.path())});
    // The first folder wins, but only with a program one may run.
    EXPECT_EQ(workspace.programForApplication("/Applications/Tactpaint.app"),
              q(first.file("tactpaint")));
    EXPECT_EQ(workspace.programForApplication("/Applications/Tactcalib.app"),
              q(second.file("tactcalib")));
    EXPECT_EQ(workspace.programForApplication("/Applications/Tactagent.app"), "");
    EXPECT_EQ(workspace.programForApplication("/Applications/Nothing.app"), "");
}

TEST(PaneWorkspace, ByDefaultTheProgramsBesideUsComeFirst) {
    test::PaneTestEnvironment env;
    const QStringList folders = Workspace::defaultProgramFolders();
    ASSERT_EQ(folders.size(), 2);
    EXPECT_EQ(folders[0], QCoreApplication::applicationDirPath());
    EXPECT_TRUE(folders[1].endsWith("/bin")) << folders[1].toStdString();
}

TEST(PaneWorkspace, LaunchingStartsTheProgramOnItsOwn) {
    test::PaneTestEnvironment env;
    test::TempDir programs;
    const std::string marker = programs.file("marker");
    makeProgram(programs.file("tactcalib"),
                "echo started > '" + marker + ".new' && mv '" + marker + ".new' '" + marker + "'");
    Workspace workspace({q(programs.path())});

    QString error;
    EXPECT_TRUE(workspace.launchApplication("/Applications/Tactcalib.app", &error));
    EXPECT_TRUE(error.isEmpty());
    ASSERT_TRUE(spinUntil([&] { return test::fileExists(programs.file("marker")); }));
    EXPECT_EQ(test::readFile(programs.file("marker")), "started\n");

    EXPECT_FALSE(workspace.launchApplication("/Applications/Tactpaint.app", &error));
    EXPECT_EQ(error, "no program tactpaint in " + q(programs.path()));
    EXPECT_FALSE(workspace.launchApplication("/bin/sh", &error));
    EXPECT_EQ(error, "/bin/sh does not name an application");
}

// --- loading plug-ins -----------------------------------------------------

class PaneLoading : public ::testing::Test {
  protected:
    void SetUp() override {
        loop_ = platform::makeRealRunLoop(false);
        bridge_ = std::make_unique<QtRunLoopBridge>(*loop_);
        center_ = platform::makeLocalNotificationCenter(*loop_);
        context_.runLoop = loop_.get();
        context_.notificationCenter = center_.get();
        context_.workspace = &workspace_;
    }

    test::PaneTestEnvironment env_;
    std::unique_ptr<platform::RunLoop> loop_;
    std::unique_ptr<QtRunLoopBridge> bridge_;
    std::unique_ptr<platform::NotificationCenter> center_;
    Workspace workspace_{QStringList{}};
    PaneContext context_;
};

TEST_F(PaneLoading, TheBuiltPaneLoadsAndTalksThroughTheHostsCentre) {
    test::TempDir junk;
    test::writeFile(junk.file("notes.so"), "not a library");
    test::writeFile(junk.file("readme.txt"), "not a library either");

    auto libraries = loadPaneLibraries({q(junk.path()), TACT_PANE_DIR});
    ASSERT_EQ(libraries.size(), 1u);
    EXPECT_EQ(libraries[0]->path, QDir(TACT_PANE_DIR).filePath("tactpane.so"));
    EXPECT_EQ(libraries[0]->principalClass, "MultitouchPrefsPane");

    std::vector<std::optional<platform::Dictionary>> control;
    auto observation = center_->addObserver(
        platform::String(kControlNotification), platform::String(kControlObject),
        [&](const platform::Notification& n) { control.push_back(n.userInfo); });
    {
        std::unique_ptr<PreferencePane> pane = libraries[0]->instantiate(context_);
        ASSERT_NE(pane, nullptr);
        EXPECT_EQ(pane->label(), "Touch Frame");
        EXPECT_EQ(pane->context().bundlePath, libraries[0]->path.toStdString());
        ASSERT_NE(pane->loadMainView(), nullptr);
        pane->didSelect();
        ASSERT_TRUE(spinUntil([&] { return !control.empty(); }));
        EXPECT_EQ(control[0],
                  (platform::Dictionary{{platform::String(kKeyNeedSerialNumber), true}}));
        pane->didUnselect();
    }
    libraries.clear();
}

TEST_F(PaneLoading, APaneInAnEarlierFolderHidesOneOfTheSameName) {
    test::TempDir earlier;
    test::writeFile(earlier.file("tactpane.so"), "broken");
    QString error;
    EXPECT_EQ(loadPaneLibrary(q(earlier.file("tactpane.so")), &error), nullptr);
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(loadPaneLibraries({q(earlier.path()), TACT_PANE_DIR}).empty());
}

TEST_F(PaneLoading, TheDefaultFoldersAreBesideUsThenTheInstallPrefix) {
    const QStringList folders = defaultPaneFolders();
    ASSERT_EQ(folders.size(), 2);
    EXPECT_EQ(folders[0],
              QDir::cleanPath(QCoreApplication::applicationDirPath() + "/../lib/tact/panes"));
    EXPECT_TRUE(folders[1].endsWith("/lib/tact/panes")) << folders[1].toStdString();
}

// --- the host window ------------------------------------------------------

// A pane that notes what the host asks of it.
class RecordingPane : public PreferencePane {
  public:
    RecordingPane(const PaneContext& context, QString name, std::vector<std::string>& calls)
        : PreferencePane(context), name_(std::move(name)), calls_(calls) {}
    ~RecordingPane() override { note("destroyed"); }
    QString label() const override { return name_; }
    void mainViewDidLoad() override { note("mainViewDidLoad"); }
    void willSelect() override { note("willSelect"); }
    void didSelect() override { note("didSelect"); }
    void willUnselect() override { note("willUnselect"); }
    void didUnselect() override { note("didUnselect"); }

  protected:
    std::unique_ptr<QWidget> loadInterface() override {
        note("loadInterface");
        auto view = std::make_unique<QLabel>(name_);
        view->setMinimumSize(200, 100);
        return view;
    }

  private:
    void note(const char* what) { calls_.push_back(name_.toStdString() + " " + what); }
    QString name_;
    std::vector<std::string>& calls_;
};

TEST_F(PaneLoading, TheWindowSelectsItsPaneWhileShown) {
    std::vector<std::string> calls;
    {
        SettingsWindow window({}, context_);
        window.addPane(std::make_unique<RecordingPane>(context_, "One", calls));
        EXPECT_EQ(calls, (std::vector<std::string>{"One loadInterface", "One mainViewDidLoad"}));
        EXPECT_EQ(window.windowTitle(), "One");
        calls.clear();

        window.show();
        window.hide();
        window.show();
        EXPECT_EQ(calls,
                  (std::vector<std::string>{"One willSelect", "One didSelect", "One willUnselect",
                                            "One didUnselect", "One willSelect", "One didSelect"}));
        calls.clear();
    }
    // Closing the window unselects the pane before it goes.
    EXPECT_EQ(calls,
              (std::vector<std::string>{"One willUnselect", "One didUnselect", "One destroyed"}));
}

TEST_F(PaneLoading, PickingAnotherPaneUnselectsTheShownOne) {
    std::vector<std::string> calls;
    SettingsWindow window({}, context_);
    window.addPane(std::make_unique<RecordingPane>(context_, "One", calls));
    window.addPane(std::make_unique<RecordingPane>(context_, "Two", calls));
    auto* list = window.findChild<QListWidget*>();
    ASSERT_NE(list, nullptr);
    window.show();
    EXPECT_TRUE(list->isVisible());
    calls.clear();

    list->setCurrentRow(1);
    EXPECT_EQ(window.currentPane(), 1);
    EXPECT_EQ(window.windowTitle(), "Two");
    EXPECT_EQ(calls, (std::vector<std::string>{"One willUnselect", "One didUnselect",
                                               "Two willSelect", "Two didSelect"}));
}

TEST_F(PaneLoading, WithoutPanesTheWindowSaysWhereItLooked) {
    SettingsWindow window({}, context_, {"/nowhere/panes"});
    window.show();
    EXPECT_EQ(window.paneCount(), 0);
    bool named = false;
    for (QLabel* label : window.findChildren<QLabel*>())
        named |= label->text().contains("/nowhere/panes");
    EXPECT_TRUE(named);
}

}  // namespace
}  // namespace tact
