// Compiled regular expressions (PCRE2, UTF-8 text). A RegEx is a value:
// copies share one compiled expression, which never changes, so copies may
// be used on several threads at once.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "green/detail/Access.h"

namespace green {

class RegEx {
 public:
  struct Match {
    bool Success = false;
    size_t Index = 0;   // where the match starts (bytes)
    size_t Length = 0;  // its length (bytes)
    std::string Value;
  };

  // Raises a std::exception that names the fault and its offset when
  // Pattern does not compile.
  explicit RegEx(const std::string& Pattern);

  // The first match that starts at Start or later.
  Match Find(std::string_view Subject, size_t Start = 0) const;
  const std::string& Pattern() const;

 private:
  friend struct detail::Access;
  struct Impl;
  std::shared_ptr<const Impl> FImpl;
};

}  // namespace green
