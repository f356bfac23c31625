#include "sim/resources.h"

namespace sim {

namespace {

constexpr std::uint32_t kWsThickFrame = 0x00040000;
// The base units of "MS Shell Dlg" 8 pt at 96 dpi, and the width of a sizing frame.
constexpr int kBaseX = 6;
constexpr int kBaseY = 13;
constexpr int kSizingFrame = 3;

const std::vector<DialogTemplate>& Dialogs() {
  static const std::vector<DialogTemplate> dialogs = {
#include "dialog_templates.inc"
  };
  return dialogs;
}

int Round(int numerator, int denominator) {
  return (numerator + denominator / 2) / denominator;
}

int Frame(const DialogTemplate& dialog) {
  return (dialog.style & kWsThickFrame) ? 2 * kSizingFrame : 0;
}

}  // namespace

const DialogTemplate* FindDialogTemplate(int id) {
  for (const DialogTemplate& d : Dialogs()) {
    if (d.id == id)
      return &d;
  }
  return nullptr;
}

int PixelsX(int dialogUnits) {
  return dialogUnits * kBaseX / 4;
}

int PixelsY(int dialogUnits) {
  return dialogUnits * kBaseY / 8;
}

int DialogPixelWidth(const DialogTemplate& dialog) {
  return Round(dialog.cx * kBaseX, 4) + Frame(dialog);
}

int DialogPixelHeight(const DialogTemplate& dialog) {
  return Round(dialog.cy * kBaseY, 8) + Frame(dialog);
}

}  // namespace sim
