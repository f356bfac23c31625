// The resources of the simulated tool module: what the real module's resource script holds, as
// far as the platform layer reads it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::sim::detail {

struct ControlTemplate {
  int id;
  std::string className;
  std::string text;
  std::uint32_t style;
  int x, y, cx, cy;  // dialog units
};

struct DialogTemplate {
  int id;
  std::uint32_t style;
  std::uint32_t exStyle;
  int x, y, cx, cy;  // dialog units
  std::vector<ControlTemplate> controls;
};

// Null when the module has no dialog of that id.
const DialogTemplate* FindDialogTemplate(int id);

// The window's outer size in pixels: dialog units at base units 6 x 13, plus the sizing frame.
int DialogPixelWidth(const DialogTemplate& dialog);
int DialogPixelHeight(const DialogTemplate& dialog);

}  // namespace platform::sim::detail
