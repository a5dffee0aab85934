// Greenlets: routines on fibers of their own, run by the calling thread's
// hub, switching only where they wait, sleep or yield. A Greenlet is a
// shared handle: copies name the same greenlet, which lives while a handle
// does or while it runs.
//
// A greenlet's exception ends it in the Failed state; Join re-raises it
// when asked to (every runtime error derives from std::exception).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "green/detail/Access.h"
#include "green/detail/Names.h"

namespace green {

enum class GreenletState : uint8_t { Ready, Running, Ended, Killed, Failed, Suspended, Killing };

class Greenlet {
 public:
  // A greenlet that runs Routine once switched into.
  static Greenlet Create(std::function<void()> Routine);
  // Creates and enters at once: returns after the routine's first wait,
  // sleep or yield, or after its end.
  static Greenlet Spawn(std::function<void()> Routine);

  // Runs the greenlet until it waits, sleeps or yields.
  void Switch();
  // Ends it at its next wait (at once when it does not run).
  void Kill();
  // Waits for its end without a limit; RaiseErrors re-raises its exception.
  void Join(bool RaiseErrors = false);
  GreenletState State() const;
  // A name for reports: Greenlet::Spawn(...).SetName("reader").
  const Greenlet& SetName(const std::string& Value) const;
  std::string Name() const;

  // Inside a greenlet: sleeps for Timeout ms while the hub runs others. On
  // a thread outside any greenlet: serves the thread's hub meanwhile.
  static void Sleep(uint32_t Timeout);
  // Inside a greenlet: back to whoever runs it. Outside: one turn of the
  // hub's loop, which may wait until there is work.
  static void Yield();

  bool operator==(const Greenlet& Other) const { return FImpl == Other.FImpl; }

 private:
  friend struct detail::Access;
  struct Impl;
  explicit Greenlet(std::shared_ptr<Impl> Value) : FImpl(std::move(Value)) {}
  std::shared_ptr<Impl> FImpl;
};

// True when every greenlet ended within Timeout ms. Greenlets of the
// calling thread's hub are driven by the join; others are watched.
// RaiseErrors re-raises the exception of the first failed one found.
bool Join(const std::vector<Greenlet>& Greenlets, uint32_t Timeout = INFINITE,
          bool RaiseErrors = false);

// An operating-system thread that runs a hub of its own until killed or
// destroyed; the greenlets still on that hub are then killed.
class GreenThread {
 public:
  GreenThread();
  ~GreenThread();
  GreenThread(const GreenThread&) = delete;
  GreenThread& operator=(const GreenThread&) = delete;

  // A greenlet on this thread's hub, started there.
  Greenlet Spawn(std::function<void()> Routine);
  // Whether the caller runs on this thread's hub.
  bool IsCurrent() const;
  // Ends the thread; Wait blocks until it has ended.
  void Kill(bool Wait = true);

 private:
  friend struct detail::Access;
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

}  // namespace green
