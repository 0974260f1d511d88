// The window's layout, once for every front end: where each control sits,
// in twips (1/1440 inch, so 15 to a pixel at 96 dpi), and which texts each
// label must hold whole.
#pragma once

#include <cmath>

namespace tl::layout {

struct Box {
  int left, top, width, height;
};

constexpr int kClientWidth = 3165, kClientHeight = 1890;
constexpr Box kLabel1{0, 105, 1800, 225};  // the status text
constexpr Box kLabel2{1890, 105, 750, 225};
constexpr Box kCombo1{2670, 60, 495, 315};  // its right edge meets the client area's
constexpr Box kText1{0, 420, 3165, 1170};
constexpr Box kLabel3{0, 1680, 3165, 225};

constexpr const char* kPortCaption = "COM-Port:";
constexpr const char* kWiringHint = "D-Sub9 - Taster zwischen Pin7 und Pin8";

// The widest texts each label shows, with the width they must fit in.
struct Fit {
  const char* text;
  int twips;
};
constexpr Fit kFits[] = {{kPortCaption, kLabel2.width},
                         {"SHIFT losgelassen", kLabel1.width},
                         {"LEERTASTE losgelassen", kLabel1.width},  // the longest key name
                         {"Kein Kabel gefunden", kLabel1.width},
                         {"Anschluss verweigert", kLabel1.width},
                         {kWiringHint, kLabel3.width}};

inline int twipsToPixels(int twips, double dpi) { return static_cast<int>(std::lround(twips * dpi / 1440.0)); }

}  // namespace tl::layout
