// Strings and the command line on the simulated machine.
#include <new>
#include <string_view>

#include "platform/platform.h"
#include "sim/call.h"

namespace platform {

namespace {
using namespace sim;
}  // namespace

WString WidenAnsi(const char* text) {
  const std::string_view narrow = text != nullptr ? std::string_view(text) : std::string_view();
  Call call;
  if (call) {
    const auto& from = Faults(call).widenFailsFromCall;
    if (from && ++call->widenCalls >= *from) {
      call->EmitHere(events::WidenFailed{.text = std::string(narrow)});
      call.lock.unlock();
      throw std::bad_alloc();  // as the framework's string reports running out of memory
    }
  }
  return Widen1252(narrow);
}

std::vector<WString> CommandLineArguments() {
  Call call;
  if (call.sim == nullptr)
    return {};
  return call->args;
}

}  // namespace platform
