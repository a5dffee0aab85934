// Objects that copy their state from another of their kind (Assign) and can
// make a fresh instance of their own class, so that code holding only a base
// pointer can clone them.
#pragma once

#include "base/Object.h"

namespace green {

class TPersistent : public TObject {
 public:
  // Copies Source's state into this object when it knows how; else nothing.
  virtual void Assign(const TPersistent* Source) {}
  // A new default-constructed object of this object's class.
  virtual TPersistent* NewInstance() const = 0;
  // Whether Obj's class is this object's class or descends from it.
  virtual bool ClassIsAncestorOf(const TObject* Obj) const = 0;
};

// Gives a persistent class its NewInstance and class test.
template <class Self, class Base = TPersistent>
class TPersistentOf : public Base {
 public:
  using Base::Base;
  TPersistent* NewInstance() const override { return new Self(); }
  bool ClassIsAncestorOf(const TObject* Obj) const override {
    return dynamic_cast<const Self*>(Obj) != nullptr;
  }
};

}  // namespace green

namespace green {

// A persistent object that may have an owner; a copy made through
// NewInstance has none.
class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* Owner = nullptr) : FOwner(Owner) {}
  TComponent* Owner() const { return FOwner; }

 private:
  TComponent* FOwner;
};

}  // namespace green
