// The installer's product state query.
#include "platform/platform.h"
#include "platform/sim/call.h"

namespace platform {

namespace {
using namespace platform::sim::detail;
using nlohmann::json;
}  // namespace

void LibraryTraits::Close(RawHandle raw) {
  CloseSimulated(raw);
}

namespace {
// Stands for the bound entry point; the simulated installer answers through the machine.
int g_productStateEntry = 0;
}  // namespace

ProductStateQuery ProductStateQuery::Bind() {
  ProductStateQuery query;
  Call call;
  if (!call)
    return query;
  const bool ok = !Faults(call).msiUnavailable;
  call->EmitHere("msi_bind", {{"ok", ok}});
  if (!ok)
    return query;
  HandleObject h;
  h.kind = HandleObject::Kind::kLibrary;
  void* raw = call->NewHandle(std::move(h));
  call.lock.unlock();
  query.library_ = Library(raw);
  query.entry_ = &g_productStateEntry;
  return query;
}

std::int32_t ProductStateQuery::operator()(const WString& productCode) const {
  if (!bound())
    return kInstallStateUnknown;
  Call call;
  if (!call)
    return kInstallStateUnknown;
  const std::string code = U8(productCode);
  std::int32_t state = kInstallStateUnknown;
  for (const Product& p : call->products) {
    if (!p.removed && EqualNoCase(p.desc.code, code))
      state = p.desc.state;
  }
  call->EmitHere("msi_query", {{"code", code}, {"state", state}});
  return state;
}

}  // namespace platform
