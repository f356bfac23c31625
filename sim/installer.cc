// The installer's product state query.
#include "platform/platform.h"
#include "sim/call.h"

namespace platform {

namespace {
using namespace sim;
}  // namespace

void LibraryTraits::Close(RawHandle raw) {
  CloseSimulated(raw);
}

namespace {
// Stands for the bound entry points; the simulated installer answers through the machine.
int g_productStateEntry = 0;

// The installer's library, kept by `owner`, unless the machine has none. `emit` records the
// binding.
bool LoadInstaller(Library& owner, bool emit) {
  Call call;
  if (!call)
    return false;
  const bool ok = !Faults(call).msiUnavailable;
  if (emit)
    call->EmitHere(events::MsiBind{.ok = ok});
  if (!ok)
    return false;
  HandleObject h;
  h.kind = HandleObject::Kind::kLibrary;
  void* raw = call->NewHandle(std::move(h));
  call.lock.unlock();
  owner = Library(raw);
  return true;
}
}  // namespace

ProductStateQuery ProductStateQuery::Bind() {
  ProductStateQuery query;
  if (LoadInstaller(query.library_, true))
    query.entry_ = &g_productStateEntry;
  return query;
}

InstalledProducts InstalledProducts::Bind() {
  InstalledProducts products;
  if (LoadInstaller(products.library_, false))
    products.enumEntry_ = products.infoEntry_ = &g_productStateEntry;
  return products;
}

namespace {
// The installed products, in the machine's order.
std::vector<const Product*> Installed(Call& call) {
  std::vector<const Product*> installed;
  for (const Product& p : call->products) {
    if (!p.removed && p.desc.state == kInstallStateDefault)
      installed.push_back(&p);
  }
  return installed;
}
}  // namespace

std::uint32_t InstalledProducts::Code(std::uint32_t index, WString& code) const {
  Call call;
  code.clear();
  if (!call || !bound())
    return kErrorNoMoreItems;
  const std::vector<const Product*> installed = Installed(call);
  if (index >= installed.size())
    return kErrorNoMoreItems;
  code = Utf8ToUtf16(installed[index]->desc.code);
  return 0;
}

std::uint32_t InstalledProducts::Name(const WString& code, WString& name) const {
  constexpr std::uint32_t kErrorUnknownProduct = 1605;
  Call call;
  name.clear();
  if (!call || !bound())
    return kErrorUnknownProduct;
  for (const Product* p : Installed(call)) {
    if (EqualNoCase(p->desc.code, U8(code))) {
      name = Utf8ToUtf16(p->desc.name);
      return 0;
    }
  }
  return kErrorUnknownProduct;
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
  call->EmitHere(events::MsiQuery{.code = code, .state = state});
  return state;
}

}  // namespace platform
