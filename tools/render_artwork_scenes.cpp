// The two painted scenes: the window background (a moonlit keep at night) and
// the promotional banner (a citadel at sunset with the server's features).
#include <QLinearGradient>
#include <QRadialGradient>
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <numbers>
#include <utility>
#include <vector>

#include "render_artwork_common.h"

namespace artwork {

namespace {

// Colour in 0..255 floats for per-pixel work.
struct Col {
  float r = 0, g = 0, b = 0;
};
Col operator+(Col a, Col b) {
  return {a.r + b.r, a.g + b.g, a.b + b.b};
}
Col operator*(Col a, float s) {
  return {a.r * s, a.g * s, a.b * s};
}
Col blend(Col a, Col b, float t) {
  t = clamp01(t);
  return {lerp(a.r, b.r, t), lerp(a.g, b.g, t), lerp(a.b, b.b, t)};
}
Col ramp(std::initializer_list<std::pair<float, Col>> stops, float t) {
  auto it = stops.begin();
  if (t <= it->first) return it->second;
  for (auto next = it + 1; next != stops.end(); ++it, ++next) {
    if (t <= next->first)
      return blend(it->second, next->second, (t - it->first) / (next->first - it->first));
  }
  return it->second;
}
QColor qcol(Col c, int alpha = 255) {
  return QColor(std::clamp(static_cast<int>(c.r), 0, 255),
                std::clamp(static_cast<int>(c.g), 0, 255),
                std::clamp(static_cast<int>(c.b), 0, 255), alpha);
}

Col get(const QImage& img, int x, int y) {
  const uint32_t p = reinterpret_cast<const uint32_t*>(img.constScanLine(y))[x];
  return {static_cast<float>((p >> 16) & 0xFF), static_cast<float>((p >> 8) & 0xFF),
          static_cast<float>(p & 0xFF)};
}
void put(QImage& img, int x, int y, Col c) {
  auto q = [](float v) {
    return static_cast<uint32_t>(std::clamp(static_cast<int>(v + 0.5f), 0, 255));
  };
  reinterpret_cast<uint32_t*>(img.scanLine(y))[x] =
      0xFF000000u | (q(c.r) << 16) | (q(c.g) << 8) | q(c.b);
}
// Blends `c` over the opaque pixel with coverage `a`.
void over(QImage& img, int x, int y, Col c, float a) {
  if (a <= 0.f) return;
  put(img, x, y, blend(get(img, x, y), c, a));
}

float bump(float v, float centre, float width) {
  const float d = (v - centre) / width;
  return std::exp(-d * d);
}

// Per-column height profile of a mountain range, y of the crest for each x.
std::vector<float> profile(int width, const std::function<float(float)>& crest) {
  std::vector<float> ys(static_cast<size_t>(width) + 4);
  for (int x = -2; x < width + 2; ++x)
    ys[static_cast<size_t>(x + 2)] = crest(static_cast<float>(x));
  return ys;
}
float crestAt(const std::vector<float>& ys, int x) {
  return ys[static_cast<size_t>(std::clamp(x + 2, 0, static_cast<int>(ys.size()) - 1))];
}

// Fills everything below a crest line, shading each pixel with `shade`
// (depth below the crest, x, y) and anti-aliasing the crest itself.
void fillRange(QImage& img, const std::vector<float>& ys,
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
QPainterPath pine(QPointF base, qreal height, qreal width, Rng& rng) {
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
void merlons(QPainterPath& path, qreal x0, qreal x1, qreal top, qreal size) {
  for (qreal x = x0; x + size * 0.6 <= x1 + 0.01; x += size * 1.6) {
    path.addRect(QRectF(x, top - size, size, size + 1));
  }
}

// A tower with a pointed roof, added to `path`.
void tower(QPainterPath& path, qreal cx, qreal w, qreal top, qreal bottom, qreal roofH,
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

void pennant(QPainterPath& path, QPointF tip, qreal len, qreal dir) {
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
void rimLit(QPainter& p, const QPainterPath& shape, const QBrush& body, const QColor& rim,
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
void rimLitTextured(QImage& img, const QPainterPath& shape, const QBrush& body, const QColor& rim,
                    QPointF away, const std::function<float(int, int)>& texture) {
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

void windowGlow(QImage& img, const std::vector<QRectF>& windows, const QColor& warm) {
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

void paintRange(QImage& img, const std::vector<Peak>& peaks, const RangeLook& look, float lightX) {
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

}  // namespace

// ---------------------------------------------------------------------------
// Background: 1399 x 700, only the top-left 1008 x 677 is on screen and the
// middle is hidden behind the banner, so the interest sits in the sky band at
// the top (moon, spires), the side strips (firs) and a dark foreground below.
QImage renderBackground() {
  const int W = 1399;
  const int H = 700;
  QImage img(W, H, QImage::Format_ARGB32_Premultiplied);
  const QPointF moon(452, 58);
  const Col moonLight{150, 170, 215};

  // Sky with a faint milky way rising from the lower left to the top right.
  const QPointF mwA(-40, 470);
  const QPointF mwB(1250, -90);
  const QPointF mwDir = (mwB - mwA) / std::hypot(mwB.x() - mwA.x(), mwB.y() - mwA.y());
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      Col c = ramp({{0.f, {4, 6, 14}},
                    {0.3f, {8, 12, 28}},
                    {0.62f, {17, 23, 48}},
                    {0.85f, {30, 33, 58}},
                    {1.f, {44, 38, 56}}},
                   y / 470.f);
      const float dm = std::hypot(x - moon.x(), y - moon.y());
      c = c + Col{16, 22, 36} * std::exp(-dm / 240.f);
      const float dx = x - mwA.x();
      const float dy = y - mwA.y();
      const float d = dx * -mwDir.y() + dy * mwDir.x();
      const float band = std::exp(-d * d / (2 * 70.f * 70.f));
      if (band > 0.01f) {
        const float cloud = fbm(x / 120.f, y / 120.f, 5, 11);
        const float lane = smoothstep(0.5f, 0.66f, fbm(x / 55.f, y / 55.f, 4, 12)) *
                           std::exp(-d * d / (2 * 22.f * 22.f));
        const float mw = band * (0.25f + smoothstep(0.3f, 0.78f, cloud)) * (1.f - 0.8f * lane);
        c = c + Col{28, 32, 50} * mw + Col{16, 10, 5} * (mw * mw);
      }
      put(img, x, y, c);
    }
  }

  // Stars: many faint, few bright, denser along the milky way, fading near the
  // horizon haze and in the moon's glare.
  {
    QPainter p(&img);
    antialiased(p);
    p.setPen(Qt::NoPen);
    Rng rng(7);
    auto star = [&](QPointF at, double b) {
      const double fade = smoothstep(470, 250, at.y()) *
                          smoothstep(40, 150, std::hypot(at.x() - moon.x(), at.y() - moon.y()));
      b *= fade;
      // Keep bright stars from competing with the link texts and close button.
      if (QRectF(515, 70, 485, 46).contains(at) || QRectF(960, 10, 40, 38).contains(at)) b *= 0.3;
      if (b < 0.04) return;
      const QColor tint = mix(QColor(190, 210, 255), QColor(255, 236, 205), rng.uniform());
      if (b < 0.5) {
        p.setBrush(withAlpha(tint, static_cast<int>(255 * std::min(1.0, b * 1.5))));
        p.drawEllipse(at, 0.55, 0.55);
        return;
      }
      const double r = 1.0 + 2.2 * b;
      QRadialGradient g(at, r);
      g.setColorAt(0, withAlpha(QColor(255, 255, 255), static_cast<int>(255 * b)));
      g.setColorAt(0.3, withAlpha(tint, static_cast<int>(170 * b)));
      g.setColorAt(1, withAlpha(tint, 0));
      p.setBrush(g);
      p.drawEllipse(at, r, r);
      if (b > 0.8) sparkle(p, at, 3 + 5 * b, withAlpha(tint, 120));
    };
    for (int i = 0; i < 1500; ++i) {
      const QPointF at(rng.uniform(0, W), rng.uniform(0, 470));
      star(at, std::pow(rng.uniform(), 5.0));
    }
    for (int i = 0; i < 1400; ++i) {
      const double t = rng.uniform(0, 1);
      const double off = (rng.uniform() + rng.uniform() + rng.uniform() - 1.5) * 70;
      const QPointF at = mwA + (mwB - mwA) * t + QPointF(-mwDir.y(), mwDir.x()) * off;
      if (at.x() < 0 || at.x() >= W || at.y() < 0 || at.y() >= H) continue;
      star(at, 0.05 + 0.35 * std::pow(rng.uniform(), 3.0));
    }
  }

  // Moon: a lit sphere with faint maria, then its halo.
  {
    const float r = 18.f;
    const float lx = -0.45f, ly = -0.25f, lz = 0.86f;
    for (int y = static_cast<int>(moon.y() - r - 2); y <= moon.y() + r + 2; ++y) {
      for (int x = static_cast<int>(moon.x() - r - 2); x <= moon.x() + r + 2; ++x) {
        const float nx = (x + 0.5f - moon.x()) / r;
        const float ny = (y + 0.5f - moon.y()) / r;
        const float rr = nx * nx + ny * ny;
        const float cover = clamp01((1.f - std::sqrt(rr)) * r + 0.5f);
        if (cover <= 0) continue;
        const float nz = std::sqrt(std::max(0.f, 1.f - rr));
        const float lambert = std::max(0.f, nx * lx + ny * ly + nz * lz);
        const float maria = smoothstep(0.45f, 0.65f, fbm(nx * 1.6f + 4, ny * 1.6f, 4, 71));
        const float light = 0.1f + 0.95f * std::pow(lambert, 0.8f);
        Col c = blend(Col{236, 234, 222}, Col{170, 176, 190}, maria * 0.55f) * light;
        over(img, x, y, c + Col{10, 14, 26}, cover);
      }
    }
    glow(img, 6, QPainter::CompositionMode_Plus, [&](QPainter& p) {
      QRadialGradient g(moon, 150);
      g.setColorAt(0, qcol(moonLight, 120));
      g.setColorAt(0.12, qcol(moonLight, 60));
      g.setColorAt(0.35, qcol(moonLight, 16));
      g.setColorAt(1, qcol(moonLight, 0));
      p.setPen(Qt::NoPen);
      p.setBrush(g);
      p.drawEllipse(moon, 150, 150);
    });
  }

  // Clouds lit from the moon side: where density falls off towards the moon
  // the edge catches light.
  for (int y = 0; y < 480; ++y) {
    for (int x = 0; x < W; ++x) {
      const float mask = 0.75f * bump(y, 120, 60) + bump(y, 330, 95);
      if (mask < 0.02f) continue;
      const float sx = x / 430.f;
      const float sy = y / 62.f;
      const float c = fbm(sx, sy, 6, 21);
      const float density = smoothstep(0.5f, 0.74f, c) * mask;
      if (density < 0.004f) continue;
      const float mx = moon.x() - x;
      const float my = moon.y() - y;
      const float ml = std::max(1.f, std::hypot(mx, my));
      const float c2 = fbm((x + mx / ml * 9) / 430.f, (y + my / ml * 9) / 62.f, 6, 21);
      const float lit = clamp01((c - c2) * 9.f + 0.25f);
      const float prox = std::exp(-ml / 260.f);
      const Col col = blend(Col{13, 16, 30}, Col{98, 110, 146}, lit * 0.55f + prox * 0.7f);
      over(img, x, y, col, density * 0.9f);
    }
  }

  // Far snow-capped range; peaks rise above the banner at both window edges.
  {
    Rng rng(31);
    std::vector<Peak> peaks;
    for (float x = -80; x < W + 80; x += static_cast<float>(rng.uniform(80, 150))) {
      const float env = std::max({bump(x, 10, 150), bump(x, 1000, 120), bump(x, 1320, 140), 0.f});
      peaks.push_back({x + static_cast<float>(rng.uniform(-20, 20)),
                       285.f - 120.f * env - static_cast<float>(rng.uniform(0, 55)),
                       static_cast<float>(rng.uniform(0.5, 0.95)),
                       static_cast<float>(rng.uniform(0.5, 0.95))});
    }
    RangeLook look;
    look.rockLit = {66, 76, 108};
    look.rockShade = {22, 27, 48};
    look.snowLit = {156, 170, 206};
    look.snowShade = {62, 72, 104};
    look.haze = {30, 36, 62};
    look.hazeDepth = 160;
    look.snowBelow = 250;
    look.seed = 33;
    paintRange(img, peaks, look, static_cast<float>(moon.x()));
  }
  // Forested foothills in front of the range, their tree line jagged against the haze.
  const auto foothills = profile(W, [](float x) {
    return 352.f - 46.f * fbm(x / 170.f, 2.9f, 4, 37) -
           7.f * std::fabs(std::sin(x / 3.3f)) * fbm(x / 11.f, 0.7f, 2, 38);
  });
  fillRange(img, foothills, [](float depth, int x, int y) {
    const float tex = fbm(x / 8.f, y / 8.f, 3, 39);
    const float rim = 1.f - smoothstep(0.f, 3.f, depth);
    Col c = blend(Col{26, 31, 54}, Col{18, 22, 40}, smoothstep(0.f, 60.f, depth)) *
            (0.85f + 0.3f * tex);
    return blend(c, Col{60, 70, 100}, rim * 0.4f);
  });

  // Mist pooled in the valley behind the keep.
  for (int y = 250; y < 520; ++y) {
    for (int x = 0; x < W; ++x) {
      const float m = fbm(x / 260.f, y / 34.f, 5, 41) * bump(y, 385, 55);
      over(img, x, y, Col{62, 72, 104}, smoothstep(0.25f, 0.7f, m) * 0.55f);
    }
  }

  // Near hills, then the keep, then the crag it stands on in front of its feet.
  const float keepX = 430;
  const auto hills = profile(W, [&](float x) {
    return 418.f - 30.f * fbm(x / 180.f, 1.7f, 4, 51) - 20.f * bump(x, keepX, 180);
  });
  fillRange(img, hills, [&](float depth, int x, int y) {
    const float tex = fbm(x / 26.f, y / 14.f, 4, 53);
    const float rim = (1.f - smoothstep(0.f, 5.f, depth)) * 0.9f;
    return blend(Col{12, 14, 26} * (0.8f + tex * 0.5f), Col{48, 56, 84}, rim * 0.5f);
  });

  // The keep: a tall spire over a battlemented hall, a broken tower to the east.
  {
    QPainterPath keep;
    const qreal base = 382;
    keep.addRect(QRectF(keepX - 140, base - 52, 250, 70));  // curtain wall
    merlons(keep, keepX - 140, keepX + 110, base - 52, 6);
    keep.addRect(QRectF(keepX - 48, base - 135, 100, 150));  // hall
    merlons(keep, keepX - 48, keepX + 52, base - 135, 7);
    tower(keep, keepX, 26, base - 205, base - 100, 92);  // central spire
    tower(keep, keepX - 70, 26, base - 165, base, 62);
    tower(keep, keepX + 66, 24, base - 190, base, 70);
    tower(keep, keepX - 130, 20, base - 95, base, 38);
    tower(keep, keepX - 40, 14, base - 160, base - 120, 34);
    tower(keep, keepX + 38, 14, base - 165, base - 120, 36);
    pennant(keep, QPointF(keepX, base - 297), 18, 1);
    pennant(keep, QPointF(keepX + 66, base - 260), 12, 1);
    // Ruined tower: jagged broken top.
    QPainterPath ruin;
    ruin.moveTo(keepX + 120, base + 10);
    ruin.lineTo(keepX + 120, base - 110);
    ruin.lineTo(keepX + 126, base - 122);
    ruin.lineTo(keepX + 131, base - 112);
    ruin.lineTo(keepX + 137, base - 130);
    ruin.lineTo(keepX + 142, base - 104);
    ruin.lineTo(keepX + 146, base - 96);
    ruin.lineTo(keepX + 146, base + 10);
    ruin.closeSubpath();
    keep.addPath(ruin);
    keep.setFillRule(Qt::WindingFill);
    const QPainterPath shape = keep.simplified();

    QPainter p(&img);
    antialiased(p);
    QLinearGradient body(0, base - 300, 0, base);
    body.setColorAt(0, QColor(14, 16, 30));
    body.setColorAt(1, QColor(8, 9, 18));
    rimLit(p, shape, body, QColor(92, 106, 146), QPointF(0.9, 1.4));
    p.end();

    std::vector<QRectF> windows = {
        {keepX - 2.5, base - 190, 5, 9}, {keepX - 3, base - 262, 6, 10},
        {keepX - 74, base - 140, 5, 8},  {keepX + 63, base - 170, 5, 8},
        {keepX - 30, base - 110, 5, 9},  {keepX - 10, base - 110, 5, 9},
        {keepX + 10, base - 110, 5, 9},  {keepX + 30, base - 110, 5, 9},
        {keepX - 100, base - 38, 4, 6},  {keepX + 90, base - 36, 4, 6},
        {keepX + 129, base - 80, 4, 7},
    };
    windowGlow(img, windows, QColor(255, 168, 72));

    const auto crag = profile(W, [&](float x) {
      const float off = std::fabs(x - keepX - 4);
      return static_cast<float>(base) + 2.f + 8.f * fbm(x / 16.f, 4.2f, 4, 55) +
             170.f * std::pow(smoothstep(120.f, 300.f, off), 1.5f) +
             10.f * smoothstep(60.f, 140.f, off) +
             40.f * (fbm(x / 22.f, 9.1f, 4, 56) - 0.5f) * smoothstep(90.f, 180.f, off);
    });
    fillRange(img, crag, [&](float depth, int x, int y) {
      const float strata = fbm(x / 40.f, y / 7.f, 4, 57);
      const float cracks = smoothstep(0.62f, 0.75f, fbm(x / 6.f, y / 40.f, 3, 59));
      const float rim = 1.f - smoothstep(0.f, 4.f, depth);
      const float side = x < keepX ? 0.6f : 0.25f;
      Col c = blend(Col{8, 9, 17}, Col{24, 28, 46},
                    (strata * 0.7f + side * 0.4f) * (1.f - smoothstep(0.f, 100.f, depth)));
      c = c * (1.f - 0.45f * cracks);
      return blend(c, Col{64, 74, 104}, rim * 0.4f);
    });
  }

  // Warm haze around the keep's fires and a band of mist at its feet.
  glow(img, 40, QPainter::CompositionMode_Plus, [&](QPainter& p) {
    QRadialGradient g(QPointF(keepX, 300), 220);
    g.setColorAt(0, QColor(120, 60, 20, 60));
    g.setColorAt(1, QColor(120, 60, 20, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawEllipse(QPointF(keepX, 300), 220, 150);
  });
  for (int y = 360; y < 560; ++y) {
    for (int x = 0; x < W; ++x) {
      const float m = fbm(x / 200.f, y / 26.f, 5, 43) * bump(y, 450, 60);
      over(img, x, y, Col{48, 56, 84}, smoothstep(0.3f, 0.75f, m) * 0.6f);
    }
  }

  // Dark forest line and foreground.
  const auto forest = profile(W, [](float x) {
    return 505.f - 14.f * fbm(x / 60.f, 3.3f, 4, 61) -
           10.f * std::fabs(std::sin(x / 7.3f)) * fbm(x / 20.f, 0.5f, 2, 62);
  });
  fillRange(img, forest, [](float depth, int x, int y) {
    const float tex = fbm(x / 12.f, y / 12.f, 3, 63);
    return blend(Col{16, 19, 32}, Col{9, 10, 18}, smoothstep(0.f, 40.f, depth)) *
           (0.85f + 0.3f * tex);
  });
  for (int y = 470; y < 600; ++y) {
    for (int x = 0; x < W; ++x) {
      const float m = fbm(x / 150.f, y / 20.f, 5, 45) * bump(y, 540, 35);
      over(img, x, y, Col{40, 48, 74}, smoothstep(0.3f, 0.75f, m) * 0.5f);
    }
  }
  const auto ground = profile(W, [](float x) {
    return 566.f - 16.f * fbm(x / 140.f, 8.1f, 4, 71) + 8.f * bump(x, 420, 160);
  });
  fillRange(img, ground, [](float depth, int x, int y) {
    const float tex = fbm(x / 30.f, y / 9.f, 4, 73);
    const float rim = 1.f - smoothstep(0.f, 4.f, depth);
    Col c =
        blend(Col{13, 14, 22}, Col{6, 6, 11}, smoothstep(0.f, 60.f, depth)) * (0.8f + 0.4f * tex);
    return blend(c, Col{40, 46, 70}, rim * 0.35f);
  });

  // Grass tufts along the ground's edge and firs framing both sides.
  {
    QPainter p(&img);
    antialiased(p);
    Rng rng(81);
    p.setPen(QPen(QColor(8, 9, 15), 1.1, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 900; ++i) {
      const double x = rng.uniform(0, W);
      const double y = crestAt(ground, static_cast<int>(x)) + 2;
      const double h = rng.uniform(3, 11);
      p.drawLine(QPointF(x, y), QPointF(x + rng.uniform(-3, 3), y - h));
    }
    const QColor fir(6, 7, 13);
    const QColor firRim(40, 48, 72);
    struct Tree {
      double x, h, w;
    };
    const Tree trees[] = {{8, 420, 120},    {50, 300, 88},    {-26, 340, 100},  {78, 210, 64},
                          {990, 430, 124},  {948, 290, 84},   {1030, 360, 110}, {1070, 250, 80},
                          {1180, 330, 100}, {1300, 420, 120}, {1360, 300, 90}};
    for (const Tree& t : trees) {
      const double by = crestAt(ground, static_cast<int>(std::clamp(t.x, 0.0, W - 1.0))) + 20;
      const QPainterPath tree = pine(QPointF(t.x, by), t.h, t.w, rng);
      rimLit(p, tree, fir, firRim, QPointF(t.x < moon.x() ? -0.8 : 0.8, 1.1));
    }
  }

  // Fireflies in the side strips, never under the controls.
  glow(img, 3, QPainter::CompositionMode_Plus, [&](QPainter& p) {
    Rng rng(91);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 18; ++i) {
      const bool left = i % 2 == 0;
      const QPointF at(left ? rng.uniform(4, 36) : rng.uniform(972, 1004), rng.uniform(250, 540));
      p.setBrush(QColor(255, 190, 90, 220));
      p.drawEllipse(at, 1.4, 1.4);
    }
  });

  // Low ground mist so the foot of the window is dark but not dead.
  for (int y = 580; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      const float m =
          fbm(x / 220.f, y / 22.f, 5, 47) * smoothstep(580.f, 660.f, static_cast<float>(y));
      over(img, x, y, Col{30, 36, 58}, smoothstep(0.35f, 0.75f, m) * 0.45f);
    }
  }

  // Grade: vignette towards the window's edges, a darker foot for the status
  // texts and controls, then a little grain against banding.
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      const float vx = (x - 504.f) / 560.f;
      const float vy = (y - 330.f) / 420.f;
      float k = 1.f - 0.45f * smoothstep(0.55f, 1.25f, std::sqrt(vx * vx + vy * vy));
      k *= 1.f - 0.35f * smoothstep(545.f, 620.f, static_cast<float>(y));
      put(img, x, y, get(img, x, y) * k);
    }
  }
  grain(img, 0.05f, 99);
  return img;
}

// ---------------------------------------------------------------------------
// Banner: 928 x 378, a citadel on a cliff at sunset on the right, the title
// and the feature list over a darkened left half.
namespace {

Col bannerSky(float x, float y, QPointF sun) {
  Col c = ramp({{0.f, {30, 24, 62}},
                {0.3f, {78, 44, 90}},
                {0.6f, {176, 84, 84}},
                {0.82f, {236, 146, 86}},
                {1.f, {255, 204, 132}}},
               y / 235.f);
  const float d = std::hypot(x - sun.x(), y - sun.y());
  return c + Col{255, 214, 150} * (0.7f * std::exp(-d / 45.f)) +
         Col{255, 150, 80} * (0.35f * std::exp(-d / 240.f));
}

}  // namespace

QImage renderBanner(const Fonts& fonts) {
  const int W = 928;
  const int H = 378;
  QImage img(W, H, QImage::Format_ARGB32_Premultiplied);
  const QPointF sun(600, 192);
  const float horizon = 262;

  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) put(img, x, y, bannerSky(x, y, sun));
  }

  // Clouds lit from below by the low sun.
  for (int y = 0; y < 230; ++y) {
    for (int x = 0; x < W; ++x) {
      const float mask = 0.95f * bump(y, 62, 55) + 0.8f * bump(y, 150, 32);
      const float c = fbm(x / 300.f, y / 52.f, 6, 101);
      const float density = smoothstep(0.47f, 0.72f, c) * mask;
      if (density < 0.004f) continue;
      const float sx = sun.x() - x;
      const float sy = sun.y() - y;
      const float sl = std::max(1.f, std::hypot(sx, sy));
      const float c2 = fbm((x + sx / sl * 7) / 300.f, (y + sy / sl * 7) / 52.f, 6, 101);
      const float lit = clamp01((c - c2) * 8.f + 0.2f);
      const float prox = std::exp(-sl / 240.f);
      const Col shadow = blend(Col{52, 32, 70}, Col{128, 62, 74}, y / 210.f);
      const Col light = blend(Col{246, 140, 84}, Col{255, 232, 176}, prox);
      over(img, x, y, blend(shadow, light, lit * 0.85f + prox * 0.45f), density * 0.95f);
    }
  }

  // Sun, bloom and rays.
  glow(img, 3, QPainter::CompositionMode_Plus, [&](QPainter& p) {
    Rng rng(103);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 46; ++i) {
      const double a = rng.uniform(std::numbers::pi * 1.02, std::numbers::pi * 1.98);
      const double spread = rng.uniform(0.004, 0.02);
      QPainterPath ray;
      ray.moveTo(sun);
      ray.lineTo(sun + QPointF(std::cos(a - spread), std::sin(a - spread)) * 700);
      ray.lineTo(sun + QPointF(std::cos(a + spread), std::sin(a + spread)) * 700);
      ray.closeSubpath();
      QRadialGradient g(sun, 520);
      g.setColorAt(0, QColor(255, 210, 140, static_cast<int>(rng.uniform(14, 34))));
      g.setColorAt(1, QColor(255, 210, 140, 0));
      p.setBrush(g);
      p.drawPath(ray);
    }
    QRadialGradient disc(sun, 24);
    disc.setColorAt(0, QColor(255, 255, 240, 255));
    disc.setColorAt(0.55, QColor(255, 244, 200, 255));
    disc.setColorAt(1, QColor(255, 200, 120, 0));
    p.setBrush(disc);
    p.drawEllipse(sun, 24, 24);
  });

  // Far and middle ranges in warm haze.
  const auto far = profile(W, [](float x) {
    return 222.f -
           (22.f + 46.f * bump(x, 120, 260)) * std::pow(ridged(x / 150.f, 5.5f, 5, 111), 1.3f);
  });
  fillRange(img, far, [&](float depth, int x, int) {
    const float prox = std::exp(-std::fabs(x - static_cast<float>(sun.x())) / 240.f);
    const Col top = blend(Col{176, 104, 104}, Col{236, 160, 120}, prox);
    return blend(top, Col{150, 86, 96}, smoothstep(0.f, 50.f, depth));
  });
  const auto mid = profile(W, [](float x) {
    return 248.f - 34.f * std::pow(ridged(x / 110.f, 9.1f, 5, 121), 1.2f) - 22.f * bump(x, 40, 160);
  });
  fillRange(img, mid, [&](float depth, int x, int y) {
    const float prox = std::exp(-std::fabs(x - static_cast<float>(sun.x())) / 200.f);
    const float tex = fbm(x / 14.f, y / 30.f, 3, 123);
    const Col top =
        blend(Col{104, 56, 78}, Col{170, 96, 92}, prox * (1.f - smoothstep(0.f, 8.f, depth)));
    return blend(top, Col{80, 44, 66}, smoothstep(0.f, 30.f, depth)) * (0.9f + 0.2f * tex);
  });

  // Lake: a darkened mirror of the sky, broken by ripples, with the sun's glitter.
  for (int y = static_cast<int>(horizon); y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      const float my = 2 * horizon - y - 14;
      const float ripple = fbm(x / 70.f, y / 1.6f, 3, 131);
      Col c = bannerSky(x + (ripple - 0.5f) * 30, std::max(0.f, my), sun) * (0.55f + 0.2f * ripple);
      const float glitter =
          std::exp(-std::fabs(x - static_cast<float>(sun.x())) / (14.f + (y - horizon) * 0.9f)) *
          smoothstep(0.52f, 0.7f, fbm(x / 6.f, y / 1.2f, 2, 133));
      c = c + Col{255, 220, 160} * glitter;
      put(img, x, y, c);
    }
  }
  // Shoreline under the middle range.
  fillRange(img, profile(W, [](float x) { return 262.f - 3.f * fbm(x / 30.f, 1.f, 3, 135); }),
            [&](float depth, int x, int y) {
              const float k = smoothstep(5.f, 0.f, depth);
              return blend(get(img, x, y), Col{70, 38, 58}, k * 0.9f);
            });

  // Citadel on the right cliff.
  const float citadelX = 790;
  {
    // Cliff face: a rugged edge that steps out in ledges towards the lake.
    QPainterPath cliff;
    cliff.moveTo(W + 10, H + 10);
    for (int y = H + 10; y >= 236; y -= 3) {
      const float t = smoothstep(236.f, 300.f, static_cast<float>(y));
      const float x = 700.f - 50.f * t + 26.f * (fbm(y / 22.f, 3.3f, 4, 181) - 0.5f) +
                      8.f * std::floor(fbm(y / 9.f, 7.7f, 2, 183) * 3.f);
      cliff.lineTo(x, y);
    }
    for (int x = 700; x <= W + 10; x += 4) {
      cliff.lineTo(x, 224.f - 6.f * smoothstep(760.f, 700.f, static_cast<float>(x)) +
                          5.f * (fbm(x / 18.f, 1.1f, 3, 185) - 0.5f));
    }
    cliff.lineTo(W + 10, H + 10);
    cliff.closeSubpath();

    QPainterPath cit;
    const qreal base = 222;
    cit.addRect(QRectF(citadelX - 80, base - 40, 170, 46));
    merlons(cit, citadelX - 80, citadelX + 90, base - 40, 5);
    cit.addRect(QRectF(citadelX - 34, base - 96, 74, 60));
    merlons(cit, citadelX - 34, citadelX + 40, base - 96, 5);
    tower(cit, citadelX + 4, 22, base - 132, base - 90, 62);
    tower(cit, citadelX - 58, 20, base - 104, base, 48);
    tower(cit, citadelX + 62, 22, base - 116, base, 54);
    tower(cit, citadelX - 24, 12, base - 118, base - 90, 28);
    tower(cit, citadelX + 32, 12, base - 120, base - 90, 30);
    tower(cit, citadelX + 100, 16, base - 70, base, 36);
    tower(cit, citadelX - 92, 14, base - 62, base, 30);
    pennant(cit, QPointF(citadelX + 4, base - 194), 16, -1);
    pennant(cit, QPointF(citadelX + 62, base - 170), 11, -1);
    pennant(cit, QPointF(citadelX - 58, base - 152), 10, -1);
    cit.addPath(cliff);
    cit.setFillRule(Qt::WindingFill);
    const QPainterPath shape = cit.simplified();

    QLinearGradient body(0, 20, 0, H);
    body.setColorAt(0, QColor(64, 36, 60));
    body.setColorAt(0.5, QColor(40, 23, 42));
    body.setColorAt(1, QColor(18, 10, 20));
    rimLitTextured(img, shape, body, QColor(255, 170, 100), QPointF(1.6, 0.9), [](int x, int y) {
      if (y < 224) return 0.92f + 0.16f * fbm(x / 3.f, y / 5.f, 2, 187);  // masonry
      const float strata = fbm(x / 50.f, y / 6.f, 4, 189);
      const float cracks = smoothstep(0.6f, 0.74f, fbm(x / 7.f, y / 30.f, 3, 191));
      return (0.75f + 0.5f * strata) * (1.f - 0.35f * cracks);
    });
    std::vector<QRectF> windows = {
        {citadelX + 1.5, base - 120, 5, 9}, {citadelX - 60.5, base - 86, 5, 8},
        {citadelX + 59.5, base - 98, 5, 8}, {citadelX - 18, base - 76, 5, 9},
        {citadelX + 2, base - 76, 5, 9},    {citadelX + 22, base - 76, 5, 9},
        {citadelX - 60, base - 26, 4, 6},   {citadelX + 72, base - 26, 4, 6},
        {citadelX + 98, base - 50, 4, 6},
    };
    windowGlow(img, windows, QColor(255, 180, 90));
  }

  // Left foreground: a dark slope the text sits on.
  const auto slope = profile(W, [](float x) {
    return 258.f + 0.16f * x + 20.f * fbm(x / 60.f, 2.2f, 4, 141) +
           50.f * smoothstep(380.f, 560.f, x);
  });
  fillRange(img, slope, [&](float depth, int x, int y) {
    const float tex = fbm(x / 20.f, y / 12.f, 4, 143);
    const float rim = 1.f - smoothstep(0.f, 4.f, depth);
    const Col c =
        blend(Col{54, 30, 46}, Col{22, 12, 22}, smoothstep(0.f, 70.f, depth)) * (0.8f + 0.4f * tex);
    return blend(c, Col{220, 130, 90}, rim * 0.55f);
  });
  {
    QPainter p(&img);
    antialiased(p);
    Rng rng(151);
    p.setPen(QPen(QColor(22, 12, 22), 1.0, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 520; ++i) {
      const double x = rng.uniform(0, 640);
      const double y = crestAt(slope, static_cast<int>(x)) + 2;
      p.drawLine(QPointF(x, y), QPointF(x + rng.uniform(-3, 3), y - rng.uniform(3, 9)));
    }
    // Birds heading for the citadel.
    p.setPen(QPen(QColor(40, 20, 34), 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    const QPointF birds[] = {{560, 118}, {582, 128}, {548, 134}, {600, 110}, {618, 124}};
    for (const QPointF& b : birds) {
      const double s = rng.uniform(3.5, 5.5);
      QPainterPath v;
      v.moveTo(b + QPointF(-s, -s * 0.35));
      v.quadTo(b + QPointF(-s * 0.4, -s * 0.5), b);
      v.quadTo(b + QPointF(s * 0.4, -s * 0.5), b + QPointF(s, -s * 0.4));
      p.drawPath(v);
    }
  }
  // Drifting embers of light.
  glow(img, 2, QPainter::CompositionMode_Plus, [&](QPainter& p) {
    Rng rng(161);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 40; ++i) {
      const QPointF at(rng.uniform(480, 900), rng.uniform(40, 330));
      p.setBrush(QColor(255, 200, 130, static_cast<int>(rng.uniform(60, 180))));
      p.drawEllipse(at, 1.2, 1.2);
    }
  });

  // Darken the left for the text, and vignette.
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      const float shade = 0.78f * (1.f - smoothstep(150.f, 560.f, x));
      const float vx = (x - W / 2.f) / (W * 0.62f);
      const float vy = (y - H / 2.f) / (H * 0.75f);
      const float v = 1.f - 0.5f * smoothstep(0.55f, 1.2f, std::sqrt(vx * vx + vy * vy));
      put(img, x, y, blend(get(img, x, y), Col{12, 7, 16}, shade) * v);
    }
  }
  grain(img, 0.04f, 171);

  // Text.
  const QColor cream(252, 238, 206);
  const QColor sand(214, 196, 170);
  const QColor goldText(232, 196, 120);
  {
    const QFont kicker = font(fonts.ui, 12, true, 3.2);
    const QPainterPath k =
        textAt(kicker, QStringLiteral("A CLASSIC REALM REBORN"), QPointF(46, 50));
    glow(img, 5, QPainter::CompositionMode_SourceOver,
         [&](QPainter& p) { p.fillPath(k, QColor(0, 0, 0, 200)); });
    QPainter p(&img);
    antialiased(p);
    p.fillPath(k, goldText);
  }
  const QFont big = font(fonts.display, 78, true, 3);
  const QFont title = font(fonts.display, 62, true, 3);
  QPainterPath name = textAt(big, QStringLiteral("Q"), QPointF(40, 114));
  name.addPath(
      textAt(title, QStringLiteral("UORREL"), QPointF(40 + name.boundingRect().width() + 5, 114)));
  metalText(img, name, gold(), 1.6, 3, 8);
  {
    QPainter p(&img);
    antialiased(p);
    const QRectF nb = name.boundingRect();
    ornamentRule(p, QPointF(nb.center().x(), 136), nb.width() / 2 + 14, QColor(214, 168, 84));
    sparkle(p, QPointF(nb.left() + 10, nb.top() + 8), 9, QColor(255, 250, 230, 230));
  }

  struct Feature {
    const char* title;
    const char* text;
    QColor stone;
  };
  const Feature features[] = {
      {"Blizzlike progression", "Content unlocks phase by phase, the way it was.",
       QColor(60, 160, 70)},
      {"1x rates, hardcore friendly", "Every level earned, every death remembered.",
       QColor(200, 50, 40)},
      {"Custom quality-of-life patches", "Modern comforts that keep the classic feel.",
       QColor(50, 110, 210)},
      {"Active community events", "Tournaments, world bosses and seasonal festivals.",
       QColor(160, 70, 200)},
  };
  const QFont head = font(fonts.body, 21, true, 0.3);
  const QFont body = font(fonts.ui, 12, false, 0.2);
  qreal y = 164;
  for (const Feature& f : features) {
    const QPainterPath t = textAt(head, QString::fromUtf8(f.title), QPointF(74, y + 18));
    const QPainterPath d = textAt(body, QString::fromUtf8(f.text), QPointF(75, y + 36));
    glow(img, 4, QPainter::CompositionMode_SourceOver, [&](QPainter& p) {
      p.fillPath(t, QColor(0, 0, 0, 230));
      p.fillPath(d, QColor(0, 0, 0, 200));
    });
    QPainter p(&img);
    antialiased(p);
    gem(p, QPointF(55, y + 12), 8.5, f.stone);
    p.fillPath(t.translated(0, 1), QColor(20, 8, 4, 200));
    QLinearGradient tg(0, y, 0, y + 20);
    tg.setColorAt(0, QColor(255, 250, 235));
    tg.setColorAt(1, cream.darker(112));
    p.fillPath(t, tg);
    p.fillPath(d, sand);
    y += 48;
  }

  // Frame: a dark bevelled bronze border with corner studs and an inner shadow.
  {
    QImage inner = layer(W, H);
    {
      QPainter p(&inner);
      antialiased(p);
      QPainterPath outer;
      outer.addRect(QRectF(0, 0, W, H));
      QPainterPath hole;
      hole.addRoundedRect(QRectF(7, 7, W - 14, H - 14), 4, 4);
      p.fillPath(outer.subtracted(hole), QColor(0, 0, 0, 200));
    }
    blur(inner, 14);
    QPainter p(&img);
    antialiased(p);
    p.drawImage(0, 0, inner);
    QPainterPath ring;
    ring.addRect(QRectF(0, 0, W, H));
    QPainterPath hole;
    hole.addRoundedRect(QRectF(5, 5, W - 10, H - 10), 3, 3);
    ring = ring.subtracted(hole);
    QLinearGradient g(0, 0, 0, H);
    g.setColorAt(0, QColor(196, 150, 80));
    g.setColorAt(0.5, QColor(110, 72, 30));
    g.setColorAt(1, QColor(160, 110, 50));
    p.fillPath(ring, g);
    p.end();
    emboss(img, ring, 3, 3.f);
    p.begin(&img);
    antialiased(p);
    p.setPen(QPen(QColor(10, 5, 2), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(0.5, 0.5, W - 1, H - 1));
    p.drawRoundedRect(QRectF(5.5, 5.5, W - 11, H - 11), 3, 3);
    p.setPen(QPen(QColor(255, 220, 150, 60), 1));
    p.drawRoundedRect(QRectF(6.5, 6.5, W - 13, H - 13), 3, 3);
    for (const QPointF c : {QPointF(3.5, 3.5), QPointF(W - 3.5, 3.5), QPointF(3.5, H - 3.5),
                            QPointF(W - 3.5, H - 3.5)}) {
      gem(p, c + QPointF(c.x() < W / 2 ? 6 : -6, c.y() < H / 2 ? 6 : -6), 6, QColor(190, 60, 40));
    }
  }
  return img;
}

}  // namespace artwork
