#include "platform/posix/PipeDirectory.h"

#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/Error.h"
#include "platform/posix/Errno.h"

namespace green::os {

namespace {

constexpr std::string_view kPrefix = "\\\\.\\pipe\\";
constexpr size_t kMaxSocketPath = sizeof(sockaddr_un{}.sun_path) - 1;
constexpr std::string_view kSocketSuffix = ".sock";
constexpr size_t kHashedStem = 33;  // "~" and 32 hex digits

char Lower(char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C; }

bool StartsWithPrefix(std::string_view Name) {
  if (Name.size() < kPrefix.size()) return false;
  for (size_t I = 0; I < kPrefix.size(); ++I)
    if (Lower(Name[I]) != kPrefix[I]) return false;
  return true;
}

bool IsPlain(char C) {
  return (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '-' || C == '_' || C == '.';
}

// A directory we may keep pipes in: a real directory, ours, closed to others.
bool IsPrivateDirectory(const std::string& Path) {
  struct stat S;
  return lstat(Path.c_str(), &S) == 0 && S_ISDIR(S.st_mode) && S.st_uid == geteuid() &&
         (S.st_mode & 077) == 0;
}

// Path made if missing, then checked whether it was made now or before.
bool MakePrivateDirectory(const std::string& Path) {
  if (mkdir(Path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return IsPrivateDirectory(Path);
}

// Room must stay for a hashed stem and the suffix.
bool Fits(const std::string& Directory) {
  return Directory.size() + 1 + kHashedStem + kSocketSuffix.size() <= kMaxSocketPath;
}

std::string FindDirectory() {
  const char* Runtime = std::getenv("XDG_RUNTIME_DIR");
  if (Runtime && Runtime[0] == '/' && IsPrivateDirectory(Runtime)) {
    std::string Path = std::string(Runtime) + "/green-pipes";
    if (Fits(Path) && MakePrivateDirectory(Path)) return Path;
  }
  std::string Path = "/tmp/green-pipes-" + std::to_string(geteuid());
  return MakePrivateDirectory(Path) ? Path : std::string();
}

// Chosen once per process, so that pipes do not move; made again and checked
// at each use, in case a cleaner of /tmp removed it or somebody replaced it.
std::string Directory() {
  static const std::string* Path = new std::string(FindDirectory());
  return !Path->empty() && MakePrivateDirectory(*Path) ? *Path : std::string();
}

// Two independent 64-bit FNV-1a hashes (different bases and primes) of the
// name: collisions are out of reach in practice.
std::string HashedStem(std::string_view Name) {
  uint64_t A = 0xcbf29ce484222325ull;
  uint64_t B = 0x84222325cbf29ce4ull;
  for (char C : Name) {
    const auto Byte = static_cast<unsigned char>(C);
    A = (A ^ Byte) * 0x100000001b3ull;
    B = (B ^ Byte) * 0x00000100000001b5ull;
    B ^= B >> 29;
  }
  char Text[kHashedStem + 1];
  std::snprintf(Text, sizeof Text, "~%016llx%016llx", static_cast<unsigned long long>(A),
                static_cast<unsigned long long>(B));
  return Text;
}

std::string StemOf(std::string_view Name, size_t Room) {
  std::string Stem;
  for (char C : Name) Stem += Lower(C);
  bool Plain = Stem.size() <= Room && Stem[0] != '.';
  for (char C : Stem) Plain = Plain && IsPlain(C);
  return Plain ? Stem : HashedStem(Stem);
}

}  // namespace

bool PipePathsOf(std::string_view Name, PipePaths& Paths) {
  if (!StartsWithPrefix(Name)) return Fail(kErrorPathNotFound);
  Name.remove_prefix(kPrefix.size());
  if (Name.empty() || Name.find('\0') != std::string_view::npos) return Fail(kErrorInvalidName);
  const std::string Dir = Directory();
  if (Dir.empty()) return Fail(kErrorAccessDenied);
  const std::string Stem = StemOf(Name, kMaxSocketPath - Dir.size() - 1 - kSocketSuffix.size());
  Paths.Socket = Dir + "/" + Stem + std::string(kSocketSuffix);
  Paths.Lock = Dir + "/" + Stem + ".lock";
  return true;
}

}  // namespace green::os
