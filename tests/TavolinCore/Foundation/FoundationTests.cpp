#include <csignal>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TavolinCore/Foundation/AppPaths.hpp"
#include "TavolinCore/Foundation/Environment.hpp"
#include "TavolinCore/Foundation/Identifiers.hpp"
#include "TavolinCore/Foundation/SecureFiles.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Foundation/UTF8.hpp"
#include "TavolinCore/Foundation/UserDefaults.hpp"
#include "tests/support/Eventually.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

using namespace std::chrono;

TEST(TavolinISO8601, WritesUtcWithThreeFractionDigits) {
  const Date date = sys_days{2026y / January / 31} + 9h + 15min + 2s + 123ms + 900us;
  EXPECT_EQ(TavolinISO8601::string(date), "2026-01-31T09:15:02.123Z");
  EXPECT_EQ(TavolinISO8601::string(sys_days{2026y / January / 31}), "2026-01-31T00:00:00.000Z");
  EXPECT_EQ(TavolinISO8601::string(sys_days{1969y / December / 31} + 23h + 59min + 59s + 500ms),
            "1969-12-31T23:59:59.500Z");
}

TEST(TavolinISO8601, ParsesWithAndWithoutFractionsAndOffsets) {
  const Date base = sys_days{2026y / January / 31} + 9h + 15min + 2s;
  EXPECT_EQ(TavolinISO8601::date("2026-01-31T09:15:02Z"), base);
  EXPECT_EQ(TavolinISO8601::date("2026-01-31T09:15:02.500Z"), base + 500ms);
  EXPECT_EQ(TavolinISO8601::date("2026-01-31T09:15:02.5Z"), base + 500ms);
  EXPECT_EQ(TavolinISO8601::date("2026-01-31T11:15:02+02:00"), base);
  EXPECT_EQ(TavolinISO8601::date("2026-01-31T08:45:02.000-00:30"), base);
  const auto roundTrip = TavolinISO8601::date(TavolinISO8601::string(base + 7ms));
  EXPECT_EQ(roundTrip, base + 7ms);
}

TEST(TavolinISO8601, RejectsMalformedOrOutOfRangeText) {
  for (const char* text :
       {"", "2026-01-31", "2026-01-31T09:15:02", "2026-01-31 09:15:02Z", "2026-02-30T09:15:02Z",
        "2026-13-01T09:15:02Z", "2026-01-31T24:00:00Z", "2026-01-31T09:15:02.Z",
        "2026-01-31T09:15:02Zjunk", "4052-03-01T12:00:00.000Z", "1200-01-01T00:00:00Z",
        "2026-1-31T09:15:02Z", "2026-01-31T09:15:02+0200"}) {
    EXPECT_FALSE(TavolinISO8601::date(text).has_value()) << text;
  }
}

TEST(EnvironmentParsing, BooleanWordsAreTrimmedAndCaseFolded) {
  EXPECT_EQ(parseBooleanWord("  Yes \n"), true);
  EXPECT_EQ(parseBooleanWord("ENABLED"), true);
  EXPECT_EQ(parseBooleanWord("1"), true);
  EXPECT_EQ(parseBooleanWord("\tOff"), false);
  EXPECT_EQ(parseBooleanWord("disabled"), false);
  EXPECT_EQ(parseBooleanWord("0"), false);
  EXPECT_EQ(parseBooleanWord("maybe"), std::nullopt);
  EXPECT_EQ(parseBooleanWord(""), std::nullopt);
  EXPECT_EQ(parseBooleanWord("   "), std::nullopt);
  EXPECT_EQ(parseBooleanWord("2"), std::nullopt);
}

TEST(EnvironmentParsing, IntegersTakeASignAndDigitsOnly) {
  EXPECT_EQ(parseInteger("42"), 42);
  EXPECT_EQ(parseInteger("+42"), 42);
  EXPECT_EQ(parseInteger("-42"), -42);
  for (const char* text :
       {"", "+", "-", " 42", "42 ", "4.2", "0x10", "+-1", "1e3", "99999999999999999999"}) {
    EXPECT_EQ(parseInteger(text), std::nullopt) << text;
  }
}

TEST(EnvironmentParsing, VariablesFallBackAndClampToTheirRange) {
  const Environment environment{{"LOW", "5"},       {"HIGH", "99999"}, {"BAD", "12 "},
                                {"OK", "1200"},     {"NEG", "-3"},     {"FLAG", " on "},
                                {"JUNK", "perhaps"}};
  EXPECT_EQ(environmentInteger(environment, "LOW", 800, 100, 5000), 100);
  EXPECT_EQ(environmentInteger(environment, "HIGH", 800, 100, 5000), 5000);
  EXPECT_EQ(environmentInteger(environment, "BAD", 800, 100, 5000), 800);
  EXPECT_EQ(environmentInteger(environment, "OK", 800, 100, 5000), 1200);
  EXPECT_EQ(environmentInteger(environment, "NEG", 90, 1, 365), 1);
  EXPECT_EQ(environmentInteger(environment, "MISSING", 60, 30, 120), 60);
  EXPECT_TRUE(environmentBoolean(environment, "FLAG", false));
  EXPECT_TRUE(environmentBoolean(environment, "JUNK", true));
  EXPECT_FALSE(environmentBoolean(environment, "MISSING", false));
}

TEST(Identifiers, PrefixPlusUpperCaseUuidAndUnique) {
  const std::regex shape(
      "local_session_[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string id = makeIdentifier("local_session_");
    ASSERT_TRUE(std::regex_match(id, shape)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(Identifiers, UuidTextIsStrictAndWrittenInUpperCase) {
  const auto uuid = uuidFromString("6f9619ff-8b86-d011-b42d-00c04fc964Ff");
  ASSERT_TRUE(uuid);
  EXPECT_EQ(uuidString(*uuid), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
  EXPECT_EQ(uuidFromString(uuidString(*uuid)), uuid);
  for (const char* text :
       {"", "6F9619FF8B86D011B42D00C04FC964FF", "{6F9619FF-8B86-D011-B42D-00C04FC964FF}",
        "6F9619FF-8B86-D011-B42D-00C04FC964F", "6F9619FF-8B86-D011-B42D-00C04FC964FG",
        "6F9619FF-8B86-D011-B42D+00C04FC964FF", " 6F9619FF-8B86-D011-B42D-00C04FC964F"}) {
    EXPECT_FALSE(uuidFromString(text)) << text;
  }
}

TEST(AppPaths, FollowsXdgVariablesAndIgnoresRelativeOnes) {
  const auto defaults = AppPaths::fromEnvironment({{"HOME", "/home/ada"}});
  EXPECT_EQ(defaults.dataDirectory, "/home/ada/.local/share/tavolin");
  EXPECT_EQ(defaults.logsDirectory, "/home/ada/.local/state/tavolin/logs");
  EXPECT_EQ(defaults.configDirectory, "/home/ada/.config/tavolin");

  const auto custom = AppPaths::fromEnvironment({{"HOME", "/home/ada"},
                                                 {"XDG_DATA_HOME", "/data"},
                                                 {"XDG_STATE_HOME", "relative/state"},
                                                 {"XDG_CONFIG_HOME", "/cfg"}});
  EXPECT_EQ(custom.dataDirectory, "/data/tavolin");
  EXPECT_EQ(custom.logsDirectory, "/home/ada/.local/state/tavolin/logs");
  EXPECT_EQ(custom.userDefaultsFile(), "/cfg/tavolin/defaults.json");
}

mode_t modeOf(const std::filesystem::path& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mode & 0777;
}

TEST(SecureFiles, AtomicWriteReplacesWithPrivateModeAndLeavesNoTemporaryFile) {
  testing::TemporaryDirectory temporary;
  const auto directory = temporary.path() / "a" / "b";
  std::filesystem::create_directories(directory);
  std::filesystem::permissions(directory, std::filesystem::perms::all);
  ensurePrivateDirectory(directory);
  EXPECT_EQ(modeOf(directory), 0700u);

  const auto file = directory / "state.json";
  const mode_t previousMask = umask(0077);
  writeFileAtomically(file, "first");
  umask(previousMask);
  writeFileAtomically(file, "second");
  EXPECT_EQ(readFileIfExists(file), "second");
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory), {}), 1);
  EXPECT_EQ(readFileIfExists(directory / "missing"), std::nullopt);
  EXPECT_THROW(writeFileAtomically(temporary.path() / "no" / "such" / "dir", "x"),
               std::filesystem::filesystem_error);
}

TEST(SecureFiles, StaleTemporaryFiles_OnlyOursGoAlsoAfterWritersWereKilled) {
  namespace fs = std::filesystem;
  testing::TemporaryDirectory temporary;
  const fs::path& directory = temporary.path();
  const std::string uuid = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
  const std::vector<std::string> ours{".state.json.tmp-" + uuid, ".a.tmp-" + uuid};
  const std::vector<std::string> others{
      "state.json.tmp-" + uuid,                                // no leading dot
      "..tmp-" + uuid,                                         // no name
      ".state.json.tmp-" + uuid.substr(1),                     // not a whole UUID
      ".state.json.tmp-6f9619ff-8b86-d011-b42d-00c04fc964ff",  // not as we write it
      ".state.json.tmp-" + uuid + ".bak",
      ".state.json.tmp-",
      "state.json",
  };
  for (const auto& name : ours)
    writeFileAtomically(directory / name, "x");
  for (const auto& name : others)
    writeFileAtomically(directory / name, "x");
  fs::create_directory(directory / (".dir.tmp-" + uuid));
  fs::create_symlink(directory / "state.json", directory / (".link.tmp-" + uuid));
  fs::create_directory(directory / "nested");
  writeFileAtomically(directory / "nested" / (".b.tmp-" + uuid), "x");

  EXPECT_EQ(removeStaleTemporaryFiles(directory), ours.size());
  for (const auto& name : ours)
    EXPECT_FALSE(fs::exists(directory / name)) << name;
  for (const auto& name : others)
    EXPECT_TRUE(fs::exists(directory / name)) << name;
  EXPECT_TRUE(fs::is_directory(directory / (".dir.tmp-" + uuid)));
  EXPECT_TRUE(fs::is_symlink(directory / (".link.tmp-" + uuid)));
  EXPECT_TRUE(fs::exists(directory / "state.json")) << "the link's target";
  EXPECT_TRUE(fs::exists(directory / "nested" / (".b.tmp-" + uuid)));
  EXPECT_EQ(removeStaleTemporaryFiles(directory / "missing"), 0u);

  // Writers killed at random points leave the target whole and nothing the clean-up misses.
  const fs::path killed = directory / "killed";
  fs::create_directory(killed);
  const fs::path target = killed / "state.json";
  const auto contentsOf = [](int writer) { return std::string(256 * 1024, char('a' + writer)); };
  for (int writer = 0; writer < 10; ++writer) {
    struct stat before {};
    const bool existed = ::stat(target.c_str(), &before) == 0;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int round = 0; round < 100000; ++round)
        writeFileAtomically(target, contentsOf(writer));
      ::_exit(0);
    }
    // Once it has replaced the file, the child is somewhere in its next write.
    EXPECT_TRUE(testing::eventually([&] {
      struct stat now {};
      return ::stat(target.c_str(), &now) == 0 && (!existed || now.st_ino != before.st_ino);
    }));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }
  removeStaleTemporaryFiles(killed);
  EXPECT_EQ(std::distance(fs::directory_iterator(killed), {}), 1);
  const auto contents = readFileIfExists(target).value();
  EXPECT_EQ(contents, contentsOf(contents.front() - 'a'));
}

TEST(UserDefaults, PersistsAcrossInstancesAndToleratesADamagedFile) {
  testing::TemporaryDirectory temporary;
  const auto file = temporary.path() / "config" / "defaults.json";
  UserDefaults first(file);
  EXPECT_EQ(first.value("k"), std::nullopt);
  first.set("k", true);
  first.set("n", 3);
  EXPECT_EQ(UserDefaults(file).value("k"), JSONValue(true));
  first.remove("k");
  EXPECT_EQ(UserDefaults(file).value("k"), std::nullopt);
  EXPECT_EQ(UserDefaults(file).value("n"), JSONValue(3.0));

  writeFileAtomically(file, "{not json");
  EXPECT_EQ(first.value("n"), std::nullopt);
  first.set("n", 4);
  EXPECT_EQ(first.value("n"), JSONValue(4));
}

TEST(GraphemeClusters, CountsWhatAPersonSeesAsOneCharacter) {
  EXPECT_EQ(graphemeClusterCount(""), 0u);
  EXPECT_EQ(graphemeClusterCount("hello"), 5u);
  EXPECT_EQ(graphemeClusterCount("Привет ✓ 日本"), 11u);
  EXPECT_EQ(graphemeClusterCount("e\u0301"), 1u);               // e + combining acute
  EXPECT_EQ(graphemeClusterCount("a\r\nb"), 3u);                // CR LF is one
  EXPECT_EQ(graphemeClusterCount("\U0001F44D\U0001F3FD"), 1u);  // thumbs up, skin tone
  EXPECT_EQ(graphemeClusterCount("\U0001F468\u200D\U0001F469\u200D\U0001F467"), 1u);  // family
  EXPECT_EQ(graphemeClusterCount("1\uFE0F\u20E3"), 1u);                               // keycap
  EXPECT_EQ(graphemeClusterCount("\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7"), 2u);    // two flags
  EXPECT_EQ(graphemeClusterCount("\U0001F1E9\U0001F1EA\U0001F1EB"), 2u);        // a flag and a half
  EXPECT_EQ(graphemeClusterCount("\u1100\u1161\u11A8"), 1u);                    // jamo L V T
  EXPECT_EQ(graphemeClusterCount("\uD55C\uAE00"), 2u);                          // two syllables
  EXPECT_EQ(graphemeClusterCount("\u0928\u092E\u0938\u094D\u0924\u0947"), 4u);  // Devanagari
  EXPECT_EQ(graphemeClusterCount("\xff\xfe"), 2u);                              // invalid bytes
}

}  // namespace
}  // namespace tavolin
