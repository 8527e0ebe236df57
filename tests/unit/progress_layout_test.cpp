// SPDX-License-Identifier: 0BSD
// The progress window's layout across DPIs, font sizes and label widths, and
// its place on a monitor's work area.
#include <gtest/gtest.h>

#include "platform/ProgressLayout.h"

namespace {

int32_t Right(const LayoutRect& r) { return r.x + r.width; }
int32_t Bottom(const LayoutRect& r) { return r.y + r.height; }

bool Inside(const LayoutRect& r, int32_t width, int32_t height, int32_t margin) {
  return r.x >= margin && r.y >= margin && Right(r) <= width - margin &&
         Bottom(r) <= height - margin && r.width > 0 && r.height > 0;
}

struct LayoutCase {
  uint32_t dpi;
  int32_t lineHeight;  // the message font's line at that DPI
  int32_t labelWidth;
};

// 96 to 192 DPI with the fonts Windows gives there, the largest text size
// Windows offers, and labels from a short word to one wider than the window.
const LayoutCase kLayouts[] = {
    {96, 16, 34},  {120, 20, 42},  {144, 24, 51},  {192, 32, 68},
    {96, 36, 80},  {144, 56, 120}, {96, 16, 150},  {96, 16, 2000},
    {0, 16, 34},   // GetDeviceCaps failed
};

TEST(ProgressLayout, ControlsStayApartInsideTheMarginsAtEveryDpi) {
  for (const LayoutCase& c : kLayouts) {
    SCOPED_TRACE(testing::Message() << "dpi " << c.dpi << " line " << c.lineHeight
                                    << " label " << c.labelWidth);
    const uint32_t dpi = c.dpi ? c.dpi : 96;
    const ProgressLayout l = LayOutProgressWindow(c.dpi, c.lineHeight, c.labelWidth);
    const int32_t margin = (11 * (int32_t)dpi + 48) / 96;
    for (const LayoutRect& r : {l.text, l.bar, l.button})
      EXPECT_TRUE(Inside(r, l.clientWidth, l.clientHeight, margin));
    // Text, then bar, then button, top to bottom, none touching the next.
    EXPECT_LT(Bottom(l.text), l.bar.y);
    EXPECT_LT(Bottom(l.bar), l.button.y);
    // The line is tall enough for the font; the bar spans the text's width;
    // the button sits at the right edge.
    EXPECT_GE(l.text.height, c.lineHeight);
    EXPECT_EQ(l.bar.x, l.text.x);
    EXPECT_EQ(l.bar.width, l.text.width);
    EXPECT_EQ(Right(l.button), Right(l.bar));
    // The label fits with room on both sides unless it is wider than the
    // window could ever be.
    if (c.labelWidth + 2 * margin < l.text.width) {
      EXPECT_GE(l.button.width, c.labelWidth + margin);
    }
    EXPECT_GE(l.button.height, c.lineHeight + 4);
  }
}

TEST(ProgressLayout, ScalesWithTheDpi) {
  const ProgressLayout at96 = LayOutProgressWindow(96, 16, 34);
  const ProgressLayout at192 = LayOutProgressWindow(192, 32, 68);
  EXPECT_EQ(at192.clientWidth, 2 * at96.clientWidth);
  EXPECT_EQ(at192.clientHeight, 2 * at96.clientHeight);
  EXPECT_EQ(at192.button.width, 2 * at96.button.width);
  EXPECT_EQ(at192.bar.height, 2 * at96.bar.height);
}

struct CentreCase {
  LayoutRect area;
  int32_t width;
  int32_t height;
  int32_t x;
  int32_t y;
};

TEST(ProgressLayout, CentresOnTheWorkAreaAndKeepsTheCaptionOnIt) {
  const CentreCase cases[] = {
      // A taskbar at the bottom: the work area, not the screen, is centred.
      {{0, 0, 1280, 760}, 380, 120, 450, 320},
      // A monitor left of and above the primary one.
      {{-1920, -300, 1920, 1040}, 380, 120, -1150, 160},
      // A work area that starts right of a taskbar at the left.
      {{48, 0, 1232, 800}, 380, 120, 474, 340},
      // Larger than the area: the top-left corner stays inside it.
      {{0, 0, 640, 400}, 800, 600, 0, 0},
      {{100, 50, 300, 200}, 301, 150, 100, 75},
  };
  for (const CentreCase& c : cases) {
    int32_t x = 0;
    int32_t y = 0;
    CentreInArea(c.area, c.width, c.height, &x, &y);
    EXPECT_EQ(x, c.x) << c.area.x << "," << c.area.y;
    EXPECT_EQ(y, c.y) << c.area.x << "," << c.area.y;
  }
}

}  // namespace
