// A child process whose standard input, output and error are pipes that
// the parent reads and writes from greenlets or plain threads without
// blocking the thread. Reads wait as long as the child may write: to read
// for at most N ms, read in a greenlet and join it with that timeout.
//
// The child inherits its three standard handles and nothing else, so a
// reader sees the end of its output once it has ended. Destroying the last
// handle ends a child that still runs. A ChildProcess is a shared handle.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "green/Generator.h"
#include "green/Gevent.h"
#include "green/RegEx.h"
#include "green/detail/Access.h"
#include "green/detail/Names.h"

namespace green {

class ChildProcess {
 public:
  // Starts Cmd (a path, or a bare name searched for as Windows does: the
  // executable's folder, the current folder, PATH) with Args appended to
  // its command line, unquoted, one blank apart, in WorkDir (empty: the
  // current folder). Raises a std::exception with the system's text when
  // the child cannot start.
  explicit ChildProcess(const std::string& Cmd, const std::vector<std::string>& Args = {},
                        const std::string& WorkDir = "");

  // The lines of the child's standard output, without their ends; a line
  // ends with the first of EOLs found. Raises for an empty EOLs.
  Generator<std::string> ReadLines(const std::vector<std::string>& EOLs = {"\r\n", "\n"});
  // The matches of Pattern in the standard output; text between them is
  // dropped.
  Generator<std::string> ReadMatches(const RegEx& Pattern);
  // The same of the standard error.
  Generator<std::string> ReadErrorLines(const std::vector<std::string>& EOLs = {"\r\n", "\n"});
  // Writes Line and the end of line to the child's standard input; false
  // when it could not be written whole.
  bool WriteLine(const std::string& Line, const std::string& EOL = "\n");

  uint32_t ProcessId() const;
  // Signalled once the child has ended.
  Gevent OnTerminate() const;
  // Without Wait, raises while the child runs.
  int32_t ExitCode(bool Wait = true) const;
  void Terminate(int32_t ExitCode = 0);

 private:
  friend struct detail::Access;
  struct Impl;
  std::shared_ptr<Impl> FImpl;
};

}  // namespace green
