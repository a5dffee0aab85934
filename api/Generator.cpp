#include "green/Generator.h"

#include "api/Access.h"

namespace green::detail {

namespace {

// What a body hands over: the address of its value, and what type that is.
struct TSlot {
  const void* Value = nullptr;
  const void* Type = nullptr;
};

class TBodySource final : public GeneratorSource {
 public:
  TBodySource(std::function<void()> Body, const void* Type)
      : FGen(MakeRef<TGeneratorImpl<TSlot>>(MakeRoutine(std::move(Body)))), FType(Type) {}
  // A value of another type ends the walk: it cannot be read as this one.
  bool MoveNext() override { return FGen->MoveNext() && FGen->Current().Type == FType; }
  const void* Current() const override { return FGen->Current().Value; }
  IRawGreenlet* Greenlet() const override { return FGen->Greenlet(); }

 private:
  RefPtr<TGeneratorImpl<TSlot>> FGen;
  const void* FType;
};

}  // namespace

GeneratorCore::GeneratorCore(std::function<void()> Body, const void* Type)
    : FSource(std::make_shared<TBodySource>(std::move(Body), Type)) {}

bool GeneratorCore::MoveNext() { return FSource->MoveNext(); }
const void* GeneratorCore::Current() const { return FSource->Current(); }
void GeneratorCore::SetName(const std::string& Value) const { FSource->Greenlet()->SetName(Value); }
std::string GeneratorCore::Name() const { return FSource->Greenlet()->GetName(); }

void GeneratorCore::Yield(const void* Value, const void* Type) {
  TGeneratorImpl<TSlot>::YieldValue(TSlot{Value, Type});
}

}  // namespace green::detail
