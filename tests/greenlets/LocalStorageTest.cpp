// Greenlet- and hub-local storage and the inherited environment.
#include <gtest/gtest.h>

#include "greenlets/LocalStorage.h"
#include "support/TestGreenlet.h"

namespace green {
namespace {

TEST(LocalStorage, UnsetKeepsTheObjectAndClearFreesIt) {
  int freed = 0;
  auto* kept = new test::TTracked(&freed);
  {
    TLocalStorage s;
    s.SetValue("a", kept);
    s.SetValue("b", new test::TTracked(&freed));
    EXPECT_TRUE(s.IsExists(kept));
    test::TTracked duplicate(&freed);
    EXPECT_THROW(s.SetValue("b", &duplicate), Exception) << "a present key stores nothing";
    EXPECT_EQ(freed, 0);
    s.UnsetValue("a");
    EXPECT_FALSE(s.IsExists("a"));
    EXPECT_EQ(freed, 0);
  }
  EXPECT_EQ(freed, 2) << "the object still stored and the refused one";
  delete kept;
}

TEST(Environment, TypedValuesAreIndependentFields) {
  auto env = MakeRef<TGreenEnvironmentImpl>();
  env->SetIntValue("x", 5);
  EXPECT_EQ(env->GetIntValue("x"), 5);
  EXPECT_EQ(env->GetStrValue("x"), "");
  EXPECT_EQ(env->GetDoubleValue("missing"), 0.0);
  EXPECT_EQ(env->Names().size(), 2u) << "reading a missing name creates it";
}

TEST(Environment, ReplacingAValueFreesTheOldOneAndKeepsTheName) {
  auto env = MakeRef<TGreenEnvironmentImpl>();
  env->SetStrValue("a", "one");
  env->SetIntValue("b", 2);
  auto* v = new TUniValue;
  v->StrValue = "two";
  env->SetValue("a", v);
  EXPECT_EQ(env->GetStrValue("a"), "two");
  EXPECT_EQ(env->Names(), (std::vector<std::string>{"a", "b"}));
  env->Clear();
  EXPECT_TRUE(env->Names().empty());
  EXPECT_EQ(env->GetValue("a"), nullptr);
}

TEST(Environment, CopySharesNothing) {
  auto env = MakeRef<TGreenEnvironmentImpl>();
  env->SetInt64Value("big", int64_t(1) << 40);
  env->SetStrValue("s", "text");
  auto copy = env->Copy();
  env->SetStrValue("s", "changed");
  EXPECT_EQ(copy->GetStrValue("s"), "text");
  EXPECT_EQ(copy->GetInt64Value("big"), int64_t(1) << 40);
  EXPECT_EQ(copy->Names(), env->Names());
  EXPECT_NE(copy->GetValue("s"), env->GetValue("s"));
}

struct TDerivedValue : TPersistentOf<TDerivedValue, TUniValue> {};

TEST(UniValue, AssignCopiesOnlyFromItsOwnClassOrAncestors) {
  TUniValue base;
  base.IntValue = 7;
  TDerivedValue derived;
  derived.Assign(&base);
  EXPECT_EQ(derived.IntValue, 7);
  TUniValue target;
  derived.IntValue = 9;
  target.Assign(&derived);
  EXPECT_EQ(target.IntValue, 0) << "a base object does not take a derived one's state";
}

}  // namespace
}  // namespace green
