#include "render_artwork_common.h"

#include <QLinearGradient>
#include <QRadialGradient>
#include <algorithm>
#include <cmath>
#include <vector>

namespace artwork {

namespace {

uint32_t hash(int x, int y, uint32_t seed) {
  uint32_t h = seed * 0x9E3779B9u ^ static_cast<uint32_t>(x) * 0x85EBCA6Bu ^
               static_cast<uint32_t>(y) * 0xC2B2AE35u;
  h ^= h >> 16;
  h *= 0x7FEB352Du;
  h ^= h >> 15;
  h *= 0x846CA68Bu;
  h ^= h >> 16;
  return h;
}

float gradientDot(int ix, int iy, uint32_t seed, float dx, float dy) {
  // Sixteen directions avoid the axis-aligned look of the classic eight.
  static const float kDirs[16][2] = {
      {1.f, 0.f},  {0.9239f, 0.3827f},   {0.7071f, 0.7071f},   {0.3827f, 0.9239f},
      {0.f, 1.f},  {-0.3827f, 0.9239f},  {-0.7071f, 0.7071f},  {-0.9239f, 0.3827f},
      {-1.f, 0.f}, {-0.9239f, -0.3827f}, {-0.7071f, -0.7071f}, {-0.3827f, -0.9239f},
      {0.f, -1.f}, {0.3827f, -0.9239f},  {0.7071f, -0.7071f},  {0.9239f, -0.3827f}};
  const float* d = kDirs[hash(ix, iy, seed) & 15u];
  return d[0] * dx + d[1] * dy;
}

float fade(float t) {
  return t * t * t * (t * (t * 6.f - 15.f) + 10.f);
}

// One horizontal and one vertical box pass of a premultiplied ARGB image,
// clamping at the borders.
void boxPass(std::vector<uint32_t>& src, std::vector<uint32_t>& dst, int w, int h, int radius,
             bool horizontal) {
  const int len = horizontal ? w : h;
  const int lines = horizontal ? h : w;
  const int window = 2 * radius + 1;
  for (int line = 0; line < lines; ++line) {
    auto at = [&](int i) -> uint32_t& {
      i = std::clamp(i, 0, len - 1);
      return horizontal ? src[static_cast<size_t>(line) * w + i]
                        : src[static_cast<size_t>(i) * w + line];
    };
    int sum[4] = {0, 0, 0, 0};
    for (int i = -radius; i <= radius; ++i) {
      const uint32_t p = at(i);
      for (int c = 0; c < 4; ++c) sum[c] += (p >> (8 * c)) & 0xFF;
    }
    for (int i = 0; i < len; ++i) {
      uint32_t out = 0;
      for (int c = 0; c < 4; ++c) {
        out |= static_cast<uint32_t>((sum[c] + window / 2) / window) << (8 * c);
      }
      (horizontal ? dst[static_cast<size_t>(line) * w + i]
                  : dst[static_cast<size_t>(i) * w + line]) = out;
      const uint32_t add = at(i + radius + 1);
      const uint32_t sub = at(i - radius);
      for (int c = 0; c < 4; ++c) {
        sum[c] +=
            static_cast<int>((add >> (8 * c)) & 0xFF) - static_cast<int>((sub >> (8 * c)) & 0xFF);
      }
    }
  }
}

}  // namespace

float noise(float x, float y, uint32_t seed) {
  const float fx0 = std::floor(x);
  const float fy0 = std::floor(y);
  const int ix = static_cast<int>(fx0);
  const int iy = static_cast<int>(fy0);
  const float fx = x - fx0;
  const float fy = y - fy0;
  const float u = fade(fx);
  const float v = fade(fy);
  const float n00 = gradientDot(ix, iy, seed, fx, fy);
  const float n10 = gradientDot(ix + 1, iy, seed, fx - 1.f, fy);
  const float n01 = gradientDot(ix, iy + 1, seed, fx, fy - 1.f);
  const float n11 = gradientDot(ix + 1, iy + 1, seed, fx - 1.f, fy - 1.f);
  const float n = lerp(lerp(n00, n10, u), lerp(n01, n11, u), v);
  return clamp01(0.5f + n * 0.75f);
}

float fbm(float x, float y, int octaves, uint32_t seed, float gain) {
  float sum = 0.f;
  float amp = 1.f;
  float norm = 0.f;
  for (int i = 0; i < octaves; ++i) {
    sum += amp * noise(x, y, seed + static_cast<uint32_t>(i) * 1013u);
    norm += amp;
    amp *= gain;
    // Rotate between octaves so the lattices of the layers never line up.
    const float nx = x * 1.6f - y * 1.2f + 17.3f;
    const float ny = x * 1.2f + y * 1.6f - 9.1f;
    x = nx;
    y = ny;
  }
  return sum / norm;
}

float ridged(float x, float y, int octaves, uint32_t seed) {
  float sum = 0.f;
  float amp = 1.f;
  float norm = 0.f;
  for (int i = 0; i < octaves; ++i) {
    const float n =
        1.f - std::fabs(noise(x, y, seed + static_cast<uint32_t>(i) * 7919u) * 2.f - 1.f);
    sum += amp * n * n;
    norm += amp;
    amp *= 0.5f;
    x = x * 2.03f + 3.1f;
    y = y * 2.03f - 1.7f;
  }
  return sum / norm;
}

QColor mix(const QColor& a, const QColor& b, float t) {
  t = clamp01(t);
  return QColor::fromRgbF(lerp(a.redF(), b.redF(), t), lerp(a.greenF(), b.greenF(), t),
                          lerp(a.blueF(), b.blueF(), t), lerp(a.alphaF(), b.alphaF(), t));
}

QColor withAlpha(const QColor& c, int alpha) {
  QColor out = c;
  out.setAlpha(std::clamp(alpha, 0, 255));
  return out;
}

QImage layer(int w, int h) {
  QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

QImage layer(const QSize& size) {
  return layer(size.width(), size.height());
}

void blur(QImage& image, int radius) {
  if (radius <= 0) return;
  if (image.format() != QImage::Format_ARGB32_Premultiplied) {
    image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
  }
  const int w = image.width();
  const int h = image.height();
  std::vector<uint32_t> a(static_cast<size_t>(w) * h);
  std::vector<uint32_t> b(a.size());
  for (int y = 0; y < h; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(image.constScanLine(y));
    std::copy(row, row + w, a.begin() + static_cast<ptrdiff_t>(y) * w);
  }
  // Three box passes of a third of the radius approximate a Gaussian.
  const int r = std::max(1, radius / 3 + (radius % 3 ? 1 : 0));
  for (int pass = 0; pass < 3; ++pass) {
    boxPass(a, b, w, h, r, true);
    boxPass(b, a, w, h, r, false);
  }
  for (int y = 0; y < h; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(image.scanLine(y));
    std::copy(a.begin() + static_cast<ptrdiff_t>(y) * w,
              a.begin() + static_cast<ptrdiff_t>(y + 1) * w, row);
  }
}

void glow(QImage& target, int radius, QPainter::CompositionMode mode,
          const std::function<void(QPainter&)>& draw, qreal opacity) {
  QImage light = layer(target.size());
  {
    QPainter p(&light);
    antialiased(p);
    draw(p);
  }
  blur(light, radius);
  QPainter p(&target);
  p.setCompositionMode(mode);
  p.setOpacity(opacity);
  p.drawImage(0, 0, light);
}

namespace {

// How one pixel's colour channels change: each becomes channel * scale + add.
struct ChannelChange {
  float scale;
  int add;
};

// Changes the colour of every pixel that is not fully transparent, keeping the
// premultiplied channels within the pixel's alpha.
template <typename ChangeAt>
void changeChannels(QImage& image, ChangeAt changeAt) {
  for (int y = 0; y < image.height(); ++y) {
    auto* row = reinterpret_cast<uint32_t*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      const uint32_t p = row[x];
      const int a = static_cast<int>(p >> 24);
      if (a == 0) continue;
      const ChannelChange change = changeAt(x, y, a);
      const auto channel = [&](int shift) {
        const int value = static_cast<int>((p >> shift) & 0xFF);
        return std::clamp(static_cast<int>(value * change.scale) + change.add, 0, a);
      };
      row[x] =
          (static_cast<uint32_t>(a) << 24) | (channel(16) << 16) | (channel(8) << 8) | channel(0);
    }
  }
}

}  // namespace

void grain(QImage& image, float strength, uint32_t seed) {
  changeChannels(image, [&](int x, int y, int a) {
    const float n = (hash(x, y, seed) & 0xFFFF) / 65535.f - 0.5f;
    return ChannelChange{1.f, static_cast<int>(std::lround(n * strength * a))};
  });
}

void mottle(QImage& image, float scale, float strength, uint32_t seed) {
  changeChannels(image, [&](int x, int y, int) {
    return ChannelChange{1.f + strength * (fbm(x / scale, y / scale, 4, seed) - 0.5f) * 2.f, 0};
  });
}

QPainter& antialiased(QPainter& painter) {
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
  painter.setRenderHint(QPainter::TextAntialiasing, true);
  return painter;
}

QFont font(const QString& family, int pixelSize, bool bold, qreal spacing) {
  QFont f(family);
  f.setPixelSize(pixelSize);
  f.setBold(bold);
  f.setHintingPreference(QFont::PreferNoHinting);
  f.setStyleStrategy(QFont::PreferAntialias);
  if (spacing != 0) f.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
  return f;
}

QPainterPath centredText(const QFont& font, const QString& text, QPointF center) {
  QPainterPath path;
  path.addText(0, 0, font, text);
  path.translate(center - path.boundingRect().center());
  return path;
}

QPainterPath textAt(const QFont& font, const QString& text, QPointF origin) {
  QPainterPath path;
  path.addText(origin, font, text);
  return path;
}

Metal gold() {
  return {QColor(255, 248, 214), QColor(246, 203, 104), QColor(138, 86, 24), QColor(232, 174, 70),
          QColor(150, 96, 30),   QColor(38, 20, 6),     QColor(0, 0, 0, 210)};
}

Metal silver() {
  return {QColor(255, 255, 255), QColor(212, 218, 228), QColor(96, 102, 116), QColor(190, 196, 208),
          QColor(110, 116, 130), QColor(16, 18, 24),    QColor(0, 0, 0, 210)};
}

// Lights the inside of `path` as if its edges were rounded: the blurred mask's
// slope towards the upper left brightens, away from it darkens.
void emboss(QImage& target, const QPainterPath& path, int radius, float strength) {
  QImage mask = layer(target.size());
  {
    QPainter p(&mask);
    antialiased(p);
    p.fillPath(path, Qt::white);
  }
  QImage soft = mask.copy();
  blur(soft, radius);
  const QRect box = path.boundingRect().toAlignedRect().adjusted(-2, -2, 2, 2) & target.rect();
  auto alphaAt = [&](int x, int y) {
    x = std::clamp(x, 0, soft.width() - 1);
    y = std::clamp(y, 0, soft.height() - 1);
    return (reinterpret_cast<const uint32_t*>(soft.constScanLine(y))[x] >> 24) / 255.f;
  };
  for (int y = box.top(); y <= box.bottom(); ++y) {
    auto* row = reinterpret_cast<uint32_t*>(target.scanLine(y));
    const auto* m = reinterpret_cast<const uint32_t*>(mask.constScanLine(y));
    for (int x = box.left(); x <= box.right(); ++x) {
      const float cover = (m[x] >> 24) / 255.f;
      if (cover <= 0.f) continue;
      const float gx = alphaAt(x + 1, y) - alphaAt(x - 1, y);
      const float gy = alphaAt(x, y + 1) - alphaAt(x, y - 1);
      const float s = std::clamp((gx * 0.55f + gy * 0.85f) * strength, -1.f, 1.f) * cover;
      const uint32_t p = row[x];
      const int a = static_cast<int>(p >> 24);
      int c[3] = {static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF),
                  static_cast<int>(p & 0xFF)};
      for (int& v : c) {
        v = s > 0 ? v + static_cast<int>((a - v) * s) : static_cast<int>(v * (1.f + s));
        v = std::clamp(v, 0, a);
      }
      row[x] = (static_cast<uint32_t>(a) << 24) | (c[0] << 16) | (c[1] << 8) | c[2];
    }
  }
}

void metalText(QImage& target, const QPainterPath& path, const Metal& metal, qreal outlineWidth,
               qreal shadowOffset, int shadowBlur) {
  const QRectF box = path.boundingRect();
  glow(target, shadowBlur, QPainter::CompositionMode_SourceOver, [&](QPainter& p) {
    p.translate(0, shadowOffset);
    p.setPen(QPen(metal.shadow, outlineWidth * 2 + 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(metal.shadow);
    p.drawPath(path);
  });

  QPainter p(&target);
  antialiased(p);
  p.setPen(QPen(metal.outline, outlineWidth * 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  p.drawPath(path);
  // A thin warm line just outside the letters separates them from the outline.
  p.setPen(QPen(withAlpha(mix(metal.lower, metal.outline, 0.35f), 200), 1.2));
  p.drawPath(path);

  QLinearGradient fill(box.topLeft(), box.bottomLeft());
  fill.setColorAt(0.0, metal.top);
  fill.setColorAt(0.38, metal.upper);
  fill.setColorAt(0.5, metal.horizon);
  fill.setColorAt(0.56, metal.lower);
  fill.setColorAt(1.0, metal.bottom);
  p.setPen(Qt::NoPen);
  p.fillPath(path, fill);
  p.end();

  const int bevel = std::max(1, static_cast<int>(box.height() / 14));
  emboss(target, path, bevel, 3.2f);

  // Faint brushed texture so large letters do not look like flat vector fills.
  QImage brushed = layer(target.size());
  {
    QPainter b(&brushed);
    antialiased(b);
    b.setClipPath(path);
    Rng rng(static_cast<uint32_t>(box.width() * 131 + box.height()));
    for (int i = 0; i < static_cast<int>(box.height() * 3); ++i) {
      const qreal y = rng.uniform(box.top(), box.bottom());
      const qreal x = rng.uniform(box.left() - 20, box.right());
      const bool light = rng.uniform() < 0.5;
      b.setPen(QPen(light ? QColor(255, 255, 240, 26) : QColor(60, 30, 0, 30), 0.8));
      b.drawLine(QPointF(x, y), QPointF(x + rng.uniform(10, 40), y + rng.uniform(-0.5, 0.5)));
    }
  }
  QPainter over(&target);
  over.drawImage(0, 0, brushed);
}

void sparkle(QPainter& painter, QPointF c, qreal r, const QColor& color) {
  painter.save();
  QRadialGradient halo(c, r * 0.7);
  halo.setColorAt(0, withAlpha(color, 170));
  halo.setColorAt(1, withAlpha(color, 0));
  painter.setPen(Qt::NoPen);
  painter.setBrush(halo);
  painter.drawEllipse(c, r * 0.7, r * 0.7);
  QPainterPath star;
  const qreal t = r * 0.11;
  star.moveTo(c + QPointF(0, -r));
  star.lineTo(c + QPointF(t, -t));
  star.lineTo(c + QPointF(r, 0));
  star.lineTo(c + QPointF(t, t));
  star.lineTo(c + QPointF(0, r));
  star.lineTo(c + QPointF(-t, t));
  star.lineTo(c + QPointF(-r, 0));
  star.lineTo(c + QPointF(-t, -t));
  star.closeSubpath();
  painter.setBrush(color);
  painter.drawPath(star);
  painter.restore();
}

void gem(QPainter& painter, QPointF c, qreal r, const QColor& color) {
  painter.save();
  auto diamond = [&](qreal s) {
    QPainterPath d;
    d.moveTo(c + QPointF(0, -s));
    d.lineTo(c + QPointF(s, 0));
    d.lineTo(c + QPointF(0, s));
    d.lineTo(c + QPointF(-s, 0));
    d.closeSubpath();
    return d;
  };
  painter.setPen(QPen(QColor(20, 10, 2, 220), 1.2));
  QLinearGradient setting(c + QPointF(0, -r), c + QPointF(0, r));
  setting.setColorAt(0, QColor(255, 236, 170));
  setting.setColorAt(0.5, QColor(190, 130, 40));
  setting.setColorAt(1, QColor(110, 66, 16));
  painter.setBrush(setting);
  painter.drawPath(diamond(r));
  QRadialGradient stone(c + QPointF(-r * 0.2, -r * 0.25), r * 0.8);
  stone.setColorAt(0, color.lighter(190));
  stone.setColorAt(0.45, color);
  stone.setColorAt(1, color.darker(260));
  painter.setPen(Qt::NoPen);
  painter.setBrush(stone);
  painter.drawPath(diamond(r * 0.62));
  // Facet lines catch the light on the upper left.
  painter.setPen(QPen(QColor(255, 255, 255, 90), 0.8));
  painter.drawLine(c + QPointF(-r * 0.62, 0), c + QPointF(0, -r * 0.62));
  painter.setBrush(QColor(255, 255, 255, 220));
  painter.setPen(Qt::NoPen);
  painter.drawEllipse(c + QPointF(-r * 0.18, -r * 0.22), r * 0.12, r * 0.12);
  painter.restore();
}

void ornamentRule(QPainter& painter, QPointF c, qreal halfWidth, const QColor& color) {
  painter.save();
  QLinearGradient line(c - QPointF(halfWidth, 0), c + QPointF(halfWidth, 0));
  line.setColorAt(0, withAlpha(color, 0));
  line.setColorAt(0.3, withAlpha(color, 200));
  line.setColorAt(0.5, color);
  line.setColorAt(0.7, withAlpha(color, 200));
  line.setColorAt(1, withAlpha(color, 0));
  painter.setPen(QPen(QBrush(line), 1.3));
  painter.drawLine(c - QPointF(halfWidth, 0), c - QPointF(9, 0));
  painter.drawLine(c + QPointF(9, 0), c + QPointF(halfWidth, 0));
  painter.setPen(QPen(QColor(20, 10, 2, 200), 1));
  painter.setBrush(color);
  QPainterPath d;
  d.moveTo(c + QPointF(0, -5));
  d.lineTo(c + QPointF(6, 0));
  d.lineTo(c + QPointF(0, 5));
  d.lineTo(c + QPointF(-6, 0));
  d.closeSubpath();
  painter.drawPath(d);
  painter.setPen(Qt::NoPen);
  painter.drawEllipse(c + QPointF(-12, 0), 1.6, 1.6);
  painter.drawEllipse(c + QPointF(12, 0), 1.6, 1.6);
  painter.restore();
}

}  // namespace artwork
