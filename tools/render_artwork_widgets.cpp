// The small pictures: logo, progress bar, buttons and the program icon.
#include <QLinearGradient>
#include <QRadialGradient>
#include <algorithm>
#include <cmath>

#include "render_artwork_common.h"

namespace artwork {

namespace {

// A heater shield: flat top with a slight dip, straight upper sides, a point below.
QPainterPath shield(const QRectF& r) {
  const qreal cx = r.center().x();
  QPainterPath p;
  p.moveTo(r.left(), r.top());
  p.quadTo(cx, r.top() + r.height() * 0.09, r.right(), r.top());
  p.lineTo(r.right(), r.top() + r.height() * 0.4);
  p.cubicTo(r.right(), r.top() + r.height() * 0.74, cx + r.width() * 0.22,
            r.bottom() - r.height() * 0.1, cx, r.bottom());
  p.cubicTo(cx - r.width() * 0.22, r.bottom() - r.height() * 0.1, r.left(),
            r.top() + r.height() * 0.74, r.left(), r.top() + r.height() * 0.4);
  p.closeSubpath();
  return p;
}

QPainterPath roundedRect(const QRectF& r, qreal radius) {
  QPainterPath p;
  p.addRoundedRect(r, radius, radius);
  return p;
}

QLinearGradient vertical(const QRectF& r, std::initializer_list<std::pair<qreal, QColor>> stops) {
  QLinearGradient g(r.topLeft(), r.bottomLeft());
  for (const auto& [at, c] : stops) g.setColorAt(at, c);
  return g;
}

QLinearGradient metalGradient(const QRectF& r, const Metal& m) {
  return vertical(
      r, {{0.0, m.top}, {0.38, m.upper}, {0.5, m.horizon}, {0.56, m.lower}, {1.0, m.bottom}});
}

// Clears columns that the window never shows as part of the button.
void clearColumns(QImage& img, int from, int to) {
  for (int y = 0; y < img.height(); ++y) {
    auto* row = reinterpret_cast<uint32_t*>(img.scanLine(y));
    for (int x = std::max(0, from); x <= std::min(img.width() - 1, to); ++x) row[x] = 0;
  }
}

// A gold feather-like flourish sweeping outwards from `root`.
QPainterPath flourish(QPointF root, qreal length, qreal lift, qreal thickness, qreal dir) {
  QPainterPath p;
  const QPointF tip = root + QPointF(dir * length, -lift);
  p.moveTo(root + QPointF(0, -thickness / 2));
  p.cubicTo(root + QPointF(dir * length * 0.35, -thickness * 1.2 - lift * 0.2),
            tip + QPointF(-dir * length * 0.3, -thickness * 0.2), tip);
  p.cubicTo(tip + QPointF(-dir * length * 0.35, thickness * 0.8),
            root + QPointF(dir * length * 0.3, thickness * 0.9 - lift * 0.1),
            root + QPointF(0, thickness / 2));
  p.closeSubpath();
  return p;
}

}  // namespace

// ---------------------------------------------------------------------------
// Logo: 300 x 150 on transparency; the window shows rows 0..135 only.
QImage renderLogo(const Fonts& fonts) {
  const int W = 300;
  const int H = 150;
  QImage img = layer(W, H);
  const qreal cx = W / 2.0;

  // The name: a large initial and small capitals, scaled to fit the width.
  const QFont initial = font(fonts.display, 66, true, 0);
  const QFont caps = font(fonts.display, 50, true, 2.5);
  QPainterPath name = textAt(initial, QStringLiteral("Q"), QPointF(0, 0));
  name.addPath(textAt(caps, QStringLiteral("UORREL"), QPointF(name.boundingRect().right() + 3, 0)));
  {
    const qreal scale = std::min(1.0, 268.0 / name.boundingRect().width());
    QTransform t;
    t.translate(cx, 94);
    t.scale(scale, scale);
    t.translate(-name.boundingRect().center().x(), 0);
    name = t.map(name);
  }
  const QRectF nb = name.boundingRect();

  // Crest above the name with swept wings on both sides.
  const QRectF crestBox(cx - 15, 3, 30, 37);
  const QPainterPath crest = shield(crestBox);
  QPainterPath wings;
  for (int side : {-1, 1}) {
    const QPointF root(cx + side * 13, 22);
    wings.addPath(flourish(root + QPointF(0, -3), 74, 17, 6, side));
    wings.addPath(flourish(root + QPointF(0, 2), 64, 8, 5, side));
    wings.addPath(flourish(root + QPointF(0, 7), 52, 0, 4.5, side));
    wings.addPath(flourish(root + QPointF(0, 11), 40, -6, 4, side));
  }
  wings.setFillRule(Qt::WindingFill);
  wings = wings.simplified();

  // Soft dark backing so the gold reads on any sky.
  glow(img, 12, QPainter::CompositionMode_SourceOver, [&](QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 120));
    p.drawRoundedRect(nb.adjusted(-6, -4, 6, 4), 20, 20);
    p.drawPath(crest);
    p.drawPath(wings);
  });

  metalText(img, wings, gold(), 1.0, 2, 3);
  {
    // Shield: gold rim, deep blue field, a silver star.
    glow(img, 3, QPainter::CompositionMode_SourceOver, [&](QPainter& p) {
      p.translate(0, 2);
      p.fillPath(crest, QColor(0, 0, 0, 200));
    });
    QPainter p(&img);
    antialiased(p);
    p.setPen(QPen(QColor(30, 16, 4), 2));
    p.setBrush(metalGradient(crestBox, gold()));
    p.drawPath(crest);
    p.end();
    emboss(img, crest, 2, 3.f);
    p.begin(&img);
    antialiased(p);
    const QRectF fieldBox = crestBox.adjusted(3.2, 3.2, -3.2, -3.2);
    QRadialGradient field(fieldBox.center() - QPointF(0, 6), fieldBox.height() * 0.8);
    field.setColorAt(0, QColor(60, 110, 200));
    field.setColorAt(1, QColor(12, 26, 70));
    p.setPen(QPen(QColor(30, 16, 4, 200), 1));
    p.setBrush(field);
    p.drawPath(shield(fieldBox));
    sparkle(p, fieldBox.center() - QPointF(0, 2), 10, QColor(255, 246, 220));
  }

  metalText(img, name, gold(), 1.5, 3, 5);

  // Rule and tagline under the name.
  QPainter p(&img);
  antialiased(p);
  ornamentRule(p, QPointF(cx, 108), 118, QColor(222, 176, 92));
  p.end();
  const QFont tagFont = font(fonts.ui, 11, true, 4.5);
  const QPainterPath tag = centredText(tagFont, QStringLiteral("CLASSIC REALM"), QPointF(cx, 123));
  glow(img, 3, QPainter::CompositionMode_SourceOver,
       [&](QPainter& g) { g.fillPath(tag, QColor(0, 0, 0, 230)); });
  p.begin(&img);
  antialiased(p);
  p.fillPath(tag,
             vertical(tag.boundingRect(), {{0, QColor(250, 236, 200)}, {1, QColor(200, 160, 96)}}));
  sparkle(p, nb.topLeft() + QPointF(12, 8), 9, QColor(255, 252, 235, 230));
  sparkle(p, QPointF(nb.right() - 7, nb.top() + 16), 6, QColor(255, 252, 235, 200));
  return img;
}

// ---------------------------------------------------------------------------
// Progress bar, 760 x 14. The fill is cut at any width by the window, so it
// has no feature that depends on its length.
QImage renderProgressTrack() {
  const int W = 760;
  const int H = 14;
  QImage img = layer(W, H);
  const QRectF r(0.5, 0.5, W - 1, H - 1);
  const QPainterPath shape = roundedRect(r, 6.5);
  QPainter p(&img);
  antialiased(p);
  p.setPen(Qt::NoPen);
  p.fillPath(
      shape,
      vertical(r, {{0, QColor(22, 13, 6)}, {0.5, QColor(50, 32, 17)}, {1, QColor(76, 51, 30)}}));
  p.end();
  mottle(img, 9.f, 0.18f, 201);
  // Inner shadow under the top edge makes the groove look sunk in.
  QImage shade = layer(W, H);
  {
    QPainter s(&shade);
    antialiased(s);
    s.setPen(QPen(QColor(0, 0, 0, 230), 3));
    s.setBrush(Qt::NoBrush);
    s.drawPath(shape.translated(0, 1.5));
  }
  blur(shade, 2);
  p.begin(&img);
  antialiased(p);
  p.setClipPath(shape);
  p.drawImage(0, 0, shade);
  p.setClipping(false);
  p.setPen(QPen(QColor(222, 170, 110, 70), 1));
  p.drawLine(QPointF(7, H - 1.5), QPointF(W - 7, H - 1.5));
  p.setPen(QPen(QColor(8, 4, 1), 1));
  p.setBrush(Qt::NoBrush);
  p.drawPath(shape);
  return img;
}

QImage renderProgressFill() {
  const int W = 760;
  const int H = 14;
  QImage img = layer(W, H);
  const QRectF r(0.5, 0.5, W - 1, H - 1);
  const QPainterPath shape = roundedRect(r, 6.5);
  QPainter p(&img);
  antialiased(p);
  p.setPen(Qt::NoPen);
  p.fillPath(shape, vertical(r, {{0, QColor(150, 236, 96)},
                                 {0.42, QColor(72, 186, 44)},
                                 {0.58, QColor(40, 146, 26)},
                                 {1, QColor(26, 96, 18)}}));
  // Slanted stripes give a sense of motion; their period does not depend on
  // where the bar ends.
  p.setClipPath(shape);
  for (int x = -H; x < W + H; x += 16) {
    QPainterPath stripe;
    stripe.moveTo(x, H);
    stripe.lineTo(x + H, 0);
    stripe.lineTo(x + H + 7, 0);
    stripe.lineTo(x + 7, H);
    stripe.closeSubpath();
    p.fillPath(stripe, QColor(255, 255, 255, 20));
  }
  // Gloss on the upper half and a bright line under the top edge.
  const QRectF gloss(2, 1.5, W - 4, H * 0.46);
  p.fillPath(roundedRect(gloss, 3),
             vertical(gloss, {{0, QColor(255, 255, 255, 120)}, {1, QColor(255, 255, 255, 20)}}));
  p.setPen(QPen(QColor(255, 255, 255, 60), 1));
  p.drawLine(QPointF(6, 1.5), QPointF(W - 6, 1.5));
  p.setPen(QPen(QColor(8, 40, 4, 120), 1));
  p.drawLine(QPointF(6, H - 2), QPointF(W - 6, H - 2));
  p.setClipping(false);
  p.setPen(QPen(QColor(12, 44, 8), 1));
  p.setBrush(Qt::NoBrush);
  p.drawPath(shape);
  return img;
}

// ---------------------------------------------------------------------------
// Play/Install buttons, 143 x 46. The window paints them two pixels to the
// left of the widget, so the shape lives in columns 2..140.
QImage renderButton(const Fonts& fonts, ButtonKind kind, ButtonState state) {
  const int W = 143;
  const int H = 46;
  QImage img = layer(W, H);
  const QRectF outer(2, 1, 139, 42);

  struct Look {
    QColor top, mid, bottom, text;
  };
  Look look;
  const bool disabled = state == ButtonState::kDisabled;
  if (disabled) {
    look = {QColor(150, 150, 150), QColor(104, 104, 104), QColor(62, 62, 62),
            QColor(206, 206, 206)};
  } else if (kind == ButtonKind::kPlay) {
    look = state == ButtonState::kHot ? Look{QColor(255, 118, 92), QColor(206, 38, 26),
                                             QColor(112, 10, 8), QColor(255, 246, 236)}
                                      : Look{QColor(240, 156, 66), QColor(190, 94, 24),
                                             QColor(104, 44, 10), QColor(255, 244, 222)};
  } else {
    look = state == ButtonState::kHot ? Look{QColor(160, 212, 255), QColor(70, 152, 236),
                                             QColor(26, 80, 164), QColor(255, 255, 255)}
                                      : Look{QColor(104, 166, 238), QColor(36, 100, 196),
                                             QColor(14, 44, 110), QColor(240, 248, 255)};
  }
  Metal frame = disabled ? silver() : gold();
  if (disabled) {
    frame.top = QColor(190, 190, 190);
    frame.upper = QColor(150, 150, 150);
    frame.horizon = QColor(80, 80, 80);
    frame.lower = QColor(130, 130, 130);
    frame.bottom = QColor(84, 84, 84);
  }

  glow(img, 3, QPainter::CompositionMode_SourceOver, [&](QPainter& p) {
    p.fillPath(roundedRect(outer.translated(0, 2), 7), QColor(0, 0, 0, 170));
  });

  const QPainterPath outerPath = roundedRect(outer, 7);
  const QRectF ringBox = outer.adjusted(1, 1, -1, -1);
  const QRectF faceBox = outer.adjusted(3.5, 3.5, -3.5, -3.5);
  const QPainterPath face = roundedRect(faceBox, 4.5);
  QPainter p(&img);
  antialiased(p);
  p.setPen(Qt::NoPen);
  p.fillPath(outerPath, QColor(18, 9, 3));
  const QPainterPath ring = roundedRect(ringBox, 6).subtracted(face);
  p.fillPath(ring, metalGradient(ringBox, frame));
  p.fillPath(face, vertical(faceBox, {{0, look.top}, {0.5, look.mid}, {1, look.bottom}}));
  p.end();
  emboss(img, ring, 2, 2.5f);
  mottle(img, 6.f, disabled ? 0.04f : 0.07f, kind == ButtonKind::kPlay ? 301 : 302);

  p.begin(&img);
  antialiased(p);
  p.setClipPath(face);
  // Light bouncing up from the bottom edge, and a glassy upper half.
  QRadialGradient bounce(QPointF(faceBox.center().x(), faceBox.bottom() + 6),
                         faceBox.width() * 0.55);
  bounce.setColorAt(0, withAlpha(look.top.lighter(disabled ? 100 : 115), disabled ? 60 : 150));
  bounce.setColorAt(1, withAlpha(look.top, 0));
  p.fillRect(faceBox, QBrush(bounce));
  const QRectF glossBox(faceBox.left() + 1.5, faceBox.top() + 1, faceBox.width() - 3,
                        faceBox.height() * 0.46);
  p.fillPath(roundedRect(glossBox, 3.5),
             vertical(glossBox, {{0, QColor(255, 255, 255, disabled ? 60 : 110)},
                                 {1, QColor(255, 255, 255, disabled ? 8 : 18)}}));
  p.setPen(QPen(QColor(0, 0, 0, 110), 1.5));
  p.setBrush(Qt::NoBrush);
  p.drawPath(face);
  p.setPen(QPen(QColor(255, 255, 255, disabled ? 40 : 80), 1));
  p.drawLine(QPointF(faceBox.left() + 4, faceBox.top() + 1.5),
             QPointF(faceBox.right() - 4, faceBox.top() + 1.5));
  p.setClipping(false);
  p.setPen(QPen(QColor(18, 9, 3), 1));
  p.drawPath(face);
  p.end();

  const QString word =
      kind == ButtonKind::kPlay ? QStringLiteral("PLAY") : QStringLiteral("INSTALL");
  const QFont f = font(fonts.body, kind == ButtonKind::kPlay ? 25 : 22, true, 2.0);
  const QPainterPath text = centredText(f, word, faceBox.center() + QPointF(0, -0.5));
  glow(img, 3, QPainter::CompositionMode_SourceOver, [&](QPainter& g) {
    g.translate(0, 1.5);
    g.fillPath(text, QColor(0, 0, 0, disabled ? 150 : 230));
  });
  p.begin(&img);
  antialiased(p);
  p.setPen(QPen(withAlpha(look.bottom.darker(200), 200), 1.6, Qt::SolidLine, Qt::RoundCap,
                Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  p.drawPath(text);
  p.setPen(Qt::NoPen);
  const QRectF tb = text.boundingRect();
  p.fillPath(text, vertical(tb, {{0, look.text},
                                 {1, disabled ? look.text.darker(125) : QColor(255, 222, 168)}}));
  p.end();
  clearColumns(img, 0, 1);
  clearColumns(img, W - 2, W - 1);
  return img;
}

// ---------------------------------------------------------------------------
// Close button, 24 x 24, painted two pixels to the left like the others.
QImage renderClose(bool hot) {
  const int S = 24;
  QImage img = layer(S, S);
  const QRectF box(2, 2, 20, 20);
  const QPainterPath shape = roundedRect(box, 3.5);
  const QRectF faceBox = box.adjusted(1.5, 1.5, -1.5, -1.5);
  const QPainterPath face = roundedRect(faceBox, 2.5);
  QPainter p(&img);
  antialiased(p);
  p.setPen(Qt::NoPen);
  p.fillPath(shape, QColor(16, 4, 2));
  p.fillPath(roundedRect(box.adjusted(1, 1, -1, -1), 3),
             vertical(box, {{0, hot ? QColor(250, 150, 120) : QColor(170, 86, 70)},
                            {1, hot ? QColor(120, 20, 10) : QColor(70, 14, 10)}}));
  p.fillPath(face, vertical(faceBox, {{0, hot ? QColor(236, 70, 48) : QColor(150, 34, 24)},
                                      {0.55, hot ? QColor(196, 34, 22) : QColor(112, 20, 14)},
                                      {1, hot ? QColor(136, 16, 10) : QColor(70, 10, 8)}}));
  p.setClipPath(face);
  const QRectF gloss(faceBox.left(), faceBox.top(), faceBox.width(), faceBox.height() * 0.5);
  p.fillRect(gloss, vertical(gloss, {{0, QColor(255, 255, 255, hot ? 90 : 60)},
                                     {1, QColor(255, 255, 255, 8)}}));
  p.setClipping(false);

  const QPointF c = box.center();
  const qreal a = 4.6;
  auto cross = [&](QPointF offset, const QColor& color, qreal width) {
    p.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c + offset + QPointF(-a, -a), c + offset + QPointF(a, a));
    p.drawLine(c + offset + QPointF(a, -a), c + offset + QPointF(-a, a));
  };
  cross(QPointF(0, 1), QColor(40, 0, 0, 200), 3.2);
  cross(QPointF(0, 0), hot ? QColor(255, 255, 255) : QColor(246, 214, 200), 2.3);
  return img;
}

// ---------------------------------------------------------------------------
// Program icon: a gold-rimmed blue shield with a gold Q. Small sizes drop the
// inner line, sparkle and texture and use thicker strokes to stay legible.
QImage renderIcon(const Fonts& fonts, int size) {
  const qreal s = size;
  QImage img = layer(size, size);
  const bool tiny = size <= 16;
  const bool small = size <= 32;
  const qreal shadowRoom = small ? 0 : s * 0.04;
  // Whole-pixel edges keep the small sizes crisp.
  const QRectF box = tiny ? QRectF(0.5, 0, 15, 16)
                          : QRectF(std::round(s * 0.1), std::round(s * 0.03), std::round(s * 0.8),
                                   std::round(s * 0.94 - shadowRoom));
  const QPainterPath outer = shield(box);

  if (!small) {
    glow(img, std::max(2, size / 32), QPainter::CompositionMode_SourceOver, [&](QPainter& p) {
      p.translate(0, s * 0.025);
      p.fillPath(outer, QColor(0, 0, 0, 170));
    });
  }
  const qreal rim = tiny ? 1.5 : std::max(2.2, s * 0.07);
  const QRectF fieldBox = box.adjusted(rim, rim, -rim, -rim * 1.3);
  const QPainterPath field = shield(fieldBox);

  QPainter p(&img);
  antialiased(p);
  p.setPen(Qt::NoPen);
  p.fillPath(outer, metalGradient(box, gold()));
  p.end();
  if (!tiny) emboss(img, outer.subtracted(field), std::max(1, size / 40), 3.f);

  p.begin(&img);
  antialiased(p);
  QRadialGradient blue(fieldBox.center() - QPointF(0, fieldBox.height() * 0.22),
                       fieldBox.height() * 0.8);
  blue.setColorAt(0, QColor(62, 120, 214));
  blue.setColorAt(0.6, QColor(24, 54, 130));
  blue.setColorAt(1, QColor(10, 22, 62));
  p.setPen(small ? Qt::NoPen : QPen(QColor(40, 22, 4), std::max(1.0, s / 96)));
  p.setBrush(blue);
  p.drawPath(field);
  if (size >= 64) {
    const QRectF lineBox = fieldBox.adjusted(s * 0.035, s * 0.035, -s * 0.035, -s * 0.045);
    p.setPen(QPen(QColor(226, 184, 96, 170), std::max(1.0, s / 110)));
    p.setBrush(Qt::NoBrush);
    p.drawPath(shield(lineBox));
  }
  p.setPen(QPen(QColor(30, 14, 2), tiny ? 0.8 : std::max(1.0, s / 64)));
  p.setBrush(Qt::NoBrush);
  p.drawPath(outer);
  p.end();

  // The letter: serif from 48 px up, bold sans below where serifs turn to mush.
  const QString family = size >= 48 ? fonts.display : fonts.body;
  const QFont f =
      font(family, static_cast<int>(std::lround(fieldBox.height() * (tiny ? 1.12 : 0.78))), true);
  QPainterPath q =
      centredText(f, QStringLiteral("Q"),
                  QPointF(fieldBox.center().x(), fieldBox.top() + fieldBox.height() * 0.47));
  if (size >= 48) {
    Metal m = gold();
    metalText(img, q, m, std::max(1.0, s / 80), std::max(1.0, s / 64), std::max(1, size / 40));
    if (size >= 128) {
      p.begin(&img);
      antialiased(p);
      const QRectF qb = q.boundingRect();
      sparkle(p, QPointF(qb.left() + qb.width() * 0.2, qb.top() + qb.height() * 0.12), s * 0.07,
              QColor(255, 252, 235, 230));
      p.end();
    }
  } else {
    p.begin(&img);
    antialiased(p);
    p.setPen(
        QPen(QColor(30, 14, 2, 220), tiny ? 1.2 : 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(q);
    p.setPen(Qt::NoPen);
    p.fillPath(q, vertical(q.boundingRect(), {{0, QColor(255, 244, 200)},
                                              {0.5, QColor(248, 200, 90)},
                                              {1, QColor(206, 140, 40)}}));
    p.end();
  }
  return img;
}

}  // namespace artwork
