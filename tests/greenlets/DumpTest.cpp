// DumpGreenlets: what each greenlet waits on, hubs of other threads, and
// dumps taken from another thread while greenlets switch, wait and die.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "greenlets/Greenlets.h"

namespace green {
namespace {

std::string Address(const TSymmetric& G) {
  return DumpAddress(static_cast<TRawGreenletImpl*>(G.Impl->GetInstance()));
}

// The report's line of one greenlet, found by its address.
std::string LineOf(const std::string& Dump, const TSymmetric& G) {
  std::istringstream in(Dump);
  for (std::string line; std::getline(in, line);)
    if (line.find("greenlet " + Address(G) + " ") != std::string::npos) return line;
  return "";
}

// The milliseconds the report gives before Unit ("ms left", ...).
long NumberBefore(const std::string& Line, const std::string& Unit) {
  const size_t at = Line.find(" " + Unit);
  if (at == std::string::npos) return -1;
  const size_t from = Line.rfind(' ', at - 1);
  return std::strtol(Line.c_str() + from + 1, nullptr, 10);
}

void KillAll(const std::vector<TSymmetric>& Gs) {
  for (const TSymmetric& g : Gs) g.Impl->Kill();
  std::vector<RefPtr<IRawGreenlet>> all;
  for (const TSymmetric& g : Gs) all.push_back(g.Impl);
  EXPECT_TRUE(Join(all, 10000));
}

TEST(Dump, NamesWhatEachGreenletWaitsOn) {
  TSingleThreadHub hub;
  TCurrentHubScope scope(&hub);
  auto ev = MakeRef<TGevent>(false, false);
  TSymmetric waiter = TSymmetric::Spawn([&] { ev->WaitFor(INFINITE); });
  waiter.SetName("waiter");
  TSymmetric timed = TSymmetric::Spawn([&] { ev->WaitFor(60000); });
  TSymmetric sleeper = TSymmetric::Spawn([] { GreenSleep(60000); });
  sleeper.SetName("sleeper");
  TSymmetric joiner = TSymmetric::Spawn([&] { Join({waiter.Impl}, 60000); });
  TSymmetric ready = TSymmetric::Create([] {});

  const std::string dump = DumpGreenlets();
  EXPECT_NE(dump.find("hub " + DumpAddress(&hub) + ", not serving: 5 greenlets\n"),
            std::string::npos)
      << dump;

  const std::string w = LineOf(dump, waiter);
  EXPECT_NE(w.find("TSymmetricImpl \"waiter\" gsSuspended waits on gevent " +
                   DumpAddress(ev.get()) + ", no timeout, "),
            std::string::npos)
      << w;
  EXPECT_GE(NumberBefore(w, "ms since its last switch"), 0) << w;

  const std::string t = LineOf(dump, timed);
  EXPECT_NE(t.find("gsSuspended waits on gevent " + DumpAddress(ev.get())), std::string::npos) << t;
  EXPECT_EQ(t.find('"'), std::string::npos) << "no name given: none shown";
  const long left = NumberBefore(t, "ms left");
  EXPECT_GT(left, 30000) << t;
  EXPECT_LE(left, 60000) << t;

  const std::string s = LineOf(dump, sleeper);
  EXPECT_NE(s.find("\"sleeper\" gsSuspended sleeps, "), std::string::npos) << s;
  EXPECT_GT(NumberBefore(s, "ms left"), 30000) << s;

  const std::string j = LineOf(dump, joiner);
  EXPECT_NE(j.find(" joins greenlet " + Address(waiter) + ", "), std::string::npos) << j;
  EXPECT_GT(NumberBefore(j, "ms left"), 30000) << j;

  const std::string r = LineOf(dump, ready);
  EXPECT_NE(r.find("(not started) gsReady"), std::string::npos) << r;
  EXPECT_EQ(r.find("waits"), std::string::npos) << r;
  EXPECT_EQ(r.find("since"), std::string::npos) << "never switched away" << r;

  KillAll({waiter, timed, sleeper, joiner});
  const std::string after = LineOf(DumpGreenlets(), waiter);
  EXPECT_NE(after.find("gsKilled,"), std::string::npos) << "its wait is over" << after;
}

// A green thread's hub is the default hub of its thread, dumped from here
// while that thread runs.
TEST(Dump, ListsTheHubOfAGreenThreadWithItsThread) {
  auto thread = std::make_unique<TGreenThread>();
  auto ev = MakeRef<TGevent>(true, false);
  TSymmetric g = thread->Symmetrics().Spawn([&] { ev->WaitFor(INFINITE); });
  // The state is stored after the note: seeing it suspended, the note shows.
  for (int i = 0; i < 1000 && g.Impl->GetState() != gsSuspended; ++i)
    g.Impl->GetOnStateChanged()->WaitFor(10);
  ASSERT_EQ(g.Impl->GetState(), gsSuspended);
  g.SetName("remote");
  const std::string dump = DumpGreenlets();
  EXPECT_NE(dump.find("hub " + DumpAddress(thread->Symmetrics().Hub()) + " (default), thread " +
                      std::to_string(thread->ThreadId()) + ": 1 greenlet\n"),
            std::string::npos)
      << dump;
  EXPECT_NE(LineOf(dump, g).find("\"remote\" gsSuspended waits on gevent"), std::string::npos)
      << dump;
  ev->SetEvent();
  EXPECT_TRUE(Join({g.Impl}, 10000));
  thread.reset();
}

// Dumps from a plain thread while greenlets on three green threads sleep,
// signal, join, rename themselves and end: the copies race with all of it.
TEST(Dump, FromAnotherThreadWhileGreenletsRun) {
  constexpr int kThreads = 3, kWorkers = 12, kRounds = 60;
  std::vector<std::unique_ptr<TGreenThread>> threads;
  for (int t = 0; t < kThreads; ++t) threads.push_back(std::make_unique<TGreenThread>());
  std::vector<RefPtr<TGevent>> events;
  for (int i = 0; i < kWorkers; ++i) events.push_back(MakeRef<TGevent>(false, false));

  std::atomic<bool> done{false};
  std::atomic<int> dumps{0};
  std::thread dumper([&] {
    while (!done.load()) {
      const std::string d = DumpGreenlets();
      if (d.find("hub ") != std::string::npos) ++dumps;
    }
  });

  std::vector<RefPtr<IRawGreenlet>> workers(kWorkers);
  for (int i = 0; i < kWorkers; ++i) {
    workers[i] = threads[i % kThreads]->Symmetrics().Spawn([&, i] {
      for (int r = 0; r < kRounds; ++r) {
        GetCurrent()->SetName("worker " + std::to_string(i) + " round " + std::to_string(r));
        GreenSleep(r % 2);
        events[(i + 1) % kWorkers]->SetEvent();
        events[i]->WaitFor(2);
        // Short-lived greenlets come and go under the dumps.
        TSymmetric child = TSymmetric::Spawn([] { GreenSleep(0); });
        if (r % 5 == 0) Join({child.Impl}, 5);
      }
    });
  }
  EXPECT_TRUE(Join(workers, 120000));
  done = true;
  dumper.join();
  EXPECT_GT(dumps.load(), 0);
  for (auto& w : workers) EXPECT_EQ(w->GetState(), gsTerminated);
  threads.clear();
}

}  // namespace
}  // namespace green
