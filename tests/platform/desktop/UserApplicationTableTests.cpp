// The user's application table as the settings change it: one name's entry
// changes, every other line stays as it was, and what is saved reads back
// the same, for the agent too.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "platform/desktop/ApplicationTable.hpp"
#include "tests/support/TempDir.hpp"

using platform::ApplicationTable;
using platform::UserApplicationTable;
using platform::WindowApplication;
using tact::test::readFile;
using tact::test::TempDir;
using tact::test::writeFile;

namespace {

constexpr const char* kMine =
    "# my browsers\r\n"
    "Midori browser   # the light one\n"
    "\n"
    "EVINCE none\n"
    "navigator none\n";

std::optional<std::string> identify(const std::string& text, const std::string& name) {
    ApplicationTable table;
    EXPECT_TRUE(table.add(text, "test").empty()) << text;
    return table.lookup(WindowApplication{name, name, {}});
}

TEST(UserApplicationTable, ChangesRoundTripThroughTheUsersFile) {
    TempDir dir;
    // The folder is made on the first save.
    const std::string path = dir.file("tact/applications.table");
    {
        UserApplicationTable fresh(path);
        std::string error;
        ASSERT_TRUE(fresh.load(&error)) << error;
        EXPECT_EQ(fresh.text(), "");
        ASSERT_TRUE(fresh.set("qutebrowser", "browser", &error)) << error;
        ASSERT_TRUE(fresh.save(&error)) << error;
        EXPECT_EQ(readFile(path), "qutebrowser browser\n");
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u);
    }

    writeFile(path, kMine);
    UserApplicationTable table(path);
    std::string error;
    ASSERT_TRUE(table.load(&error)) << error;
    EXPECT_EQ(table.text(), kMine);

    // A name's lines go wherever they are and in whatever case; the new one ends the file.
    ASSERT_TRUE(table.set("evince", "viewer", &error)) << error;
    EXPECT_TRUE(table.erase("MIDORI"));
    EXPECT_FALSE(table.erase("okular"));
    ASSERT_TRUE(table.set("org.kde.okular.desktop", "viewer", &error)) << error;
    ASSERT_TRUE(table.save(&error)) << error;
    const std::string saved =
        "# my browsers\r\n"
        "\n"
        "navigator none\n"
        "evince viewer\n"
        "org.kde.okular.desktop viewer\n";
    EXPECT_EQ(readFile(path), saved);

    // Read back: the same text, and the entries the agent finds in it.
    UserApplicationTable again(path);
    ASSERT_TRUE(again.load(&error)) << error;
    EXPECT_EQ(again.text(), saved);
    EXPECT_EQ(identify(saved, "Evince"), platform::kViewerIdentifier);
    EXPECT_EQ(identify(saved, "org.kde.okular"), platform::kViewerIdentifier);
    EXPECT_EQ(identify(saved, "midori"), std::nullopt);
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("tact")),
                            std::filesystem::directory_iterator()),
              1)
        << "a temporary file was left behind";
}

TEST(UserApplicationTable, WhatCannotBeAnEntryOrReadIsRefusedAndNothingIsLost) {
    TempDir dir;
    const std::string path = dir.file("applications.table");
    writeFile(path, kMine);
    UserApplicationTable table(path);
    std::string error;
    ASSERT_TRUE(table.load(&error)) << error;
    for (const auto& [name, kind] :
         std::vector<std::pair<std::string, std::string>>{{"two words", "browser"},
                                                          {"name#x", "browser"},
                                                          {"", "viewer"},
                                                          {"ok", "editor"},
                                                          {std::string(300, 'a'), "viewer"},
                                                          {"bad\x01", "viewer"}}) {
        error.clear();
        EXPECT_FALSE(table.set(name, kind, &error)) << name << " " << kind;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(table.text(), kMine);

    // A table that cannot be read is never overwritten.
    std::filesystem::create_directories(dir.file("folder.table"));
    UserApplicationTable unreadable(dir.file("folder.table"));
    EXPECT_FALSE(unreadable.load(&error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    EXPECT_FALSE(unreadable.save(&error));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("folder.table")));
}

}  // namespace
