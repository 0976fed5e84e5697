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
  EXPECT_FALSE(osReleaseValue("NAMEX=1\nXNAME=2\n", "NAME"));
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
