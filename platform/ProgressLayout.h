// SPDX-License-Identifier: 0BSD
// Where the progress window's controls go, and where the window goes.
//
// Plain arithmetic on pixels, apart from the Windows calls, so the host tests
// check the same layout the launcher draws at every DPI and font size.
#pragma once

#include <stdint.h>

struct LayoutRect {
  int32_t x;
  int32_t y;
  int32_t width;
  int32_t height;
};

struct ProgressLayout {
  LayoutRect text;    // the one line of text
  LayoutRect bar;     // the progress bar, as wide as the text
  LayoutRect button;  // Cancel, at the right below the bar
  int32_t clientWidth;
  int32_t clientHeight;
};

// The controls' places in the client area at `dpi` (dots per inch; 0 counts
// as 96), for a message font whose lines are `lineHeight` pixels tall and a
// button label `labelWidth` pixels wide. Controls grow with a larger font,
// so nothing is cut off when the user asked for larger text.
ProgressLayout LayOutProgressWindow(uint32_t dpi, int32_t lineHeight,
                                    int32_t labelWidth);

// The top-left corner that centres a `width` x `height` window in `area`
// (a monitor's work area). A window larger than the area keeps its top-left
// corner, and with it the caption and the close box, inside the area.
void CentreInArea(const LayoutRect& area, int32_t width, int32_t height,
                  int32_t* x, int32_t* y);
