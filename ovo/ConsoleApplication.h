// A child process whose standard input, output and error are named pipes:
// the parent reads and writes the server ends as providers, from greenlets
// or plain threads, without blocking the thread.
//
// MakeOvoConsoleApp starts Cmd (a path, or a bare name searched for as
// Windows searches: the executable's directory, the current directory,
// PATH) with Args appended to its command line unquoted, joined by single
// blanks, in WorkDir (empty: the parent's current directory). It returns
// with the child started and all three pipes connected, or raises
// TOvoProvider::EIOError ("OvoConsoleApplication error: " and the system's
// text). It must run where the calling thread's hub serves greenlets while
// it waits (a plain thread or a greenlet of that hub).
//
// The child inherits its three standard handles and nothing else; the
// parent keeps no copy of the child's ends, so a reader sees the end of the
// stream once the child has ended. Releasing the last reference terminates
// a child that still runs, with exit code 0.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "base/RefCounted.h"
#include "gevent/Gevent.h"
#include "greenlets/VarRec.h"
#include "ovo/Encoding.h"
#include "ovo/Provider.h"

namespace green {

class IOvoConsoleApplication : public virtual IInterface {
 public:
  // The encoding and end-of-line of all pipe ends (default: code page
  // 1251, CR LF).
  virtual TEncoding* GetEncoding() = 0;
  virtual void SetEncoding(const TEncoding& Value) = 0;
  virtual std::string GetEOL() = 0;
  virtual void SetEOL(const std::string& Value) = 0;
  // The parent's ends: the parent writes StdIn and reads the other two.
  // The same object each call.
  virtual RefPtr<IOvoProvider> StdIn() = 0;
  virtual RefPtr<IOvoProvider> StdOut() = 0;
  virtual RefPtr<IOvoProvider> StdError() = 0;
  virtual uint32_t ProcessId() = 0;
  // Signalled once the child has ended; owned by the application.
  virtual TGevent* OnTerminate() = 0;
  // Block false raises "OvoConsoleApplication.GetExitCode: process not
  // terminated" while the child runs.
  virtual int32_t GetExitCode(bool Block) = 0;
  virtual void Terminate(int32_t ExitCode) = 0;
};

RefPtr<IOvoConsoleApplication> MakeOvoConsoleApp(const std::string& Cmd,
                                                 std::initializer_list<TVarRec> Args = {},
                                                 const std::string& WorkDir = "");

}  // namespace green
