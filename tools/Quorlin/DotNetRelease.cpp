#include "Quorlin/DotNetRelease.h"

namespace quorlin {

namespace {

struct TRelease {
  uint32_t Minimum;
  const char* Version;
};

// Microsoft's minimum "Release" value of each version, oldest first.
constexpr TRelease kReleases[] = {
    {378389, "4.5"},   {378675, "4.5.1"}, {379893, "4.5.2"}, {393295, "4.6"},
    {394254, "4.6.1"}, {394802, "4.6.2"}, {460798, "4.7"},   {461308, "4.7.1"},
    {461808, "4.7.2"}, {528040, "4.8"},   {533320, "4.8.1"}};

}  // namespace

std::string FrameworkVersion(uint32_t Release) {
  const char* Version = "4.0";
  for (const TRelease& R : kReleases)
    if (Release >= R.Minimum) Version = R.Version;
  return Version;
}

std::string FoundLine(uint32_t Release) {
  return ".NET Framework " + FrameworkVersion(Release) + " (release " + std::to_string(Release) + ")";
}

std::string AbsentLine() { return "No .NET runtime 4.x is installed"; }

std::string OutputLine(std::string_view Text) {
  std::string Line;
  for (char C : Text) Line += static_cast<unsigned char>(C) < 0x80 ? C : '?';
  return Line + "\r\n";
}

}  // namespace quorlin
