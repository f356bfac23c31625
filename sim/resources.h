// The resources of the simulated tool module: the dialogs of the real module's resource script,
// read from it at build time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

inline constexpr int kNoControlId = -1;  // a control the program cannot address

struct ControlTemplate {
  int id;
  std::string className;  // lower case
  std::string text;       // "#N": the module's resource N
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

// A position inside the dialog, dialog units to pixels (cut, not rounded).
int PixelsX(int dialogUnits);
int PixelsY(int dialogUnits);

// The window's outer size in pixels: dialog units at base units 6 x 13, plus the sizing frame.
int DialogPixelWidth(const DialogTemplate& dialog);
int DialogPixelHeight(const DialogTemplate& dialog);

}  // namespace sim
