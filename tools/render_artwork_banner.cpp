// The promotional banner: a citadel at sunset with the server's features.
#include "render_artwork_scene_kit.h"

namespace artwork {

using namespace kit;

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
