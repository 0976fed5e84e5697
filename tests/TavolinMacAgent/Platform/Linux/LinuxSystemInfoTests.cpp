#include <fstream>

#include <gtest/gtest.h>

#include "TavolinMacAgent/Platform/Linux/LinuxSystemInfo.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

TEST(LinuxSystemInfo, OSVersion_NamesDistributionVersionAndKernel) {
  EXPECT_EQ(linuxOSVersion("PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian "
                           "GNU/Linux\"\nVERSION_ID=\"12\"\n",
                           "6.1.0-18-amd64"),
            "Linux Debian 12 (6.1.0)");
  EXPECT_EQ(linuxOSVersion("NAME=Ubuntu\r\nVERSION_ID='22.04'\r\n", "5.15.0-91-generic"),
            "Linux Ubuntu 22.04 (5.15.0)");
  EXPECT_EQ(linuxOSVersion("NAME=\"Arch Linux\"\nBUILD_ID=rolling\n", "6.7.4-arch1-1"),
            "Linux Arch Linux (6.7.4)");
  EXPECT_EQ(linuxOSVersion("PRETTY_NAME=\"Custom \\\"OS\\\"\"\n", "6.1"),
            "Linux Custom \"OS\" (6.1)");
  EXPECT_EQ(linuxOSVersion("", ""), "Linux");
  EXPECT_EQ(linuxOSVersion("NAME=\xff\xfe\n", "x"), "Linux");
  EXPECT_EQ(linuxOSVersion("NAMEX=1\nXNAME=2\n", ""), "Linux");
}

TEST(LinuxSystemInfo, ParseOSRelease_ReadsValuesAsTheShellWould) {
  const auto fields = parseOSRelease(
      "# NAME=commented\n"
      "  NAME=\"Debian GNU/Linux\"  # trailing words are no part of it\n"
      "VERSION_ID='12'\r\n"
      "ID=debian\n"
      "QUOTED=\"say \\\"hi\\\" \\$HOME \\\\ \\n `x`\"\n"
      "BARE=a\\ b\\'c\"d e\"'f g'\n"
      "JOINED=\"one\\\ntwo\"\n"
      "LINES='x\ny'\n"
      "not an assignment\n"
      "BAD KEY=1\n"
      "1X=1\n"
      "ID=debian2\n"
      "EMPTY=\n"
      "OPEN=\"never closed\nLATER=1\n");
  EXPECT_EQ(fields, (OSReleaseFields{{"NAME", "Debian GNU/Linux"},
                                     {"VERSION_ID", "12"},
                                     {"ID", "debian2"},
                                     {"QUOTED", "say \"hi\" $HOME \\ \\n `x`"},
                                     {"BARE", "a b'cd ef g"},
                                     {"JOINED", "onetwo"},
                                     {"LINES", "x\ny"},
                                     {"EMPTY", ""}}));
}

TEST(LinuxSystemInfo, OperatingSystemRelease_FromEtcElseUsrLibElseDefaults) {
  testing::TemporaryDirectory etc;
  testing::TemporaryDirectory usrLib;
  LinuxSystemInfo info(etc.path(), usrLib.path());
  EXPECT_EQ(info.operatingSystemRelease(), (OperatingSystemRelease{"Linux", "0"}));
  std::ofstream(usrLib.path() / "os-release") << "NAME=Fedora\nVERSION_ID=\"\"\n";
  EXPECT_EQ(info.operatingSystemRelease(), (OperatingSystemRelease{"Fedora", "0"}));
  std::ofstream(etc.path() / "os-release") << "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n";
  EXPECT_EQ(info.operatingSystemRelease(), (OperatingSystemRelease{"Debian GNU/Linux", "12"}));
}

TEST(LinuxSystemInfo, ComputerName_ComesFromMachineInfoWhenSet) {
  testing::TemporaryDirectory etc;
  LinuxSystemInfo info(etc.path());
  EXPECT_FALSE(info.computerName());
  EXPECT_EQ(info.platformName(), "linux");
  EXPECT_FALSE(info.hostName().empty());

  std::ofstream(etc.path() / "machine-info") << "PRETTY_HOSTNAME=\"Ada's Desk\"\n";
  EXPECT_EQ(info.computerName(), "Ada's Desk");
  std::ofstream(etc.path() / "machine-info") << "PRETTY_HOSTNAME=\n";
  EXPECT_FALSE(info.computerName());
}

}  // namespace
}  // namespace tavolin
