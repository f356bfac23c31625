// The shutdown privilege and the shutdown request.
#include <optional>

#include "platform/platform.h"
#include "sim/call.h"
#include "sim/run_result.h"

namespace platform {

namespace {
using namespace sim;

constexpr Luid kShutdownLuid{19, 0};
}  // namespace

Bool OpenCurrentProcessToken(std::uint32_t access, KernelHandle& token) {
  Call call;
  if (!call)
    return 0;
  const bool ok = !Faults(call).tokenOpenFails;
  call->EmitHere(events::Privilege{.step = "open_token", .access = access, .ok = ok});
  if (!ok)
    return 0;
  HandleObject h;
  h.kind = HandleObject::Kind::kToken;
  h.writable = (access & kTokenAdjustPrivileges) != 0;
  void* raw = call->NewHandle(std::move(h));
  call.lock.unlock();
  token = KernelHandle(raw);
  return 1;
}

Bool LookupPrivilege(const char16_t*, const WString& name, Luid& luid) {
  Call call;
  if (!call)
    return 0;
  const bool ok =
      !Faults(call).privilegeLookupFails && EqualNoCase(U8(name), "SeShutdownPrivilege");
  call->EmitHere(events::Privilege{.step = "lookup", .name = U8(name), .ok = ok});
  if (ok)
    luid = kShutdownLuid;
  return ok ? 1 : 0;
}

Bool AdjustPrivileges(const KernelHandle& token, Bool disableAll, const SinglePrivilege& newState) {
  Call call;
  if (!call)
    return 0;
  const HandleObject* h = HandleOf(call, token.raw(), HandleObject::Kind::kToken);
  const bool ok = h != nullptr && h->writable && !Faults(call).privilegeAdjustFails;
  // As on Windows, a privilege the account does not hold is not enabled, and the call succeeds.
  if (ok && call->machine.system.shutdownPrivilege) {
    if (disableAll)
      call->shutdownPrivilege = false;
    else if (newState.count >= 1 && newState.luid.lowPart == kShutdownLuid.lowPart &&
             newState.luid.highPart == kShutdownLuid.highPart)
      call->shutdownPrivilege = (newState.attributes & kSePrivilegeEnabled) != 0;
  }
  call->EmitHere(events::Privilege{.step = "adjust",
                                   .name = "SeShutdownPrivilege",
                                   .ok = ok,
                                   .enabled = call->shutdownPrivilege});
  return ok ? 1 : 0;
}

Bool ReadTokenPrivileges(const KernelHandle& token, std::vector<Luid>& held) {
  Call call;
  if (!call || HandleOf(call, token.raw(), HandleObject::Kind::kToken) == nullptr)
    return 0;
  held.clear();
  if (call->machine.system.shutdownPrivilege)
    held.push_back(kShutdownLuid);
  call->EmitHere(events::Privilege{.step = "read", .held = held.size()});
  return 1;
}

Bool CheckAdministratorsMembership(Bool& member) {
  Call call;
  if (!call)
    return 0;
  // The check reads the caller's token: where that cannot be opened, neither can the check.
  const bool ok = !Faults(call).tokenOpenFails;
  if (ok)
    member = call->machine.system.administrator ? 1 : 0;
  call->EmitHere(
      events::Privilege{.step = "administrators", .ok = ok, .member = ok && member != 0});
  return ok ? 1 : 0;
}

Bool RequestExitWindows(std::uint32_t flags, std::uint32_t reason) {
  Call call;
  if (!call)
    return 0;
  std::optional<sim::EndHow> how;
  bool accepts = false;
  if (flags & kEwxPowerOff) {
    how = sim::EndHow::kPowerOff;
    accepts = call->machine.system.acceptsPowerOff;
  } else if (flags & kEwxReboot) {
    how = sim::EndHow::kReboot;
    accepts = call->machine.system.acceptsReboot;
  }
  // As on Windows: without the shutdown privilege enabled the request is refused.
  const bool accepted = how && accepts && call->shutdownPrivilege;
  call->EmitHere(
      events::ExitRequest{.flags = flags, .reason = reason, .kind = how, .accepted = accepted});
  if (accepted && !call->shutdownPending)
    call->shutdownPending = how;
  return accepted ? 1 : 0;
}

}  // namespace platform
