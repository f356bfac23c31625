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
  const bool ok = IsPathProtected(call->files, PathKey(U8(path)));
  call->EmitHere(events::Protection{.path = U8(path), .isProtected = ok});
  return ok;
}

}  // namespace platform
