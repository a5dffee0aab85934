// The runtime's exception classes. Every class can clone itself and raise a
// fresh copy of its own dynamic class, which is how an exception kept by a
// finished greenlet is raised again in another context.
#pragma once

#include <exception>
#include <memory>
#include <string>

#include "base/Object.h"

namespace green {

class Exception : public TObject, public std::exception {
 public:
  explicit Exception(std::string Msg) : FMessage(std::move(Msg)) {}

  const std::string& Message() const noexcept { return FMessage; }
  void SetMessage(std::string Msg) { FMessage = std::move(Msg); }
  const char* what() const noexcept override { return FMessage.c_str(); }

  // A new object of the same class as this one, carrying Msg.
  virtual std::unique_ptr<Exception> CloneWith(const std::string& Msg) const;
  std::unique_ptr<Exception> Clone() const { return CloneWith(FMessage); }
  // Throws a copy of this object with its dynamic class.
  [[noreturn]] virtual void Raise() const;

 private:
  std::string FMessage;
};

// Gives a derived exception class its own clone and raise.
template <class Self, class Base>
class ExceptionOf : public Base {
 public:
  using Base::Base;
  std::unique_ptr<Exception> CloneWith(const std::string& Msg) const override {
    auto E = std::make_unique<Self>(static_cast<const Self&>(*this));
    E->SetMessage(Msg);
    return E;
  }
  [[noreturn]] void Raise() const override { throw static_cast<const Self&>(*this); }
};

#define GREEN_EXCEPTION(Name, Base)                       \
  class Name : public ::green::ExceptionOf<Name, Base> {  \
   public:                                                \
    using ExceptionOf<Name, Base>::ExceptionOf;           \
  }

// The silent abort: ends work without being an error worth reporting.
GREEN_EXCEPTION(EAbort, Exception);
// A value that cannot be converted (time encoding and the like).
GREEN_EXCEPTION(EConvertError, Exception);
// An argument that the called operation cannot work with.
GREEN_EXCEPTION(EArgumentException, Exception);

// A broken internal contract. The message names the unit and, when known,
// the line.
class EAssertionFailed : public ExceptionOf<EAssertionFailed, Exception> {
 public:
  EAssertionFailed(const std::string& Msg, std::string UnitName, int LineNumber);
  const std::string& Unit() const noexcept { return FUnit; }
  int Line() const noexcept { return FLine; }

 private:
  std::string FUnit;
  int FLine;
};

// Raises EAssertionFailed("<Msg> (<Unit>, line <Line>)") unless Cond holds.
inline void Assert(bool Cond, const char* Unit, int Line, const char* Msg = "Assertion failure") {
  if (!Cond) throw EAssertionFailed(Msg, Unit, Line);
}

// printf-style formatting of the runtime's message templates.
std::string Format(const char* Fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace green
