#pragma once

#include <QFont>
#include <QRect>

namespace vellomar {

// Converts dialog units to pixels the way dialog templates are laid out: a horizontal unit is
// a quarter of the font's average character width, a vertical unit an eighth of its height,
// each rounded to the nearest pixel.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);

  int baseWidth() const { return baseWidth_; }
  int baseHeight() const { return baseHeight_; }
  int X(int units) const;
  int Y(int units) const;
  QRect Rect(int x, int y, int width, int height) const;

 private:
  int baseWidth_;
  int baseHeight_;
};

// The dialogs' font: "MS Sans Serif" 8 pt, or what Qt substitutes where it is missing.
QFont DialogFont();

}  // namespace vellomar
