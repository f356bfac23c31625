// The installer's product-state query and list of products, bound at run time so that the
// programs do not depend on msi.dll at load time.
#include "platform/win32/win32.h"

namespace platform {

namespace {

constexpr WORD kQueryProductStateOrdinal = 113;  // MsiQueryProductStateW
using QueryProductStateW = INT(WINAPI*)(LPCWSTR product);

// msi.dll from the system folder only, kept by `owner`; null when it cannot be loaded. The
// default search would look in the exe's own folder first, where anyone may have put one.
HMODULE LoadInstaller(Library& owner) {
  const HMODULE library = LoadLibraryExW(L"msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library != nullptr)
    owner = Library(library);
  return library;
}

}  // namespace

void LibraryTraits::Close(RawHandle raw) {
  FreeLibrary(static_cast<HMODULE>(raw));
}

ProductStateQuery ProductStateQuery::Bind() {
  ProductStateQuery query;
  const HMODULE library = LoadInstaller(query.library_);
  if (library == nullptr)
    return query;
  const FARPROC entry = GetProcAddress(library, MAKEINTRESOURCEA(kQueryProductStateOrdinal));
  query.entry_ = reinterpret_cast<void*>(entry);
  return query;
}

InstalledProducts InstalledProducts::Bind() {
  InstalledProducts products;
  const HMODULE library = LoadInstaller(products.library_);
  if (library == nullptr)
    return products;
  products.enumEntry_ = reinterpret_cast<void*>(GetProcAddress(library, "MsiEnumProductsW"));
  products.infoEntry_ = reinterpret_cast<void*>(GetProcAddress(library, "MsiGetProductInfoW"));
  return products;
}

std::uint32_t InstalledProducts::Code(std::uint32_t index, WString& code) const {
  using EnumProductsW = UINT(WINAPI*)(DWORD index, LPWSTR product);
  wchar_t buffer[39] = {};  // a braced GUID and its end
  const UINT status = reinterpret_cast<EnumProductsW>(enumEntry_)(index, buffer);
  code = status == ERROR_SUCCESS ? WString(reinterpret_cast<const char16_t*>(buffer)) : WString();
  return status;
}

std::uint32_t InstalledProducts::Name(const WString& code, WString& name) const {
  using GetProductInfoW =
      UINT(WINAPI*)(LPCWSTR product, LPCWSTR property, LPWSTR value, LPDWORD size);
  const auto query = reinterpret_cast<GetProductInfoW>(infoEntry_);
  DWORD size = 0;
  UINT status = query(win32::Wide(code), L"ProductName", nullptr, &size);
  name.assign(size + 1, u'\0');
  size = static_cast<DWORD>(name.size());
  if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA)
    status = query(win32::Wide(code), L"ProductName", win32::Wide(name.data()), &size);
  name.resize(status == ERROR_SUCCESS ? size : 0);
  return status;
}

std::int32_t ProductStateQuery::operator()(const WString& productCode) const {
  if (entry_ == nullptr)
    return kInstallStateUnknown;
  const auto query = reinterpret_cast<QueryProductStateW>(entry_);
  return query(win32::Wide(productCode));
}

}  // namespace platform
