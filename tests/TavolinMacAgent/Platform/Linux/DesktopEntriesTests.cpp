#include <fstream>

#include <gtest/gtest.h>

#include "TavolinMacAgent/Platform/Linux/DesktopEntries.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

namespace fs = std::filesystem;
using Arguments = std::vector<std::string>;

void writeFile(const fs::path& path, std::string_view text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string entryText(std::string_view name, std::string_view extra = "") {
  return "[Desktop Entry]\nType=Application\nName=" + std::string(name) + "\nExec=true\n" +
         std::string(extra);
}

TEST(DesktopEntryParsing, WellFormedAndTolerated_KeepsOnlyTheDesktopEntryGroup) {
  const auto entry = parseDesktopEntry(
      "# comment\nName=Before any group\n\n[Desktop Entry]\r\n"
      "Type = Application\r\nName[de]=Konsole\nName=Term\\sinal\\\\\nName=Second\n"
      "no equals sign\nExec=xterm -e \"a b\"\nStartupWMClass=XTerm\nHidden=true\n"
      "NoDisplay=false\n[Desktop Action new]\nName=Other group\n");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->type, "Application");
  EXPECT_EQ(entry->name, "Term inal\\");  // unescaped; the first of duplicated keys wins
  EXPECT_EQ(entry->exec, "xterm -e \"a b\"");
  EXPECT_EQ(entry->startupWMClass, "XTerm");
  EXPECT_TRUE(entry->hidden);
  EXPECT_FALSE(entry->noDisplay);
}

TEST(DesktopEntryParsing, BadInput_IsNotAnEntryOrLosesOnlyTheBadKey) {
  EXPECT_FALSE(parseDesktopEntry(""));
  EXPECT_FALSE(parseDesktopEntry("Name=x\nExec=y\n"));
  EXPECT_FALSE(parseDesktopEntry("[Desktop Action x]\nName=x\n"));
  EXPECT_FALSE(parseDesktopEntry(std::string("\0\0[\xff", 4)));

  const auto invalidUTF8 = parseDesktopEntry("[Desktop Entry]\nName=\xc3\x28\nExec=x\n");
  ASSERT_TRUE(invalidUTF8);
  EXPECT_EQ(invalidUTF8->name, "");
  EXPECT_EQ(invalidUTF8->exec, "x");

  // A second [Desktop Entry] group is malformed: its keys do not override or add.
  const auto repeated =
      parseDesktopEntry("[Desktop Entry]\nName=First\n[Desktop Entry]\nName=Again\nExec=x\n");
  ASSERT_TRUE(repeated);
  EXPECT_EQ(repeated->name, "First");
  EXPECT_EQ(repeated->exec, "");
}

TEST(DesktopExecArguments, FieldCodesAndQuoting_GiveTheCommandToRun) {
  EXPECT_EQ(desktopExecArguments("xterm -class Probe %U"), (Arguments{"xterm", "-class", "Probe"}));
  EXPECT_EQ(desktopExecArguments("app --file=%f 100%% %i%c"),
            (Arguments{"app", "--file=", "100%"}));
  EXPECT_EQ(desktopExecArguments(R"(sh -c "echo \"hi\" \$HOME \\ x" "")"),
            (Arguments{"sh", "-c", R"(echo "hi" $HOME \ x)", ""}));
  EXPECT_EQ(desktopExecArguments("  a   b  "), (Arguments{"a", "b"}));
  EXPECT_EQ(desktopExecArguments("\"/opt/My App/run\" %F"), (Arguments{"/opt/My App/run"}));

  EXPECT_FALSE(desktopExecArguments(""));
  EXPECT_FALSE(desktopExecArguments("   %U"));
  EXPECT_FALSE(desktopExecArguments("\"\" arg"));
  EXPECT_FALSE(desktopExecArguments("sh -c \"unterminated"));
  EXPECT_FALSE(desktopExecArguments("app %z"));
  EXPECT_FALSE(desktopExecArguments("app %"));
}

TEST(DesktopFileIds, SubdirectoriesAndDataDirectories_FollowTheXDGRules) {
  EXPECT_EQ(desktopFileId("org.gnome.Terminal.desktop"), "org.gnome.Terminal");
  EXPECT_EQ(desktopFileId("kde4/sub/konsole.desktop"), "kde4-sub-konsole");
  EXPECT_EQ(desktopFileId(".desktop"), ".desktop");

  EXPECT_EQ(applicationDirectories({{"HOME", "/home/u"}}),
            (std::vector<fs::path>{"/home/u/.local/share/applications",
                                   "/usr/local/share/applications", "/usr/share/applications"}));
  EXPECT_EQ(applicationDirectories({{"HOME", "/home/u"},
                                    {"XDG_DATA_HOME", "/data"},
                                    {"XDG_DATA_DIRS", "relative:/a/::/a/../a/:/b"}}),
            (std::vector<fs::path>{"/data/applications", "/a/applications", "/b/applications"}));
  EXPECT_EQ(applicationDirectories({{"XDG_DATA_HOME", ""}, {"XDG_DATA_DIRS", ""}}),
            (std::vector<fs::path>{"/usr/local/share/applications", "/usr/share/applications"}));
}

class DesktopEntryCatalogTest : public ::testing::Test {
 protected:
  fs::path home() const { return directory.path() / "home" / "applications"; }
  fs::path system() const { return directory.path() / "system" / "applications"; }

  DesktopEntryCatalog catalog() const {
    return DesktopEntryCatalog({{"XDG_DATA_HOME", (directory.path() / "home").string()},
                                {"XDG_DATA_DIRS", (directory.path() / "system").string()}});
  }

  testing::TemporaryDirectory directory;
};

TEST_F(DesktopEntryCatalogTest, Precedence_EarlierDirectoryWinsAndHiddenDeletesTheId) {
  writeFile(system() / "editor.desktop", entryText("System Editor"));
  writeFile(home() / "editor.desktop", entryText("My Editor"));
  writeFile(system() / "gone.desktop", entryText("Gone"));
  writeFile(home() / "gone.desktop", entryText("Gone", "Hidden=true\n"));
  writeFile(system() / "kde" / "konsole.desktop", entryText("Konsole"));
  writeFile(system() / "link.desktop", "[Desktop Entry]\nType=Link\nName=Link\n");
  writeFile(system() / "readme.txt", entryText("Not an entry"));
  auto entries = catalog();

  ASSERT_TRUE(entries.entry("editor"));
  EXPECT_EQ(entries.entry("editor")->name, "My Editor");
  EXPECT_EQ(entries.entry("editor")->path, home() / "editor.desktop");
  EXPECT_FALSE(entries.entry("gone"));
  EXPECT_FALSE(entries.entryNamed("Gone"));
  ASSERT_TRUE(entries.entry("kde-konsole"));
  EXPECT_FALSE(entries.entry("konsole"));
  EXPECT_FALSE(entries.entry("link"));
  EXPECT_FALSE(entries.entryNamed("Not an entry"));
}

TEST_F(DesktopEntryCatalogTest, LookupByName_IgnoresCaseAndSkipsEntriesHiddenFromMenus) {
  writeFile(system() / "b-term.desktop", entryText("Terminal"));
  writeFile(system() / "a-term.desktop", entryText("terminal", "NoDisplay=true\n"));
  auto entries = catalog();

  ASSERT_TRUE(entries.entryNamed("TERMINAL"));
  EXPECT_EQ(entries.entryNamed("TERMINAL")->id, "b-term");
  EXPECT_TRUE(entries.entry("a-term"));  // still found by id
  EXPECT_FALSE(entries.entryNamed("Termina"));
}

TEST_F(DesktopEntryCatalogTest, ClientMatching_LaunchedFileThenStartupClassThenIdIgnoringCase) {
  writeFile(system() / "org.example.Viewer.desktop",
            entryText("Viewer", "StartupWMClass=ViewerMain\n"));
  writeFile(system() / "xterm.desktop", entryText("XTerm"));
  writeFile(directory.path() / "elsewhere" / "custom.desktop", entryText("Custom"));
  auto entries = catalog();

  const auto match = [&](ApplicationClue clue) {
    const auto entry = entries.entryFor(clue);
    return entry ? entry->id : std::string("(none)");
  };
  EXPECT_EQ(match({.wmClassInstance = "viewer", .wmClassName = "ViewerMain"}),
            "org.example.Viewer");
  EXPECT_EQ(match({.wmClassInstance = "ViewerMain", .wmClassName = "Other"}), "org.example.Viewer");
  EXPECT_EQ(match({.wmClassInstance = "xterm", .wmClassName = "XTerm"}), "xterm");
  EXPECT_EQ(match({.wmClassInstance = "", .wmClassName = "XTERM"}), "xterm");
  EXPECT_EQ(match({.wmClassInstance = "unknown", .wmClassName = "Unknown"}), "(none)");
  EXPECT_EQ(match({.launchedDesktopFile = system() / "xterm.desktop",
                   .wmClassInstance = "viewer",
                   .wmClassName = "ViewerMain"}),
            "xterm");
  EXPECT_EQ(match({.launchedDesktopFile = directory.path() / "elsewhere" / "custom.desktop"}),
            "custom");
  // A launched file that is gone or not absolute falls back to the class.
  EXPECT_EQ(match({.launchedDesktopFile = system() / "missing.desktop", .wmClassName = "xterm"}),
            "xterm");
  EXPECT_EQ(match({.launchedDesktopFile = fs::path("xterm.desktop")}), "(none)");
}

TEST_F(DesktopEntryCatalogTest, NewFile_IsSeenWithoutANewCatalog) {
  auto entries = catalog();
  EXPECT_FALSE(entries.entry("late"));
  writeFile(home() / "late.desktop", entryText("Late"));
  EXPECT_TRUE(entries.entry("late"));
  writeFile(home() / "sub" / "later.desktop", entryText("Later"));
  EXPECT_TRUE(entries.entry("sub-later"));
  fs::remove(home() / "late.desktop");
  EXPECT_FALSE(entries.entry("late"));
}

}  // namespace
}  // namespace tavolin
