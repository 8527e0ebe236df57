// SPDX-License-Identifier: 0BSD
// The progress window's layout (see ProgressLayout.h).
#include "platform/ProgressLayout.h"

namespace {

// Distances in device-independent pixels (1/96 inch), those of a small
// dialog in the Windows message font: 11-pixel margins, a 15-pixel bar, a
// 75 x 23 button.
enum : int32_t {
  kClientWidth = 360,
  kMargin = 11,
  kTextToBar = 7,
  kBarHeight = 15,
  kBarToButton = 11,
  kButtonWidth = 75,
  kButtonHeight = 23,
  kLabelPadding = 10,  // on each side of the button's label
  kButtonTextSpace = 8,  // above and below the label, together
};

int32_t Scale(int32_t dips, uint32_t dpi) {
  return (dips * (int32_t)dpi + 48) / 96;
}

int32_t Larger(int32_t a, int32_t b) { return a > b ? a : b; }
int32_t Smaller(int32_t a, int32_t b) { return a < b ? a : b; }

int32_t Bottom(const LayoutRect& rect) { return rect.y + rect.height; }

}  // namespace

ProgressLayout LayOutProgressWindow(uint32_t dpi, int32_t lineHeight,
                                    int32_t labelWidth) {
  if (dpi == 0) dpi = 96;
  const int32_t margin = Scale(kMargin, dpi);
  ProgressLayout layout;
  layout.clientWidth = Scale(kClientWidth, dpi);
  const int32_t inner = layout.clientWidth - 2 * margin;
  layout.text = {margin, margin, inner, lineHeight};
  layout.bar = {margin, Bottom(layout.text) + Scale(kTextToBar, dpi), inner,
                Scale(kBarHeight, dpi)};
  const int32_t buttonWidth =
      Smaller(inner, Larger(Scale(kButtonWidth, dpi),
                            labelWidth + 2 * Scale(kLabelPadding, dpi)));
  const int32_t buttonHeight = Larger(
      Scale(kButtonHeight, dpi), lineHeight + Scale(kButtonTextSpace, dpi));
  layout.button = {margin + inner - buttonWidth,
                   Bottom(layout.bar) + Scale(kBarToButton, dpi), buttonWidth,
                   buttonHeight};
  layout.clientHeight = Bottom(layout.button) + margin;
  return layout;
}

void CentreInArea(const LayoutRect& area, int32_t width, int32_t height,
                  int32_t* x, int32_t* y) {
  *x = Larger(area.x, area.x + (area.width - width) / 2);
  *y = Larger(area.y, area.y + (area.height - height) / 2);
}
