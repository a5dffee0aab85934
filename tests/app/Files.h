// Files for the launcher's tests: a scratch directory that is the current
// one while it lives, and waiting for a report that a detached program
// writes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>

namespace green::testing {

namespace fs = std::filesystem;

class TScratchDir {
 public:
  explicit TScratchDir(const std::string& Name)
      : FPath(fs::temp_directory_path() / (Name + "-" + std::to_string(std::chrono::steady_clock::now()
                                                                             .time_since_epoch()
                                                                             .count()))),
        FSaved(fs::current_path()) {
    fs::create_directories(FPath);
    fs::current_path(FPath);
  }
  ~TScratchDir() {
    std::error_code Ignored;
    fs::current_path(FSaved, Ignored);
    fs::remove_all(FPath, Ignored);
  }
  const fs::path& Path() const { return FPath; }

 private:
  fs::path FPath;
  fs::path FSaved;
};

inline std::string ReadFile(const fs::path& Path) {
  std::ifstream In(Path, std::ios::binary);
  return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

// A detached program is detached on purpose: there is no handle to wait
// on, so this looks for the file it renames into place when it is done.
inline std::optional<std::string> WaitForFile(const fs::path& Path,
                                              std::chrono::seconds Limit = std::chrono::seconds(60)) {
  const auto Deadline = std::chrono::steady_clock::now() + Limit;
  while (!fs::exists(Path)) {
    if (std::chrono::steady_clock::now() > Deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ReadFile(Path);
}

// The directory of the programs: the test programs are built into it too.
fs::path BinDir();

}  // namespace green::testing
