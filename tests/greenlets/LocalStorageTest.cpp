// Greenlet- and hub-local storage and the inherited environment.
#include <gtest/gtest.h>

#include "greenlets/LocalStorage.h"
#include "support/TestGreenlet.h"

namespace green {
namespace {

TEST(LocalStorage, UnsetKeepsTheObjectAndClearFreesIt) {
  int Freed = 0;
  auto* Kept = new test::TTracked(&Freed);
  {
    TLocalStorage S;
    S.SetValue("a", Kept);
    S.SetValue("b", new test::TTracked(&Freed));
    EXPECT_TRUE(S.IsExists(Kept));
    test::TTracked Duplicate(&Freed);
    EXPECT_THROW(S.SetValue("b", &Duplicate), Exception) << "a present key stores nothing";
    EXPECT_EQ(Freed, 0);
    S.UnsetValue("a");
    EXPECT_FALSE(S.IsExists("a"));
    EXPECT_EQ(Freed, 0);
  }
  EXPECT_EQ(Freed, 2) << "the object still stored and the refused one";
  delete Kept;
}

TEST(Environment, TypedValuesAreIndependentFields) {
  auto Env = MakeRef<TGreenEnvironmentImpl>();
  Env->SetIntValue("x", 5);
  EXPECT_EQ(Env->GetIntValue("x"), 5);
  EXPECT_EQ(Env->GetStrValue("x"), "");
  EXPECT_EQ(Env->GetDoubleValue("missing"), 0.0);
  EXPECT_EQ(Env->Names().size(), 2u) << "reading a missing name creates it";
}

TEST(Environment, ReplacingAValueFreesTheOldOneAndKeepsTheName) {
  auto Env = MakeRef<TGreenEnvironmentImpl>();
  Env->SetStrValue("a", "one");
  Env->SetIntValue("b", 2);
  auto* V = new TUniValue;
  V->StrValue = "two";
  Env->SetValue("a", V);
  EXPECT_EQ(Env->GetStrValue("a"), "two");
  EXPECT_EQ(Env->Names(), (std::vector<std::string>{"a", "b"}));
  Env->Clear();
  EXPECT_TRUE(Env->Names().empty());
  EXPECT_EQ(Env->GetValue("a"), nullptr);
}

TEST(Environment, CopySharesNothing) {
  auto Env = MakeRef<TGreenEnvironmentImpl>();
  Env->SetInt64Value("big", int64_t(1) << 40);
  Env->SetStrValue("s", "text");
  auto Copy = Env->Copy();
  Env->SetStrValue("s", "changed");
  EXPECT_EQ(Copy->GetStrValue("s"), "text");
  EXPECT_EQ(Copy->GetInt64Value("big"), int64_t(1) << 40);
  EXPECT_EQ(Copy->Names(), Env->Names());
  EXPECT_NE(Copy->GetValue("s"), Env->GetValue("s"));
}

struct TDerivedValue : TPersistentOf<TDerivedValue, TUniValue> {};

TEST(UniValue, AssignCopiesOnlyFromItsOwnClassOrAncestors) {
  TUniValue Base;
  Base.IntValue = 7;
  TDerivedValue Derived;
  Derived.Assign(&Base);
  EXPECT_EQ(Derived.IntValue, 7);
  TUniValue Target;
  Derived.IntValue = 9;
  Target.Assign(&Derived);
  EXPECT_EQ(Target.IntValue, 0) << "a base object does not take a derived one's state";
}

}  // namespace
}  // namespace green
