#include <gtest/gtest.h>

#include "ControlPlaneServer/ControlPlaneCommandLine.hpp"

namespace tavolin {
namespace {

TEST(ControlPlaneCommandLine, Parse_TakesListenAndDatabaseInBothForms) {
  const auto defaults = ControlPlaneCommandLine::parse({});
  EXPECT_EQ(defaults.listenHost, "127.0.0.1");
  EXPECT_EQ(defaults.listenPort, 8787);
  EXPECT_FALSE(defaults.databaseFile);

  const auto spaced =
      ControlPlaneCommandLine::parse({"--listen", "0.0.0.0:0", "--database", "/tmp/a.sqlite3"});
  EXPECT_EQ(spaced.listenHost, "0.0.0.0");
  EXPECT_EQ(spaced.listenPort, 0);
  EXPECT_EQ(spaced.databaseFile, std::filesystem::path("/tmp/a.sqlite3"));

  const auto joined = ControlPlaneCommandLine::parse({"--listen=[::1]:65535", "--database=b.db"});
  EXPECT_EQ(joined.listenHost, "::1");
  EXPECT_EQ(joined.listenPort, 65535);
  EXPECT_EQ(joined.databaseFile, std::filesystem::path("b.db"));

  EXPECT_TRUE(ControlPlaneCommandLine::parse({"--help"}).showHelp);
  AppPaths paths;
  paths.dataDirectory = "/d/tavolin";
  EXPECT_EQ(ControlPlaneCommandLine::defaultDatabaseFile(paths),
            std::filesystem::path("/d/tavolin/control-plane.sqlite3"));
}

TEST(ControlPlaneCommandLine, Parse_RejectsWhatItCannotServe) {
  for (const auto& arguments :
       std::vector<std::vector<std::string>>{{"--listen"},
                                             {"--listen", "8787"},
                                             {"--listen", ":8787"},
                                             {"--listen", "127.0.0.1:65536"},
                                             {"--listen", "127.0.0.1:-1"},
                                             {"--listen", "127.0.0.1:http"},
                                             {"--listen", "::1:8787"},
                                             {"--listen", "[::1:8787"},
                                             {"--database="},
                                             {"--port", "1"},
                                             {"serve"}}) {
    EXPECT_THROW(ControlPlaneCommandLine::parse(arguments), ControlPlaneUsageError)
        << ::testing::PrintToString(arguments);
  }
}

}  // namespace
}  // namespace tavolin
