// The application table: which windows count as browsers and viewers, the
// user's own lines, bad lines, and the shipped table found beside the
// program.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/desktop/ApplicationTable.hpp"
#include "tests/support/TempDir.hpp"

using platform::ApplicationTable;
using platform::ApplicationTableFiles;
using platform::WindowApplication;
using tact::test::TempDir;
using tact::test::writeFile;

namespace {

constexpr const char* kSafari = "com.apple.Safari";
constexpr const char* kPreview = "com.apple.Preview";

constexpr const char* kShipped = R"(# shipped
firefox           browser
navigator         browser
evince            viewer
org.gnome.Evince  viewer
okular            viewer
)";

constexpr const char* kUser =
    "# mine\r\n"
    "navigator none\r\n"
    "  EVINCE   none   # not this one\n"
    "Okular browser\n"
    "gimp org.gimp.GIMP\n";

}  // namespace

TEST(ApplicationTableTest, WindowsAreNamedByTheFirstNameTheTableKnows) {
    ApplicationTable table;
    EXPECT_TRUE(table.add(kShipped, "shipped").empty());
    EXPECT_TRUE(table.add(kUser, "user").empty());

    const std::pair<WindowApplication, std::string> cases[] = {
        // The class decides; case does not matter.
        {{"Navigator", "firefox", {}}, kSafari},
        // Only an instance.
        {{"FIREFOX", "", {}}, kSafari},
        // "none" for the instance: the class is reported as it is.
        {{"Navigator", "SeaMonkey", {}}, "SeaMonkey"},
        // "none" for the class: the instance is not looked at.
        {{"firefox", "evince", {}}, "evince"},
        // The application id comes first, with or without ".desktop" or a folder.
        {{"evince", "Evince", {"org.gnome.Evince"}}, kPreview},
        {{"x", "Y", {"/usr/share/applications/org.gnome.Evince.desktop"}}, kPreview},
        {{"x", "Y", {"org.unknown.App", "org.gnome.Evince"}}, kPreview},
        // A later line wins; an identifier stands as written.
        {{"okular", "okular", {}}, kSafari},
        {{"gimp", "Gimp-2.10", {}}, "org.gimp.GIMP"},
        // Not in the table: the class, else the instance, else nothing.
        {{"xterm", "XTerm", {}}, "XTerm"},
        {{"xterm", "", {}}, "xterm"},
        {{"", "", {"org.unknown.App"}}, ""},
    };
    for (const auto& [window, expected] : cases)
        EXPECT_EQ(table.identify(window), expected) << window.instance << " " << window.className;
}

TEST(ApplicationTableTest, BadLinesAreNamedAndLeftOut) {
    ApplicationTable table;
    const auto messages = table.add(
        "firefox browser\n"
        "chromium\n"
        "chromium brower\n"
        "a b c\n"
        "apps/ viewer\n"
        "zathura\x01 viewer\n"
        "eog viewer",  // no final line break
        "t.table");
    EXPECT_EQ(messages,
              (std::vector<std::string>{
                  "t.table:2: not '<name> <kind>'; line ignored",
                  "t.table:3: unknown kind 'brower' (browser, viewer, none, or an identifier "
                  "with a dot); line ignored",
                  "t.table:4: not '<name> <kind>'; line ignored",
                  "t.table:5: no usable name in 'apps/'; line ignored",
                  "t.table:6: a control character; line ignored",
              }));
    EXPECT_EQ(table.size(), 2u);
    EXPECT_EQ(table.identify({"", "eog", {}}), kPreview);
    EXPECT_EQ(table.identify({"", "chromium", {}}), "chromium");

    // Overlong lines are not read at all.
    EXPECT_EQ(table.add(std::string(5000, 'a') + " browser\n", "long").size(), 1u);
    EXPECT_EQ(table.size(), 2u);
}

TEST(ApplicationTableTest, FilesThatCannotBeReadAreOneMessage) {
    TempDir dir;
    ApplicationTable table;
    EXPECT_TRUE(table.addFile(dir.file("missing"), true).empty());
    EXPECT_EQ(table.addFile(dir.file("missing"), false),
              (std::vector<std::string>{"cannot read the application table " + dir.file("missing") +
                                        ": No such file or directory"}));
    EXPECT_EQ(table.addFile(dir.path(), true),
              (std::vector<std::string>{"cannot read the application table " + dir.path() +
                                        ": not a regular file"}));
    writeFile(dir.file("big"), std::string(2 << 20, '#'));
    EXPECT_EQ(table.addFile(dir.file("big"), true).size(), 1u);
    EXPECT_EQ(table.size(), 0u);
}

TEST(ApplicationTableTest, TheUsersFileIsReadAgainWhenItChanges) {
    TempDir dir;
    writeFile(dir.file("shipped"), kShipped);
    ApplicationTableFiles files({dir.file("shipped"), dir.file("user")});
    const WindowApplication okular{"okular", "okular", {}};
    EXPECT_EQ(files.table().identify(okular), kPreview);

    writeFile(dir.file("user"), "okular browser\n");
    EXPECT_EQ(files.table().identify(okular), kSafari);
    writeFile(dir.file("user"), "okular none\nokularx viewer\n");
    EXPECT_EQ(files.table().identify(okular), "okular");
    std::remove(dir.file("user").c_str());
    EXPECT_EQ(files.table().identify(okular), kPreview);
}

TEST(ApplicationTableTest, TheShippedTableIsBesideTheProgram) {
    const char* savedXdg = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = savedXdg ? savedXdg : "";
    const char* savedHome = std::getenv("HOME");
    const std::string home = savedHome ? savedHome : "";
    ::setenv("XDG_CONFIG_HOME", "/config", 1);
    EXPECT_EQ(platform::defaultApplicationTablePaths().user, "/config/tact/applications.table");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);
    ::setenv("HOME", "/home/someone", 1);
    const auto paths = platform::defaultApplicationTablePaths();
    EXPECT_EQ(paths.user, "/home/someone/.config/tact/applications.table");
    if (savedXdg)
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
    if (savedHome)
        ::setenv("HOME", home.c_str(), 1);
    else
        ::unsetenv("HOME");

    // The build tree keeps it where an installation does; it reads cleanly
    // and knows the usual names of both kinds.
    ApplicationTable table;
    EXPECT_EQ(table.addFile(paths.shipped, false), std::vector<std::string>{});
    const std::pair<WindowApplication, std::string> cases[] = {
        {{"Navigator", "Firefox-esr", {}}, kSafari},
        {{"Navigator", "SomeFirefoxFork", {}}, kSafari},
        {{"chromium-browser", "Chromium-browser", {}}, kSafari},
        {{"", "", {"org.gnome.Epiphany"}}, kSafari},
        {{"org.pwmt.zathura", "Zathura", {}}, kPreview},
        {{"", "", {"org.gnome.Loupe"}}, kPreview},
        {{"", "", {"org.kde.okular.desktop"}}, kPreview},
        {{"gnome-terminal-server", "Gnome-terminal", {"org.gnome.Terminal"}}, "Gnome-terminal"},
    };
    for (const auto& [window, expected] : cases)
        EXPECT_EQ(table.identify(window), expected) << window.className;
}
