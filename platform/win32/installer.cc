// The installer's product-state query, bound at run time so that the program does not depend on
// msi.dll at load time.
#include "platform/win32/win32.h"

namespace platform {

namespace {

constexpr WORD kQueryProductStateOrdinal = 113;  // MsiQueryProductStateW
using QueryProductStateW = INT(WINAPI*)(LPCWSTR product);

}  // namespace

void LibraryTraits::Close(RawHandle raw) {
  FreeLibrary(static_cast<HMODULE>(raw));
}

ProductStateQuery ProductStateQuery::Bind() {
  ProductStateQuery query;
  const HMODULE library = LoadLibraryW(L"msi.dll");
  if (library == nullptr)
    return query;
  query.library_ = Library(library);
  const FARPROC entry = GetProcAddress(library, MAKEINTRESOURCEA(kQueryProductStateOrdinal));
  query.entry_ = reinterpret_cast<void*>(entry);
  return query;
}

std::int32_t ProductStateQuery::operator()(const WString& productCode) const {
  if (entry_ == nullptr)
    return kInstallStateUnknown;
  const auto query = reinterpret_cast<QueryProductStateW>(entry_);
  return query(win32::Wide(productCode));
}

}  // namespace platform
