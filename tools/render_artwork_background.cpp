// The window background: a moonlit keep at night.
#include "render_artwork_scene_kit.h"

namespace artwork {

using namespace kit;

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

}  // namespace artwork
