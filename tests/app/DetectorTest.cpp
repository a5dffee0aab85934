// The detector's release table and the lines it prints.
#include <gtest/gtest.h>

#include "Quorlin/DotNetRelease.h"
#include "app/fmMain.h"

namespace quorlin {
namespace {

TEST(DetectorRelease, EachVersionFromItsMinimumRelease) {
  EXPECT_EQ(FrameworkVersion(0), "4.0");
  EXPECT_EQ(FrameworkVersion(378388), "4.0");
  EXPECT_EQ(FrameworkVersion(378389), "4.5");
  EXPECT_EQ(FrameworkVersion(394802), "4.6.2");
  EXPECT_EQ(FrameworkVersion(394806), "4.6.2");
  EXPECT_EQ(FrameworkVersion(461808), "4.7.2");
  EXPECT_EQ(FrameworkVersion(528039), "4.7.2");
  EXPECT_EQ(FrameworkVersion(528040), "4.8");
  EXPECT_EQ(FrameworkVersion(528449), "4.8");
  EXPECT_EQ(FrameworkVersion(533325), "4.8.1");
  EXPECT_EQ(FrameworkVersion(0xFFFFFFFF), "4.8.1");
}

TEST(DetectorRelease, OnlyTheFoundLineHoldsTheLaunchersMarker) {
  EXPECT_EQ(FoundLine(528040), ".NET Framework 4.8 (release 528040)");
  EXPECT_TRUE(green::HasDotNetMarker(FoundLine(378389)));
  EXPECT_FALSE(green::HasDotNetMarker(AbsentLine()));
}

TEST(DetectorRelease, OutputIsCodePage1251WithCrLf) {
  EXPECT_EQ(OutputLine("abc"), "abc\r\n");
  EXPECT_EQ(OutputLine("Mono \xC3\xA9"), "Mono ??\r\n");
}

}  // namespace
}  // namespace quorlin
