// Shared helpers of the artwork renderer: deterministic noise, blurs, glows and
// the metallic lettering used by the logo, the banner and the icons.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QString>
#include <cstdint>
#include <functional>
#include <random>

namespace artwork {

// Font families registered from the files the build found.
struct Fonts {
  QString body;     // Carlito: the launcher's own text face.
  QString ui;       // Tahoma: small captions.
  QString display;  // Serif for titles; Carlito when the serif is missing.
};

// Small seeded generator; every picture gets its own seed so changing one
// picture never reshuffles the others.
class Rng {
 public:
  explicit Rng(uint32_t seed) : engine_(seed) {}
  double uniform() { return engine_() / 4294967296.0; }
  double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
  int range(int lo, int hi) { return lo + static_cast<int>(uniform() * (hi - lo + 1)); }

 private:
  std::mt19937 engine_;
};

// Gradient noise in about [0, 1].
float noise(float x, float y, uint32_t seed);
// Fractal sum of `octaves` noise layers, in about [0, 1].
float fbm(float x, float y, int octaves, uint32_t seed, float gain = 0.5f);
// Ridged variant (sharp crests), in [0, 1].
float ridged(float x, float y, int octaves, uint32_t seed);

inline float clamp01(float v) {
  return v < 0.f ? 0.f : (v > 1.f ? 1.f : v);
}
inline float smoothstep(float e0, float e1, float x) {
  const float t = clamp01((x - e0) / (e1 - e0));
  return t * t * (3.f - 2.f * t);
}
inline float lerp(float a, float b, float t) {
  return a + (b - a) * t;
}
QColor mix(const QColor& a, const QColor& b, float t);
QColor withAlpha(const QColor& c, int alpha);

// A transparent premultiplied image, the working format of every layer.
QImage layer(int w, int h);
QImage layer(const QSize& size);
// Approximate Gaussian blur (three box passes) of a premultiplied image.
void blur(QImage& image, int radius);
// Paints `draw` into a fresh layer, blurs it and composes it onto `target`.
void glow(QImage& target, int radius, QPainter::CompositionMode mode,
          const std::function<void(QPainter&)>& draw, qreal opacity = 1.0);
// Adds monochrome grain of the given strength (0..1) to the opaque parts.
void grain(QImage& image, float strength, uint32_t seed);
// Multiplies the colour of each pixel by 1 + strength * (noise - 0.5).
void mottle(QImage& image, float scale, float strength, uint32_t seed);

QPainter& antialiased(QPainter& painter);

QFont font(const QString& family, int pixelSize, bool bold, qreal spacing = 0);
// Path of `text` with its visual bounding box centred on `center`.
QPainterPath centredText(const QFont& font, const QString& text, QPointF center);
// Path of `text` whose left end of the baseline is at `origin`.
QPainterPath textAt(const QFont& font, const QString& text, QPointF origin);

// Colours of an engraved metal: the vertical gradient stops and the outline.
struct Metal {
  QColor top, upper, horizon, lower, bottom;
  QColor outline, shadow;
};
Metal gold();
Metal silver();

// Shades the inside of `path` as if its edges were rounded, lit from the upper left.
void emboss(QImage& target, const QPainterPath& path, int radius, float strength);
// Draws `path` as raised metal lettering with outline, bevel and drop shadow.
void metalText(QImage& target, const QPainterPath& path, const Metal& metal, qreal outlineWidth,
               qreal shadowOffset, int shadowBlur);
// Four-pointed sparkle, used for glints on metal.
void sparkle(QPainter& painter, QPointF center, qreal radius, const QColor& color);
// A small faceted gem with a gold setting, used as a bullet.
void gem(QPainter& painter, QPointF center, qreal radius, const QColor& color);
// A thin gold rule with a diamond in the middle and fading ends.
void ornamentRule(QPainter& painter, QPointF center, qreal halfWidth, const QColor& color);

// The pictures; each is rendered at its final pixel size.
QImage renderBackground();
QImage renderBanner(const Fonts& fonts);
QImage renderLogo(const Fonts& fonts);
QImage renderProgressTrack();
QImage renderProgressFill();
enum class ButtonKind { kPlay, kInstall };
enum class ButtonState { kNormal, kDisabled, kHot };
QImage renderButton(const Fonts& fonts, ButtonKind kind, ButtonState state);
QImage renderClose(bool hot);
QImage renderIcon(const Fonts& fonts, int size);

}  // namespace artwork
