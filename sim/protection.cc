// Who may change a path on the simulated machine: what its files and folders say.
#include "platform/platform.h"
#include "sim/call.h"

namespace platform {

namespace {
using namespace sim;
}  // namespace

bool IsProtected(const WString& path) {
  Call call;
  if (!call)
    return false;
  const std::string key = PathKey(U8(path));
  // The path itself, then each listed folder above it: whoever may change a folder may put
  // something else in the place of what it holds.
  bool ok = call->Exists(key);
  for (std::string at = key; ok && !at.empty();) {
    const File* entry = call->FindEntry(at);
    ok = entry == nullptr || entry->desc.isProtected;
    const std::size_t cut = at.find_last_of('\\');
    at.resize(cut == std::string::npos ? 0 : cut);
  }
  call->EmitHere(events::Protection{.path = U8(path), .isProtected = ok});
  return ok;
}

}  // namespace platform
