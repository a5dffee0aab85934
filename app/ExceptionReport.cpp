#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "app/fmMain.h"
#include "base/Exception.h"

namespace green {

namespace {

std::string ClassName(const std::type_info& Type) {
  int Status = 0;
  std::unique_ptr<char, void (*)(void*)> Name(abi::__cxa_demangle(Type.name(), nullptr, nullptr, &Status),
                                             std::free);
  std::string Text = Status == 0 && Name ? Name.get() : Type.name();
  constexpr std::string_view kOwn = "green::";
  if (Text.compare(0, kOwn.size(), kOwn) == 0) Text.erase(0, kOwn.size());
  return Text;
}

}  // namespace

std::string DescribeException(std::exception_ptr Error) {
  if (!Error) return "no exception";
  try {
    std::rethrow_exception(Error);
  } catch (const Exception& E) {
    return ClassName(typeid(E)) + ": " + E.Message();
  } catch (const std::exception& E) {
    return ClassName(typeid(E)) + ": " + E.what();
  } catch (...) {
    return "unknown exception";
  }
}

}  // namespace green
