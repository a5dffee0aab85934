// The gevent's waiter list across the move from its in-place slot to the
// heap: order kept, every reference released once, none leaked.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "base/RefCounted.h"
#include "gevent/WaiterList.h"

namespace green {
namespace {

struct TCounted : TInterfacedObject {
  explicit TCounted(int Value) : FValue(Value) {}
  int FValue;
};

TEST(WaiterList, KeepsOrderAndReferencesThroughGrowthRemovalAndRefill) {
  for (int N : {1, 2, 5, 9}) {
    SCOPED_TRACE(N);
    std::vector<RefPtr<TCounted>> Held;
    for (int I = 0; I < N; ++I) Held.push_back(MakeRef<TCounted>(I));
    {
      TWaiterList<TCounted> List;
      for (int Round = 0; Round < 2; ++Round) {
        for (auto& P : Held) List.push_back(P);
        auto Odd = [](const RefPtr<TCounted>& P) { return P->FValue % 2 != 0; };
        List.erase(std::remove_if(List.begin(), List.end(), Odd), List.end());
        std::vector<int> Left;
        for (auto& P : List) Left.push_back(P->FValue);
        std::vector<int> Even;
        for (int I = 0; I < N; I += 2) Even.push_back(I);
        EXPECT_EQ(Left, Even);
        for (auto& P : Held) EXPECT_EQ(P->GetRefCount(), P->FValue % 2 ? 1 : 2);
        List.clear();
      }
      for (auto& P : Held) List.push_back(P);
    }
    for (auto& P : Held) EXPECT_EQ(P->GetRefCount(), 1);
  }
}

}  // namespace
}  // namespace green
