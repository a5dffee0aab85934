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
  std::istringstream In(Dump);
  for (std::string Line; std::getline(In, Line);)
    if (Line.find("greenlet " + Address(G) + " ") != std::string::npos) return Line;
  return "";
}

// The milliseconds the report gives before Unit ("ms left", ...).
long NumberBefore(const std::string& Line, const std::string& Unit) {
  const size_t At = Line.find(" " + Unit);
  if (At == std::string::npos) return -1;
  const size_t From = Line.rfind(' ', At - 1);
  return std::strtol(Line.c_str() + From + 1, nullptr, 10);
}

void KillAll(const std::vector<TSymmetric>& Gs) {
  for (const TSymmetric& G : Gs) G.Impl->Kill();
  std::vector<RefPtr<IRawGreenlet>> All;
  for (const TSymmetric& G : Gs) All.push_back(G.Impl);
  EXPECT_TRUE(Join(All, 10000));
}

TEST(Dump, NamesWhatEachGreenletWaitsOn) {
  TSingleThreadHub Hub;
  TCurrentHubScope Scope(&Hub);
  auto Ev = MakeRef<TGevent>(false, false);
  TSymmetric Waiter = TSymmetric::Spawn([&] { Ev->WaitFor(INFINITE); });
  Waiter.SetName("waiter");
  TSymmetric Timed = TSymmetric::Spawn([&] { Ev->WaitFor(60000); });
  TSymmetric Sleeper = TSymmetric::Spawn([] { GreenSleep(60000); });
  Sleeper.SetName("sleeper");
  TSymmetric Joiner = TSymmetric::Spawn([&] { Join({Waiter.Impl}, 60000); });
  TSymmetric Ready = TSymmetric::Create([] {});

  const std::string Dump = DumpGreenlets();
  EXPECT_NE(Dump.find("hub " + DumpAddress(&Hub) + ", not serving: 5 greenlets\n"),
            std::string::npos)
      << Dump;

  const std::string W = LineOf(Dump, Waiter);
  EXPECT_NE(W.find("TSymmetricImpl \"waiter\" gsSuspended waits on gevent " +
                   DumpAddress(Ev.get()) + ", no timeout, "),
            std::string::npos)
      << W;
  EXPECT_GE(NumberBefore(W, "ms since its last switch"), 0) << W;

  const std::string T = LineOf(Dump, Timed);
  EXPECT_NE(T.find("gsSuspended waits on gevent " + DumpAddress(Ev.get())), std::string::npos) << T;
  EXPECT_EQ(T.find('"'), std::string::npos) << "no name given: none shown";
  const long Left = NumberBefore(T, "ms left");
  EXPECT_GT(Left, 30000) << T;
  EXPECT_LE(Left, 60000) << T;

  const std::string S = LineOf(Dump, Sleeper);
  EXPECT_NE(S.find("\"sleeper\" gsSuspended sleeps, "), std::string::npos) << S;
  EXPECT_GT(NumberBefore(S, "ms left"), 30000) << S;

  const std::string J = LineOf(Dump, Joiner);
  EXPECT_NE(J.find(" joins greenlet " + Address(Waiter) + ", "), std::string::npos) << J;
  EXPECT_GT(NumberBefore(J, "ms left"), 30000) << J;

  const std::string R = LineOf(Dump, Ready);
  EXPECT_NE(R.find("(not started) gsReady"), std::string::npos) << R;
  EXPECT_EQ(R.find("waits"), std::string::npos) << R;
  EXPECT_EQ(R.find("since"), std::string::npos) << "never switched away" << R;

  KillAll({Waiter, Timed, Sleeper, Joiner});
  const std::string After = LineOf(DumpGreenlets(), Waiter);
  EXPECT_NE(After.find("gsKilled,"), std::string::npos) << "its wait is over" << After;
}

// A green thread's hub is the default hub of its thread, dumped from here
// while that thread runs.
TEST(Dump, ListsTheHubOfAGreenThreadWithItsThread) {
  auto Thread = std::make_unique<TGreenThread>();
  auto Ev = MakeRef<TGevent>(true, false);
  TSymmetric G = Thread->Symmetrics().Spawn([&] { Ev->WaitFor(INFINITE); });
  // The state is stored after the note: seeing it suspended, the note shows.
  for (int I = 0; I < 1000 && G.Impl->GetState() != gsSuspended; ++I)
    G.Impl->GetOnStateChanged()->WaitFor(10);
  ASSERT_EQ(G.Impl->GetState(), gsSuspended);
  G.SetName("remote");
  const std::string Dump = DumpGreenlets();
  EXPECT_NE(Dump.find("hub " + DumpAddress(Thread->Symmetrics().Hub()) + " (default), thread " +
                      std::to_string(Thread->ThreadId()) + ": 1 greenlet\n"),
            std::string::npos)
      << Dump;
  EXPECT_NE(LineOf(Dump, G).find("\"remote\" gsSuspended waits on gevent"), std::string::npos)
      << Dump;
  Ev->SetEvent();
  EXPECT_TRUE(Join({G.Impl}, 10000));
  Thread.reset();
}

// Dumps from a plain thread while greenlets on three green threads sleep,
// signal, join, rename themselves and end: the copies race with all of it.
TEST(Dump, FromAnotherThreadWhileGreenletsRun) {
  constexpr int kThreads = 3, kWorkers = 12, kRounds = 60;
  std::vector<std::unique_ptr<TGreenThread>> Threads;
  for (int T = 0; T < kThreads; ++T) Threads.push_back(std::make_unique<TGreenThread>());
  std::vector<RefPtr<TGevent>> Events;
  for (int I = 0; I < kWorkers; ++I) Events.push_back(MakeRef<TGevent>(false, false));

  std::atomic<bool> Done{false};
  std::atomic<int> Dumps{0};
  std::thread Dumper([&] {
    while (!Done.load()) {
      const std::string D = DumpGreenlets();
      if (D.find("hub ") != std::string::npos) ++Dumps;
    }
  });

  std::vector<RefPtr<IRawGreenlet>> Workers(kWorkers);
  for (int I = 0; I < kWorkers; ++I) {
    Workers[I] = Threads[I % kThreads]->Symmetrics().Spawn([&, I] {
      for (int R = 0; R < kRounds; ++R) {
        GetCurrent()->SetName("worker " + std::to_string(I) + " round " + std::to_string(R));
        GreenSleep(R % 2);
        Events[(I + 1) % kWorkers]->SetEvent();
        Events[I]->WaitFor(2);
        // Short-lived greenlets come and go under the dumps.
        TSymmetric Child = TSymmetric::Spawn([] { GreenSleep(0); });
        if (R % 5 == 0) Join({Child.Impl}, 5);
      }
    });
  }
  EXPECT_TRUE(Join(Workers, 120000));
  Done = true;
  Dumper.join();
  EXPECT_GT(Dumps.load(), 0);
  for (auto& W : Workers) EXPECT_EQ(W->GetState(), gsTerminated);
  Threads.clear();
}

}  // namespace
}  // namespace green
