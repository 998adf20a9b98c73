// The gestures tab and the agent together: a keystroke recorded in the tab
// is stored where the agent reads the user's shortcuts, and tactreplay (the
// real agent on a virtual frame) types it for the gesture; an action turned
// off is typed no more. The applications tab changes only the user's table.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/actions/UserHotKeys.hpp"
#include "platform/values/Json.hpp"
#include "prefpane/applications/ApplicationsTab.hpp"
#include "prefpane/gestures/GesturesTab.hpp"
#include "prefpane/gestures/ShortcutRecorder.hpp"
#include "tests/prefpane/PaneFixture.hpp"
#include "tests/support/Subprocess.hpp"

namespace tact {
namespace {

using test::PaneInProcess;

// Three fingers moving together, then lifted: right (dx > 0) or up (dy < 0).
std::string threeFingerSwipe(int dx, int dy) {
    std::string session = "screen 1920x1080\n";
    char line[128];
    for (int i = 0; i <= 10; ++i) {
        const int x = 10000 + dx * i;
        const int y = 16000 + dy * i;
        std::snprintf(line, sizeof line, "%.2f touch 1:%d,%d 2:%d,%d 3:%d,%d\n", 0.01 * i, x, y,
                      x + 2000, y, x + 4000, y);
        session += line;
    }
    session += "0.11 touch 1:0,0:up 2:0,0:up 3:0,0:up\n";
    return session;
}

class GesturesWithTheAgent : public PaneInProcess {
  protected:
    // The key events the agent posts for the session, with the shortcuts
    // this test's preferences folder holds: "down 59 0x40101".
    std::vector<std::string> agentKeys(const std::string& session) {
        test::TempDir dir;
        test::writeFile(dir.file("swipe.session"), session);
        const auto result =
            test::runProcess({test::builtProgram("tactreplay"), dir.file("swipe.session"),
                              "--prefs-dir", env_.config(), "--trace", "-"});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        std::vector<std::string> keys;
        for (const auto& line : test::linesOf(result.out)) {
            const auto parsed = platform::json::parse(line);
            const platform::Dictionary* d = parsed ? parsed->asDictionary() : nullptr;
            const auto type = d ? d->integer("event") : std::nullopt;
            if (type != 10 && type != 11)
                continue;
            char text[64];
            std::snprintf(text, sizeof text, "%s %lld 0x%llx", *type == 10 ? "down" : "up",
                          static_cast<long long>(d->integer("keycode").value_or(-1)),
                          static_cast<unsigned long long>(d->integer("flags").value_or(0)));
            keys.push_back(text);
        }
        return keys;
    }

    void record(std::string_view action, Qt::Key key, Qt::KeyboardModifiers modifiers) {
        gestures::ShortcutRecorder* recorder = pane_->gesturesTab->recordButton(action);
        ASSERT_NE(recorder, nullptr) << action;
        recorder->click();
        ASSERT_TRUE(recorder->recording());
        // Pressing a modifier alone records nothing yet.
        QTest::keyClick(recorder, Qt::Key_Control, Qt::ControlModifier);
        EXPECT_TRUE(recorder->recording());
        QTest::keyClick(recorder, key, modifiers);
        EXPECT_FALSE(recorder->recording());
    }

    bool reloadWasLastPosted() const {
        return !center_->controls.empty() &&
               center_->controls.back().userInfo == test::control(kKeyPreferenceReload, true);
    }
};

TEST_F(GesturesWithTheAgent, ARecordedKeystrokeIsStoredForTheAgentWhichTypesIt) {
    ASSERT_NO_FATAL_FAILURE(load());
    const std::string swipeRight = threeFingerSwipe(600, 0);
    // Before: the agent's own key for the workspace on the left.
    EXPECT_EQ(agentKeys(swipeRight),
              (std::vector<std::string>{"down 59 0x40101", "down 123 0x40101", "up 123 0x100",
                                        "up 59 0x100"}));

    ASSERT_NO_FATAL_FAILURE(record("79", Qt::Key_Left, Qt::ControlModifier | Qt::AltModifier));
    EXPECT_TRUE(reloadWasLastPosted());
    const auto stored = platform::actions::userHotKey("79");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(stored->enabled);
    EXPECT_EQ(stored->keys, (platform::actions::KeyChord{123, 0xC0000}));
    EXPECT_EQ(pane_->gesturesTab->nowLabel("79")->text(), "Ctrl+Alt+← — your own shortcut");

    // Control and alt go down, the arrow is typed with both, and they come up.
    EXPECT_EQ(agentKeys(swipeRight),
              (std::vector<std::string>{"down 59 0x40101", "down 58 0x100", "down 123 0xc0121",
                                        "up 123 0x100", "up 59 0x100", "up 58 0x100"}));

    // Back to the default: the entry goes, and the agent's own key is back.
    pane_->gesturesTab->defaultButton("79")->click();
    EXPECT_FALSE(platform::actions::userHotKey("79"));
    EXPECT_EQ(agentKeys(swipeRight).size(), 4u);
}

TEST_F(GesturesWithTheAgent, AnActionTurnedOffIsNotTyped) {
    ASSERT_NO_FATAL_FAILURE(load());
    const std::string swipeUp = threeFingerSwipe(0, -600);
    ASSERT_NO_FATAL_FAILURE(record("32", Qt::Key_Up, Qt::MetaModifier));
    EXPECT_EQ(agentKeys(swipeUp), (std::vector<std::string>{"down 55 0x100108", "down 126 0x100108",
                                                            "up 126 0x100", "up 55 0x100"}));

    center_->controls.clear();
    QPushButton* off = pane_->gesturesTab->offButton("32");
    off->click();
    EXPECT_TRUE(reloadWasLastPosted());
    const auto stored = platform::actions::userHotKey("32");
    ASSERT_TRUE(stored);
    EXPECT_FALSE(stored->enabled);
    EXPECT_FALSE(off->isEnabled());
    EXPECT_TRUE(agentKeys(swipeUp).empty());
}

// --- applications ---------------------------------------------------------

TEST_F(PaneInProcess, ApplicationsAreAddedAndRemovedInTheUsersTableOnly) {
    ASSERT_NO_FATAL_FAILURE(load());
    applications::ApplicationsTab* tab = pane_->applicationsTab;
    auto names = [](QListWidget* list) {
        QStringList out;
        for (int i = 0; i < list->count(); ++i)
            out << list->item(i)->data(Qt::UserRole).toString();
        return out;
    };
    ASSERT_TRUE(names(tab->browsers).contains("firefox"));
    ASSERT_TRUE(names(tab->viewers).contains("evince"));
    const std::string user = env_.config() + "/tact/applications.table";

    tab->newName->setEditText("  Midori ");
    tab->newKind->setCurrentIndex(tab->newKind->findData("browser"));
    tab->addButton->click();
    EXPECT_TRUE(names(tab->browsers).contains("midori"));
    EXPECT_EQ(tab->newName->currentText(), "");

    // A shipped entry is taken out by a line of the user's own.
    tab->browsers->setCurrentItem(tab->browsers->findItems("firefox", Qt::MatchExactly).value(0));
    tab->removeButton->click();
    EXPECT_FALSE(names(tab->browsers).contains("firefox"));
    EXPECT_EQ(test::readFile(user), "Midori browser\nfirefox none\n");

    // Removing one of the user's own takes its line out again.
    tab->browsers->setCurrentItem(
        tab->browsers->findItems("midori  (yours)", Qt::MatchExactly).value(0));
    tab->removeButton->click();
    EXPECT_EQ(test::readFile(user), "firefox none\n");

    // A name that cannot stand in the table is refused with a reason.
    EXPECT_FALSE(tab->addApplication("two words", "viewer"));
    EXPECT_FALSE(tab->message->text().isEmpty());
    EXPECT_EQ(test::readFile(user), "firefox none\n");
}

}  // namespace
}  // namespace tact
