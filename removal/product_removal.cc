// Removal of the firmware's installed products through the installer's command-line program.
#include "firmware/firmware_control.h"
#include "removal/product_code_table.h"

#include <optional>
#include <string>

#include "platform/process_global.h"

namespace {

// Bound on first use and kept for the rest of the process.
platform::ProcessGlobal<std::optional<platform::ProductStateQuery>> g_productState;

std::int32_t QueryProductState(const platform::WString& code) {
  if (!*g_productState)
    *g_productState = platform::ProductStateQuery::Bind();
  return (**g_productState)(code);
}

}  // namespace

void CFirmwareControl::RemoveInstalledProducts() {
  // A product still installed after the first pass gets one more try.
  for (int pass = 0; pass < 2; ++pass) {
    for (int slot = kProductCodeSlots - 1; slot >= 0; --slot) {
      RemoveProduct(platform::WidenAnsi(ProductCodeTable[slot]));
    }
  }
}

void CFirmwareControl::RemoveProduct(const platform::WString& code) {
  if (QueryProductState(code) != platform::kInstallStateDefault)
    return;

  platform::WString commandLine =
      GetMsiexecPath() + platform::WidenAnsi(" /x ") + code + platform::WidenAnsi(" /qb!-");
  platform::StartedProcess started;
  if (!platform::StartProcess(nullptr, commandLine, 0, platform::kNormalPriorityClass, started)) {
    return;
  }
  platform::WaitForObject(started.process, platform::kInfinite);
}

platform::WString CFirmwareControl::GetMsiexecPath() {
  const auto quoted = [](const char* path) {
    return platform::WidenAnsi(("\"" + std::string(path) + "\"").c_str());
  };
  const platform::WString probe = platform::WidenAnsi(places::kMsiexecPaths[0]);
  const bool opens = static_cast<bool>(platform::OpenCrtFile(probe, u"r"));  // and closed at once
  // It runs with the tool's rights: one that others may change is taken as absent.
  if (opens && platform::IsProtected(probe))
    return quoted(places::kMsiexecPaths[0]);
  return quoted(places::kMsiexecPaths[1]);
}
