// Painting helpers the two scenes share: colours for per-pixel work, crest
// lines, fir and tower silhouettes, rim lighting and mountain ranges.
#pragma once

#include <QLinearGradient>
#include <QRadialGradient>
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <numbers>
#include <utility>
#include <vector>

#include "render_artwork_common.h"

namespace artwork::kit {

// Colour in 0..255 floats for per-pixel work.
struct Col {
  float r = 0, g = 0, b = 0;
};
inline Col operator+(Col a, Col b) {
  return {a.r + b.r, a.g + b.g, a.b + b.b};
}
inline Col operator*(Col a, float s) {
  return {a.r * s, a.g * s, a.b * s};
}
inline Col blend(Col a, Col b, float t) {
  t = clamp01(t);
  return {lerp(a.r, b.r, t), lerp(a.g, b.g, t), lerp(a.b, b.b, t)};
}
inline Col ramp(std::initializer_list<std::pair<float, Col>> stops, float t) {
  auto it = stops.begin();
  if (t <= it->first) return it->second;
  for (auto next = it + 1; next != stops.end(); ++it, ++next) {
    if (t <= next->first)
      return blend(it->second, next->second, (t - it->first) / (next->first - it->first));
  }
  return it->second;
}
inline QColor qcol(Col c, int alpha = 255) {
  return QColor(std::clamp(static_cast<int>(c.r), 0, 255),
                std::clamp(static_cast<int>(c.g), 0, 255),
                std::clamp(static_cast<int>(c.b), 0, 255), alpha);
}

inline Col get(const QImage& img, int x, int y) {
  const uint32_t p = reinterpret_cast<const uint32_t*>(img.constScanLine(y))[x];
  return {static_cast<float>((p >> 16) & 0xFF), static_cast<float>((p >> 8) & 0xFF),
          static_cast<float>(p & 0xFF)};
}
inline void put(QImage& img, int x, int y, Col c) {
  auto q = [](float v) {
    return static_cast<uint32_t>(std::clamp(static_cast<int>(v + 0.5f), 0, 255));
  };
  reinterpret_cast<uint32_t*>(img.scanLine(y))[x] =
      0xFF000000u | (q(c.r) << 16) | (q(c.g) << 8) | q(c.b);
}
// Blends `c` over the opaque pixel with coverage `a`.
inline void over(QImage& img, int x, int y, Col c, float a) {
  if (a <= 0.f) return;
  put(img, x, y, blend(get(img, x, y), c, a));
}

inline float bump(float v, float centre, float width) {
  const float d = (v - centre) / width;
  return std::exp(-d * d);
}

// Per-column height profile of a mountain range, y of the crest for each x.
inline std::vector<float> profile(int width, const std::function<float(float)>& crest) {
  std::vector<float> ys(static_cast<size_t>(width) + 4);
  for (int x = -2; x < width + 2; ++x)
    ys[static_cast<size_t>(x + 2)] = crest(static_cast<float>(x));
  return ys;
}
inline float crestAt(const std::vector<float>& ys, int x) {
  return ys[static_cast<size_t>(std::clamp(x + 2, 0, static_cast<int>(ys.size()) - 1))];
}

// Fills everything below a crest line, shading each pixel with `shade`
// (depth below the crest, x, y) and anti-aliasing the crest itself.
inline void fillRange(QImage& img, const std::vector<float>& ys,
                      const std::function<Col(float depth, int x, int y)>& shade) {
  for (int x = 0; x < img.width(); ++x) {
    const float crest = crestAt(ys, x);
    for (int y = std::max(0, static_cast<int>(crest)); y < img.height(); ++y) {
      const float cover = clamp01(y + 1.f - crest);
      over(img, x, y, shade(y - crest, x, y), cover);
    }
  }
}

// A fir silhouette: drooping tiers of branches narrowing towards the top.
inline QPainterPath pine(QPointF base, qreal height, qreal width, Rng& rng) {
  QPainterPath path;
  const int tiers = std::max(5, static_cast<int>(height / 13));
  const qreal top = base.y() - height;
  const qreal trunkW = width * 0.07;
  std::vector<QPointF> left;
  std::vector<QPointF> right;
  left.push_back({base.x(), top - height * 0.03});
  for (int i = 0; i < tiers; ++i) {
    const qreal f = (i + 1.0) / tiers;
    const qreal y = top + height * 0.9 * f;
    const qreal droop = height / tiers * rng.uniform(0.35, 0.6);
    const qreal wl = width * 0.5 * std::pow(f, 0.85) * rng.uniform(0.75, 1.12);
    const qreal wr = width * 0.5 * std::pow(f, 0.85) * rng.uniform(0.75, 1.12);
    left.push_back({base.x() - wl, y + droop * 0.4});
    left.push_back({base.x() - wl * rng.uniform(0.25, 0.45), y - droop * 0.3});
    right.push_back({base.x() + wr, y + droop * 0.4});
    right.push_back({base.x() + wr * rng.uniform(0.25, 0.45), y - droop * 0.3});
  }
  path.moveTo(left[0]);
  for (size_t i = 1; i < left.size(); ++i) path.lineTo(left[i]);
  path.lineTo(base.x() - trunkW, base.y() - height * 0.06);
  path.lineTo(base.x() - trunkW, base.y() + 4);
  path.lineTo(base.x() + trunkW, base.y() + 4);
  path.lineTo(base.x() + trunkW, base.y() - height * 0.06);
  for (size_t i = right.size(); i-- > 0;) path.lineTo(right[i]);
  path.closeSubpath();
  return path;
}

// Battlements along the top edge of a wall segment.
inline void merlons(QPainterPath& path, qreal x0, qreal x1, qreal top, qreal size) {
  for (qreal x = x0; x + size * 0.6 <= x1 + 0.01; x += size * 1.6) {
    path.addRect(QRectF(x, top - size, size, size + 1));
  }
}

// A tower with a pointed roof, added to `path`.
inline void tower(QPainterPath& path, qreal cx, qreal w, qreal top, qreal bottom, qreal roofH,
                  bool battlements = false) {
  path.addRect(QRectF(cx - w / 2, top, w, bottom - top));
  if (roofH > 0) {
    QPainterPath roof;
    roof.moveTo(cx - w / 2 - w * 0.18, top + 1);
    roof.quadTo(cx - w * 0.2, top - roofH * 0.45, cx, top - roofH);
    roof.quadTo(cx + w * 0.2, top - roofH * 0.45, cx + w / 2 + w * 0.18, top + 1);
    roof.closeSubpath();
    path.addPath(roof);
  }
  if (battlements) merlons(path, cx - w / 2, cx + w / 2, top, std::max(2.0, w / 7));
}

inline void pennant(QPainterPath& path, QPointF tip, qreal len, qreal dir) {
  path.addRect(QRectF(tip.x() - 0.6, tip.y() - len * 0.9, 1.2, len * 0.9 + 2));
  QPainterPath flag;
  flag.moveTo(tip.x(), tip.y() - len * 0.9);
  flag.cubicTo(tip.x() + dir * len * 0.4, tip.y() - len * 0.95, tip.x() + dir * len * 0.6,
               tip.y() - len * 0.7, tip.x() + dir * len, tip.y() - len * 0.78);
  flag.lineTo(tip.x(), tip.y() - len * 0.55);
  flag.closeSubpath();
  path.addPath(flag);
}

// Paints a silhouette whose body is shifted by `away`, leaving a thin rim of
// light along the edges that face the light source.
inline void rimLit(QPainter& p, const QPainterPath& shape, const QBrush& body, const QColor& rim,
                   QPointF away) {
  p.setPen(Qt::NoPen);
  p.fillPath(shape, rim);
  p.save();
  p.setClipPath(shape);
  p.translate(away);
  p.fillPath(shape, body);
  p.restore();
}

// Like rimLit, with the body's brightness scaled per pixel by `texture`.
inline void rimLitTextured(QImage& img, const QPainterPath& shape, const QBrush& body,
                           const QColor& rim, QPointF away,
                           const std::function<float(int, int)>& texture) {
  QImage skin = layer(img.size());
  {
    QPainter p(&skin);
    antialiased(p);
    p.setClipPath(shape);
    p.translate(away);
    p.fillPath(shape, body);
  }
  for (int y = 0; y < skin.height(); ++y) {
    auto* row = reinterpret_cast<uint32_t*>(skin.scanLine(y));
    for (int x = 0; x < skin.width(); ++x) {
      const uint32_t px = row[x];
      const int a = static_cast<int>(px >> 24);
      if (a == 0) continue;
      const float k = texture(x, y);
      auto ch = [&](int shift) {
        return static_cast<uint32_t>(
            std::clamp(static_cast<int>(((px >> shift) & 0xFF) * k), 0, a));
      };
      row[x] = (static_cast<uint32_t>(a) << 24) | (ch(16) << 16) | (ch(8) << 8) | ch(0);
    }
  }
  QPainter p(&img);
  antialiased(p);
  p.fillPath(shape, rim);
  p.drawImage(0, 0, skin);
}

inline void windowGlow(QImage& img, const std::vector<QRectF>& windows, const QColor& warm) {
  glow(img, 9, QPainter::CompositionMode_Plus, [&](QPainter& p) {
    p.setPen(Qt::NoPen);
    for (const QRectF& w : windows) {
      QRadialGradient g(w.center(), w.height() * 2.2);
      g.setColorAt(0, withAlpha(warm, 150));
      g.setColorAt(1, withAlpha(warm, 0));
      p.setBrush(g);
      p.drawEllipse(w.center(), w.height() * 2.2, w.height() * 2.2);
    }
  });
  QPainter p(&img);
  antialiased(p);
  p.setPen(Qt::NoPen);
  for (const QRectF& w : windows) {
    QPainterPath arch;
    arch.moveTo(w.bottomLeft());
    arch.lineTo(w.left(), w.top() + w.width() / 2);
    arch.arcTo(QRectF(w.left(), w.top(), w.width(), w.width()), 180, -180);
    arch.lineTo(w.bottomRight());
    arch.closeSubpath();
    QLinearGradient g(w.topLeft(), w.bottomLeft());
    g.setColorAt(0, warm.lighter(135));
    g.setColorAt(1, warm.darker(130));
    p.fillPath(arch, g);
  }
}

// A mountain range built from peaks: each peak has a lit and a shaded face
// split by a wandering ridge line, gullies running down, and snow near the top.
struct Peak {
  float x, y, left, right;  // apex and the drop per pixel on either side
};
struct RangeLook {
  Col rockLit, rockShade, snowLit, snowShade, haze;
  float hazeDepth = 150;
  float snowBelow = 0;  // only peaks higher than this (smaller y) carry snow
  uint32_t seed = 0;
};

inline void paintRange(QImage& img, const std::vector<Peak>& peaks, const RangeLook& look,
                       float lightX) {
  const int W = img.width();
  auto ownerAt = [&](float x) -> const Peak& {
    size_t owner = 0;
    float best = 1e9f;
    for (size_t i = 0; i < peaks.size(); ++i) {
      const float d = x - peaks[i].x;
      const float y = peaks[i].y + (d < 0 ? -d * peaks[i].left : d * peaks[i].right);
      if (y < best) {
        best = y;
        owner = i;
      }
    }
    return peaks[owner];
  };
  const auto crest = profile(W, [&](float x) {
    const Peak& p = ownerAt(x);
    const float d = x - p.x;
    return p.y + (d < 0 ? -d * p.left : d * p.right) +
           14.f * (ridged(x / 45.f, 0.5f, 4, look.seed) - 0.45f) +
           3.f * (noise(x / 6.f, 0.5f, look.seed + 1) - 0.5f);
  });
  fillRange(img, crest, [&](float depth, int x, int y) {
    // Valleys between peaks wander as they descend instead of dropping plumb.
    const float wander =
        (fbm(x / 50.f, y / 45.f, 3, look.seed + 6) - 0.5f) * std::min(depth, 220.f) * 1.2f;
    const Peak& p = ownerAt(x + wander);
    const float below = y - p.y;
    const float ridgeX = p.x + (fbm(y / 38.f, p.x / 50.f, 3, look.seed + 2) - 0.5f) * 0.9f * below;
    const bool lightFromLeft = lightX < p.x;
    const float toLight = lightFromLeft ? ridgeX - x : x - ridgeX;
    float lit = smoothstep(-2.f, 2.f, toLight);
    // Gullies: streaks that follow the fall line of each face.
    const float fall = (x - ridgeX) / std::max(8.f, below * 0.6f);
    const float gully = fbm(fall * 3.f + p.x, y / 60.f, 3, look.seed + 3);
    lit *= 0.55f + 0.6f * gully;
    const float shade = 0.15f + 0.85f * lit;
    Col c = blend(look.rockShade, look.rockLit, shade);
    if (p.y < look.snowBelow) {
      const float line = 30.f + 36.f * fbm(x / 18.f, y / 18.f, 3, look.seed + 4);
      const float snow = smoothstep(line + 6.f, line - 6.f, below) *
                         smoothstep(0.32f, 0.5f, fbm(x / 7.f, y / 26.f, 3, look.seed + 5)) *
                         smoothstep(look.snowBelow, look.snowBelow - 40.f, p.y);
      c = blend(c, blend(look.snowShade, look.snowLit, shade), snow);
    }
    return blend(c, look.haze, 0.15f + 0.75f * smoothstep(0.f, look.hazeDepth, depth));
  });
}

}  // namespace artwork::kit
