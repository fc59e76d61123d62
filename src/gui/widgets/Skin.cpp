#include "widgets/Skin.h"

#include <QDir>
#include <QEnterEvent>
#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <initializer_list>
#include <utility>

namespace {

// Corner radii shared by every rounded shape, so the face, its panels and
// the buttons look like one piece.
constexpr qreal OuterRadius = 12;
constexpr qreal PanelRadius = 6;
constexpr qreal ButtonRadius = 5;

constexpr int TitleHeight = 56;

QColor rgba(int r, int g, int b, int a = 255) { return QColor(r, g, b, a); }

QFont skinFont(int pixelSize, bool bold)
{
    QFont font;
    // Tahoma when it is there; the title is free to be wider than the
    // captions, which take the condensed face in the style sheet.
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans"),
                      QStringLiteral("Sans Serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

QPainterPath roundedRect(const QRectF &rect, qreal radius)
{
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

QLinearGradient vertical(qreal top, qreal bottom,
                         std::initializer_list<std::pair<qreal, QColor>> stops)
{
    QLinearGradient gradient(0, top, 0, bottom);
    for (const auto &[at, colour] : stops)
        gradient.setColorAt(at, colour);
    return gradient;
}

// A soft sunken panel: a slightly darker fill (which keeps white captions
// readable), a shadow along the top edge and a highlight below the bottom.
void insetPanel(QPainter &p, const QRectF &rect, qreal radius = PanelRadius)
{
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(vertical(rect.top(), rect.bottom(),
                        {{0, rgba(16, 52, 88, 52)}, {1, rgba(16, 52, 88, 30)}}));
    p.drawPath(roundedRect(rect, radius));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(rgba(255, 255, 255, 80), 1));
    p.drawPath(roundedRect(rect.translated(0, 1), radius));
    p.setPen(QPen(rgba(14, 44, 74, 120), 1));
    p.drawPath(roundedRect(rect, radius));
    // An inner shadow along the top makes the panel read as sunken.
    p.setPen(QPen(rgba(14, 44, 74, 40), 1));
    p.drawLine(QPointF(rect.left() + radius, rect.top() + 1),
               QPointF(rect.right() - radius, rect.top() + 1));
    p.restore();
}

// An etched separator: a dark line with a light one below it.
void etchedLine(QPainter &p, qreal x1, qreal x2, int y)
{
    p.save();
    p.setPen(QPen(rgba(14, 44, 74, 70), 1));
    p.drawLine(QPointF(x1, y + 0.5), QPointF(x2, y + 0.5));
    p.setPen(QPen(rgba(255, 255, 255, 55), 1));
    p.drawLine(QPointF(x1, y + 1.5), QPointF(x2, y + 1.5));
    p.restore();
}

// The logo: the program's icon, rendered at build time from the same
// picture as the window icon, at 36 or 72 pixels (for a face of two device
// pixels per pixel), into the square `bounds`.
void drawLogo(QPainter &p, const QRectF &bounds)
{
    const int size = p.device()->devicePixelRatioF() > 1 ? 72 : 36;
    const QImage logo(QStringLiteral(":/icons/quillmark-%1.png").arg(size));
    p.save();
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(bounds, logo);
    p.restore();
}

// Body fill below the title strip, lightest just under it.
QLinearGradient bodyGradient(qreal height)
{
    return vertical(TitleHeight, height, {{0, rgba(137, 171, 198)},
                                          {0.12, QColor::fromRgb(Skin::FaceColour)},
                                          {1, rgba(114, 149, 178)}});
}

// The band along the top: gloss, the logo and a title of a bold and a light
// part ("Quill" + "mark").
void drawTitleStrip(QPainter &p, qreal width, const QString &boldPart,
                    const QString &lightPart, int pixelSize)
{
    const QRectF strip(0, 0, width, TitleHeight);
    p.fillRect(strip, vertical(0, TitleHeight, {{0, rgba(92, 139, 180)},
                                                {0.48, rgba(58, 105, 148)},
                                                {0.52, rgba(45, 91, 134)},
                                                {1, rgba(35, 77, 118)}}));
    // Gloss over the upper half.
    p.fillRect(QRectF(0, 0, width, TitleHeight / 2),
               vertical(0, TitleHeight / 2, {{0, rgba(255, 255, 255, 50)},
                                             {1, rgba(255, 255, 255, 8)}}));
    p.setPen(QPen(rgba(16, 45, 74), 1));
    p.drawLine(QPointF(0, TitleHeight + 0.5), QPointF(width, TitleHeight + 0.5));
    p.setPen(QPen(rgba(190, 212, 230, 170), 1));
    p.drawLine(QPointF(0, TitleHeight + 1.5), QPointF(width, TitleHeight + 1.5));

    drawLogo(p, QRectF(18, 10, 36, 36));

    const QFont bold = skinFont(pixelSize, true);
    const QFont light = skinFont(pixelSize, false);
    const qreal baseline = 28 + QFontMetricsF(bold).capHeight() / 2;
    const qreal x = 64;
    const qreal lightX = x + QFontMetricsF(bold).horizontalAdvance(boldPart);
    p.setPen(rgba(8, 30, 52, 110));
    p.setFont(bold);
    p.drawText(QPointF(x + 1, baseline + 1), boldPart);
    p.setFont(light);
    p.drawText(QPointF(lightX + 1, baseline + 1), lightPart);
    p.setPen(rgba(255, 255, 255));
    p.setFont(bold);
    p.drawText(QPointF(x, baseline), boldPart);
    p.setPen(rgba(206, 225, 240));
    p.setFont(light);
    p.drawText(QPointF(lightX, baseline), lightPart);
}

void drawTitleButtonTray(QPainter &p)
{
    // A recessed tray for the four title buttons (x 666..777, y 22..46).
    const QRectF tray(660.5, 16.5, 123, 35);
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(vertical(tray.top(), tray.bottom(),
                        {{0, rgba(6, 28, 52, 90)}, {1, rgba(6, 28, 52, 45)}}));
    p.drawPath(roundedRect(tray, 8));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(rgba(255, 255, 255, 45), 1));
    p.drawPath(roundedRect(tray.translated(0, 1), 8));
    p.setPen(QPen(rgba(6, 26, 46, 120), 1));
    p.drawPath(roundedRect(tray, 8));
    p.restore();
}

// The light band along the bottom that carries the command buttons and the
// dark blue copyright line, which stays readable on it.
void drawBottomStrip(QPainter &p, qreal width, qreal height, int top)
{
    etchedLine(p, OuterRadius, width - OuterRadius, top - 2);
    p.fillRect(QRectF(0, top, width, height - top),
               vertical(top, height, {{0, rgba(141, 175, 202)}, {1, rgba(122, 156, 185)}}));
}

QImage newImage(QSize size, qreal devicePixelRatio)
{
    QImage image(size * devicePixelRatio, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);
    return image;
}

QImage paintFace(qreal devicePixelRatio)
{
    QImage image = newImage(QSize(Skin::FaceWidth, Skin::FaceHeight), devicePixelRatio);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    // The outline is filled first; everything after is drawn "source atop",
    // so it stays inside the antialiased outline (a clip path would leave
    // jagged corners).
    const QRectF outer(0, 0, Skin::FaceWidth, Skin::FaceHeight);
    p.setPen(Qt::NoPen);
    p.setBrush(bodyGradient(Skin::FaceHeight));
    p.drawPath(roundedRect(outer, OuterRadius));
    p.setCompositionMode(QPainter::CompositionMode_SourceAtop);

    drawTitleStrip(p, Skin::FaceWidth, QStringLiteral("Quill"), QStringLiteral("mark"), 23);
    drawTitleButtonTray(p);

    // Left column: the signing options (x 40..370, y 73..521), with etched
    // lines between the folder, certificate, description, time stamp and
    // "Other Options" groups.
    insetPanel(p, QRectF(30.5, 63.5, 345, 467));
    for (int y : {119, 261, 375, 450})
        etchedLine(p, 42, 368, y);

    // Right column: the project row and the file list (x 384..761).
    insetPanel(p, QRectF(379.5, 63.5, 390, 467));
    // A sunken well right around the file list (384, 135, 377 x 386).
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(rgba(255, 255, 255, 90), 1));
    p.drawLine(QPointF(383, 522.5), QPointF(762, 522.5));
    p.drawLine(QPointF(762.5, 134), QPointF(762.5, 523));
    p.setPen(QPen(rgba(24, 60, 96), 1));
    p.drawRect(QRectF(383.5, 134.5, 378, 387));

    // Bottom strip: a lighter band that keeps the dark blue copyright line
    // readable, and a tray under the command buttons (y 553..580).
    drawBottomStrip(p, Skin::FaceWidth, Skin::FaceHeight, 539);
    insetPanel(p, QRectF(379.5, 546.5, 390, 40));

    // Frame: a dark rim and a light inner edge.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(rgba(255, 255, 255, 70), 1));
    p.drawPath(roundedRect(outer.adjusted(1.5, 1.5, -1.5, -1.5), OuterRadius - 1.5));
    p.setPen(QPen(rgba(17, 48, 78), 1));
    p.drawPath(roundedRect(outer.adjusted(0.5, 0.5, -0.5, -0.5), OuterRadius - 0.5));
    return image;
}

QImage paintWizardFace(qreal devicePixelRatio)
{
    const QSize size(Skin::WizardFaceWidth, Skin::WizardFaceHeight);
    QImage image = newImage(size, devicePixelRatio);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    // A plain rectangle: without rounded corners it needs no mask.
    p.fillRect(QRect(QPoint(0, 0), size), bodyGradient(size.height()));
    drawTitleStrip(p, size.width(), QStringLiteral("PVK2PFX"), QStringLiteral(" Wizard"), 20);

    // The inputs (x 63..403, y 68..281), grouped into key, certificate,
    // new password and the overwrite box.
    insetPanel(p, QRectF(51.5, 60.5, 363, 231));
    for (int y : {156, 204, 253})
        etchedLine(p, 65, 401, y);

    // Buttons at x 267..435, y 308..335; the copyright line at 41, 315.
    drawBottomStrip(p, size.width(), size.height(), 300);
    insetPanel(p, QRectF(261.5, 302.5, 180, 39));

    // The main face's rim, square: the strip is the wizard's only title,
    // so the window has no frame of the window manager's to end it.
    const QRectF outer(0, 0, size.width(), size.height());
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(rgba(255, 255, 255, 70), 1));
    p.drawRect(outer.adjusted(1.5, 1.5, -1.5, -1.5));
    p.setPen(QPen(rgba(17, 48, 78), 1));
    p.drawRect(outer.adjusted(0.5, 0.5, -0.5, -0.5));
    return image;
}

// ----- title buttons -------------------------------------------------------

void drawTitleIcon(QPainter &p, Skin::TitleButton button, const QColor &colour)
{
    using Skin::TitleButton;
    p.setBrush(Qt::NoBrush);
    switch (button) {
    case TitleButton::Web: {
        // Few lines: at this size a full net of meridians reads as a grid.
        p.setPen(QPen(colour, 1.5));
        p.drawEllipse(QPointF(12, 12), 6.5, 6.5);
        p.setPen(QPen(colour, 1.2));
        p.drawEllipse(QPointF(12, 12), 2.6, 6.5);
        p.drawLine(QPointF(5.8, 12), QPointF(18.2, 12));
        break;
    }
    case TitleButton::Help: {
        QPainterPath mark;
        mark.moveTo(8.6, 9.4);
        mark.cubicTo(8.6, 5.2, 15.6, 5.2, 15.6, 9.2);
        mark.cubicTo(15.6, 11.6, 12, 11.8, 12, 14.6);
        p.setPen(QPen(colour, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(mark);
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawEllipse(QPointF(12, 18), 1.4, 1.4);
        break;
    }
    case TitleButton::Minimize:
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawRoundedRect(QRectF(7, 15, 10, 2.6), 1.2, 1.2);
        break;
    case TitleButton::Close:
        p.setPen(QPen(colour, 2.3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8.2, 8.2), QPointF(15.8, 15.8));
        p.drawLine(QPointF(15.8, 8.2), QPointF(8.2, 15.8));
        break;
    }
}

struct ButtonColours {
    QColor top, bottom, border, highlight;
};

ButtonColours buttonColours(Skin::TitleButton button, Skin::ButtonLook look)
{
    using Skin::ButtonLook;
    // Close warms to red under the pointer, as people expect of a close box.
    if (button == Skin::TitleButton::Close && look != ButtonLook::Normal) {
        if (look == ButtonLook::Hover)
            return {rgba(240, 138, 124), rgba(208, 72, 58), rgba(110, 24, 18), rgba(255, 220, 214, 170)};
        return {rgba(142, 36, 27), rgba(178, 56, 44), rgba(84, 14, 10), rgba(255, 255, 255, 30)};
    }
    switch (look) {
    case ButtonLook::Normal:
        return {rgba(112, 156, 196), rgba(56, 106, 152), rgba(14, 44, 74), rgba(255, 255, 255, 120)};
    case ButtonLook::Hover:
        return {rgba(156, 196, 230), rgba(88, 142, 190), rgba(20, 60, 98), rgba(255, 255, 255, 190)};
    case ButtonLook::Pressed:
        break;
    }
    return {rgba(34, 74, 112), rgba(52, 96, 138), rgba(8, 30, 52), rgba(255, 255, 255, 35)};
}

// Paints a title button in the 24 x 24 square at the painter's origin.
void paintTitleButton(QPainter &p, Skin::TitleButton button, Skin::ButtonLook look)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const bool pressed = look == Skin::ButtonLook::Pressed;
    const ButtonColours c = buttonColours(button, look);
    const QRectF body(0.5, 0.5, 23, 23);

    p.setPen(QPen(c.border, 1));
    p.setBrush(vertical(0, 24, {{0, c.top}, {1, c.bottom}}));
    p.drawPath(roundedRect(body, ButtonRadius));
    // Glass: a bright upper half on a raised button, an inner shadow on a
    // pressed one.
    p.setPen(Qt::NoPen);
    if (!pressed) {
        p.setBrush(vertical(1, 12, {{0, rgba(255, 255, 255, 70)}, {1, rgba(255, 255, 255, 15)}}));
        p.drawPath(roundedRect(QRectF(1.5, 1.5, 21, 10.5), ButtonRadius - 1));
    } else {
        p.setBrush(vertical(1, 8, {{0, rgba(0, 0, 0, 70)}, {1, rgba(0, 0, 0, 0)}}));
        p.drawPath(roundedRect(QRectF(1, 1, 22, 8), ButtonRadius - 1));
    }
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(c.highlight, 1));
    p.drawPath(roundedRect(body.adjusted(1, 1, -1, -1), ButtonRadius - 1));

    // Pressed buttons sink by one pixel.
    if (pressed)
        p.translate(1, 1);
    p.save();
    p.translate(0, 1);
    drawTitleIcon(p, button, rgba(6, 26, 46, 110));
    p.restore();
    drawTitleIcon(p, button, pressed ? rgba(214, 228, 240) : rgba(255, 255, 255));
    p.restore();
}

// ----- glyphs --------------------------------------------------------------

// Small shapes reused by several glyphs, all in a 16 x 16 grid.

void page(QPainter &p, const QRectF &r)
{
    const qreal fold = 3.5;
    QPainterPath sheet;
    sheet.moveTo(r.topLeft());
    sheet.lineTo(r.right() - fold, r.top());
    sheet.lineTo(r.right(), r.top() + fold);
    sheet.lineTo(r.bottomRight());
    sheet.lineTo(r.bottomLeft());
    sheet.closeSubpath();
    p.setPen(QPen(rgba(92, 108, 126), 1));
    p.setBrush(vertical(r.top(), r.bottom(), {{0, rgba(255, 255, 255)}, {1, rgba(226, 234, 242)}}));
    p.drawPath(sheet);
    QPainterPath corner;
    corner.moveTo(r.right() - fold, r.top());
    corner.lineTo(r.right() - fold, r.top() + fold);
    corner.lineTo(r.right(), r.top() + fold);
    p.setBrush(rgba(200, 212, 224));
    p.drawPath(corner);
}

void textLines(QPainter &p, qreal x1, qreal x2, std::initializer_list<qreal> ys)
{
    p.setPen(QPen(rgba(128, 146, 166), 1));
    for (qreal y : ys)
        p.drawLine(QPointF(x1, y), QPointF(x2, y));
}

void key(QPainter &p, QPointF bowCentre, qreal angle)
{
    p.save();
    p.translate(bowCentre);
    p.rotate(angle);
    const QColor rim = rgba(122, 84, 10);
    QLinearGradient gold(0, -3, 0, 3);
    gold.setColorAt(0, rgba(255, 222, 110));
    gold.setColorAt(1, rgba(214, 156, 28));
    QPainterPath shape;
    shape.addEllipse(QPointF(0, 0), 3.2, 3.2);
    QPainterPath blade;
    blade.addRect(QRectF(2.4, -1.1, 7.2, 2.2));
    blade.addRect(QRectF(6.4, 0.6, 1.4, 2.2));
    blade.addRect(QRectF(8.2, 0.6, 1.4, 2.8));
    shape = shape.united(blade);
    QPainterPath hole;
    hole.addEllipse(QPointF(-0.9, 0), 1.1, 1.1);
    shape = shape.subtracted(hole);
    p.setPen(QPen(rim, 0.9));
    p.setBrush(gold);
    p.drawPath(shape);
    p.restore();
}

void folder(QPainter &p, const QRectF &r)
{
    const QColor rim = rgba(160, 112, 20);
    QPainterPath back;
    back.moveTo(r.left(), r.bottom());
    back.lineTo(r.left(), r.top());
    back.lineTo(r.left() + 5, r.top());
    back.lineTo(r.left() + 6.5, r.top() + 1.5);
    back.lineTo(r.right(), r.top() + 1.5);
    back.lineTo(r.right(), r.bottom());
    back.closeSubpath();
    p.setPen(QPen(rim, 1));
    p.setBrush(rgba(232, 184, 72));
    p.drawPath(back);
    QPainterPath front;
    front.moveTo(r.left(), r.bottom());
    front.lineTo(r.left() + 1.5, r.top() + 4);
    front.lineTo(r.right() + 1, r.top() + 4);
    front.lineTo(r.right(), r.bottom());
    front.closeSubpath();
    p.setBrush(vertical(r.top() + 4, r.bottom(), {{0, rgba(255, 226, 132)}, {1, rgba(242, 194, 78)}}));
    p.drawPath(front);
}

void arrowRight(QPainter &p, QPointF from, qreal length, const QColor &fill)
{
    QPainterPath arrow;
    const qreal x = from.x(), y = from.y();
    arrow.moveTo(x, y - 1.6);
    arrow.lineTo(x + length - 4, y - 1.6);
    arrow.lineTo(x + length - 4, y - 4);
    arrow.lineTo(x + length, y);
    arrow.lineTo(x + length - 4, y + 4);
    arrow.lineTo(x + length - 4, y + 1.6);
    arrow.lineTo(x, y + 1.6);
    arrow.closeSubpath();
    p.setPen(QPen(fill.darker(170), 0.9, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.setBrush(vertical(y - 4, y + 4, {{0, fill.lighter(130)}, {1, fill}}));
    p.drawPath(arrow);
}

void tile(QPainter &p, const QRectF &r)
{
    p.setPen(QPen(rgba(28, 74, 124), 1));
    p.setBrush(vertical(r.top(), r.bottom(), {{0, rgba(120, 176, 228)}, {1, rgba(50, 112, 182)}}));
    p.drawRect(r);
}

void listLine(QPainter &p, qreal x1, qreal x2, qreal y)
{
    p.setPen(QPen(rgba(84, 98, 116), 1.2));
    p.drawLine(QPointF(x1, y), QPointF(x2, y));
}

void drawClearListGlyph(QPainter &p)
{
    page(p, QRectF(1.5, 0.5, 10, 13));
    textLines(p, 3.5, 8.5, {4.5, 6.5});
    // An eraser wiping the lower lines away.
    p.save();
    p.translate(10, 11);
    p.rotate(-40);
    p.setPen(QPen(rgba(120, 40, 56), 0.9));
    p.setBrush(vertical(-2.5, 2.5, {{0, rgba(250, 150, 168)}, {1, rgba(222, 88, 112)}}));
    p.drawRoundedRect(QRectF(-5.5, -2.6, 6, 5.2), 1, 1);
    p.setBrush(vertical(-2.5, 2.5, {{0, rgba(150, 196, 240)}, {1, rgba(62, 120, 186)}}));
    p.drawRoundedRect(QRectF(0.5, -2.6, 5, 5.2), 1, 1);
    p.restore();
}

// A page of text with a round badge at its lower right corner: a minus for
// taking files off the list, a plus for adding them.
void pageWithBadge(QPainter &p, const QColor &rim, const QColor &top, const QColor &bottom, bool plus)
{
    page(p, QRectF(1.5, 0.5, 10, 13));
    textLines(p, 3.5, 8.5, {4.5, 6.5, 8.5});
    p.setPen(QPen(rim, 0.9));
    p.setBrush(vertical(7, 15, {{0, top}, {1, bottom}}));
    p.drawEllipse(QPointF(11.5, 11.5), 4, 4);
    p.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(9.6, 11.5), QPointF(13.4, 11.5));
    if (plus)
        p.drawLine(QPointF(11.5, 9.6), QPointF(11.5, 13.4));
}

void drawRemoveGlyph(QPainter &p)
{
    pageWithBadge(p, rgba(150, 20, 20), rgba(246, 104, 92), rgba(200, 36, 30), false);
}

void drawMenuAddFilesGlyph(QPainter &p)
{
    pageWithBadge(p, rgba(24, 110, 36), rgba(120, 214, 112), rgba(40, 150, 52), true);
}

void drawSignGlyph(QPainter &p)
{
    // A pen nib over a short ink stroke.
    QPainterPath stroke;
    stroke.moveTo(1, 14.5);
    stroke.cubicTo(3, 12.5, 4.5, 15.5, 6.5, 13.6);
    p.setPen(QPen(rgba(30, 70, 140), 1.1, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(stroke);
    p.save();
    p.translate(9, 7.6);
    p.rotate(45);
    // Straight flanks from the point to the shoulders, then the
    // narrower neck that sits in the pen.
    QPainterPath nib;
    nib.moveTo(0, 8.5);
    nib.lineTo(-3.6, 0.5);
    nib.quadTo(-4.4, -1.6, -3, -3.4);
    nib.lineTo(-3, -6.5);
    nib.lineTo(3, -6.5);
    nib.lineTo(3, -3.4);
    nib.quadTo(4.4, -1.6, 3.6, 0.5);
    nib.closeSubpath();
    // A gold nib stands out on the pale blue buttons.
    QLinearGradient metal(-4, 0, 4, 0);
    metal.setColorAt(0, rgba(176, 118, 14));
    metal.setColorAt(0.45, rgba(255, 226, 130));
    metal.setColorAt(1, rgba(150, 96, 8));
    p.setPen(QPen(rgba(96, 58, 6), 0.9, Qt::SolidLine, Qt::SquareCap, Qt::RoundJoin));
    p.setBrush(metal);
    p.drawPath(nib);
    p.setPen(QPen(rgba(96, 58, 6), 0.9));
    p.drawLine(QPointF(0, 1.5), QPointF(0, 8));
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(0, 0.5), 1.1, 1.1);
    p.restore();
}

void drawExitGlyph(QPainter &p)
{
    // A door standing open with an arrow leaving through it.
    p.setPen(QPen(rgba(70, 52, 36), 1));
    p.setBrush(rgba(250, 246, 236));
    p.drawRect(QRectF(1.5, 1.5, 8, 13));
    QPainterPath door;
    door.moveTo(1.5, 1.5);
    door.lineTo(6.5, 3.5);
    door.lineTo(6.5, 15.5);
    door.lineTo(1.5, 14.5);
    door.closeSubpath();
    p.setBrush(vertical(1, 15, {{0, rgba(196, 134, 76)}, {1, rgba(140, 88, 42)}}));
    p.drawPath(door);
    p.setPen(Qt::NoPen);
    p.setBrush(rgba(250, 220, 120));
    p.drawEllipse(QPointF(5.2, 9), 0.8, 0.8);
    arrowRight(p, QPointF(7, 8.5), 8.5, rgba(52, 160, 60));
}

void drawPvk2PfxGlyph(QPainter &p)
{
    // A certificate with its seal above, a key lying along the bottom.
    p.setPen(QPen(rgba(92, 108, 126), 1));
    p.setBrush(vertical(1, 10, {{0, rgba(255, 255, 255)}, {1, rgba(232, 238, 246)}}));
    p.drawRect(QRectF(2.5, 0.5, 13, 9));
    textLines(p, 4.5, 10, {3, 5});
    textLines(p, 4.5, 8, {7});
    p.setPen(Qt::NoPen);
    p.setBrush(rgba(196, 40, 40));
    QPainterPath ribbon;
    ribbon.moveTo(11.8, 7);
    ribbon.lineTo(11.4, 10.6);
    ribbon.lineTo(12.6, 9.8);
    ribbon.lineTo(13.6, 10.6);
    ribbon.lineTo(13.8, 7);
    ribbon.closeSubpath();
    p.drawPath(ribbon);
    p.setPen(QPen(rgba(130, 20, 20), 0.8));
    p.setBrush(rgba(230, 64, 56));
    p.drawEllipse(QPointF(12.8, 6), 1.9, 1.9);
    key(p, QPointF(3.7, 12.4), 0);
}

void drawHourglassGlyph(QPainter &p)
{
    const QColor wood = rgba(118, 76, 36);
    QPainterPath glass;
    glass.moveTo(4, 2.5);
    glass.lineTo(12, 2.5);
    glass.cubicTo(12, 6, 9, 7, 8.8, 8);
    glass.cubicTo(9, 9, 12, 10, 12, 13.5);
    glass.lineTo(4, 13.5);
    glass.cubicTo(4, 10, 7, 9, 7.2, 8);
    glass.cubicTo(7, 7, 4, 6, 4, 2.5);
    p.setPen(QPen(rgba(90, 120, 150), 0.9));
    p.setBrush(rgba(220, 236, 250));
    p.drawPath(glass);
    p.setPen(Qt::NoPen);
    p.setBrush(rgba(230, 180, 60));
    QPainterPath sandTop;
    sandTop.moveTo(5.4, 5);
    sandTop.lineTo(10.6, 5);
    sandTop.cubicTo(10, 6.4, 8.6, 7, 8, 8);
    sandTop.cubicTo(7.4, 7, 6, 6.4, 5.4, 5);
    p.drawPath(sandTop);
    QPainterPath sandBottom;
    sandBottom.moveTo(4.7, 13);
    sandBottom.cubicTo(5.5, 11, 7, 10.4, 8, 10.2);
    sandBottom.cubicTo(9, 10.4, 10.5, 11, 11.3, 13);
    sandBottom.closeSubpath();
    p.drawPath(sandBottom);
    p.setPen(QPen(rgba(230, 180, 60), 0.8));
    p.drawLine(QPointF(8, 8), QPointF(8, 10.4));
    p.setPen(QPen(wood.darker(130), 0.8));
    p.setBrush(vertical(0, 3, {{0, rgba(190, 130, 70)}, {1, wood}}));
    p.drawRoundedRect(QRectF(2.5, 0.5, 11, 2.5), 0.8, 0.8);
    p.drawRoundedRect(QRectF(2.5, 13, 11, 2.5), 0.8, 0.8);
}

void drawSavePfxGlyph(QPainter &p)
{
    // A disk with a key on it.
    QPainterPath disk;
    disk.moveTo(0.5, 0.5);
    disk.lineTo(12.5, 0.5);
    disk.lineTo(14.5, 2.5);
    disk.lineTo(14.5, 14.5);
    disk.lineTo(0.5, 14.5);
    disk.closeSubpath();
    p.setPen(QPen(rgba(14, 40, 72), 1));
    p.setBrush(vertical(0, 15, {{0, rgba(74, 118, 172)}, {1, rgba(34, 72, 124)}}));
    p.drawPath(disk);
    p.setPen(Qt::NoPen);
    p.setBrush(rgba(236, 242, 248));
    p.drawRect(QRectF(3, 1, 8.5, 5));
    p.setBrush(rgba(34, 72, 124));
    p.drawRect(QRectF(8.5, 1.8, 1.8, 3.4));
    p.setBrush(rgba(200, 214, 230));
    p.drawRect(QRectF(2.5, 8.5, 10, 6));
    key(p, QPointF(8.2, 11.6), -28);
}

void drawCancelGlyph(QPainter &p)
{
    QPainterPath cross;
    cross.moveTo(3, 3);
    cross.lineTo(13, 13);
    cross.moveTo(13, 3);
    cross.lineTo(3, 13);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(rgba(130, 14, 14), 4.4, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(cross);
    p.setPen(QPen(QBrush(vertical(2, 14, {{0, rgba(250, 96, 84)}, {1, rgba(206, 30, 24)}})),
                  2.6, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(cross);
}

void drawMenuDetailsGlyph(QPainter &p)
{
    p.setPen(QPen(rgba(84, 98, 116), 1));
    p.setBrush(rgba(214, 224, 236));
    p.drawRect(QRectF(0.5, 0.5, 15, 3));
    for (qreal y : {5.5, 9.0, 12.5}) {
        tile(p, QRectF(1.5, y, 2.5, 2.5));
        listLine(p, 6, 9.5, y + 1.3);
        listLine(p, 11, 15, y + 1.3);
    }
}

void drawMenuLargeIconsGlyph(QPainter &p)
{
    for (qreal x : {1.5, 9.5})
        for (qreal y : {1.5, 9.5})
            tile(p, QRectF(x, y, 5, 5));
}

void drawMenuListGlyph(QPainter &p)
{
    for (qreal x : {0.5, 8.5})
        for (qreal y : {1.5, 6.5, 11.5}) {
            tile(p, QRectF(x, y, 2.5, 2.5));
            listLine(p, x + 4.5, x + 7, y + 1.3);
        }
}

void drawMenuSmallIconsGlyph(QPainter &p)
{
    for (qreal x : {0.5, 6.0, 11.5})
        for (qreal y : {0.5, 6.0, 11.5})
            tile(p, QRectF(x, y, 3.5, 3.5));
}

void drawMenuCopyToGlyph(QPainter &p)
{
    folder(p, QRectF(0.5, 3.5, 11, 10.5));
    arrowRight(p, QPointF(6.5, 9.5), 9, rgba(52, 160, 60));
}

// One function per glyph, each on the 16 x 16 grid.
void drawGlyph(QPainter &p, Skin::Glyph glyph)
{
    using Skin::Glyph;
    switch (glyph) {
    case Glyph::ClearList: return drawClearListGlyph(p);
    case Glyph::Remove: return drawRemoveGlyph(p);
    case Glyph::Sign: return drawSignGlyph(p);
    case Glyph::Exit: return drawExitGlyph(p);
    case Glyph::Pvk2Pfx: return drawPvk2PfxGlyph(p);
    case Glyph::Hourglass: return drawHourglassGlyph(p);
    case Glyph::SavePfx: return drawSavePfxGlyph(p);
    case Glyph::Cancel: return drawCancelGlyph(p);
    case Glyph::MenuDetails: return drawMenuDetailsGlyph(p);
    case Glyph::MenuLargeIcons: return drawMenuLargeIconsGlyph(p);
    case Glyph::MenuList: return drawMenuListGlyph(p);
    case Glyph::MenuSmallIcons: return drawMenuSmallIconsGlyph(p);
    case Glyph::MenuCopyTo: return drawMenuCopyToGlyph(p);
    case Glyph::MenuAddFiles: return drawMenuAddFilesGlyph(p);
    }
}

QPixmap paintGlyph(Skin::Glyph glyph, int scale)
{
    QImage image = newImage(QSize(16, 16) * scale, 1);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale, scale);
    drawGlyph(p, glyph);
    p.end();
    return QPixmap::fromImage(image);
}

} // namespace

namespace Skin {

QPixmap mainFace(qreal devicePixelRatio)
{
    return QPixmap::fromImage(paintFace(devicePixelRatio));
}

QPixmap wizardFace(qreal devicePixelRatio)
{
    return QPixmap::fromImage(paintWizardFace(devicePixelRatio));
}

QRegion faceMask()
{
    const QImage face = paintFace(1);
    QRegion region;
    for (int y = 0; y < face.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(face.constScanLine(y));
        int start = -1;
        for (int x = 0; x <= face.width(); ++x) {
            const bool solid = x < face.width() && qAlpha(line[x]) >= 128;
            if (solid && start < 0)
                start = x;
            else if (!solid && start >= 0) {
                region += QRect(start, y, x - start, 1);
                start = -1;
            }
        }
    }
    return region;
}

QPixmap titleButtonPicture(TitleButton button, ButtonLook look, qreal devicePixelRatio)
{
    QImage image = newImage(QSize(24, 24), devicePixelRatio);
    QPainter p(&image);
    paintTitleButton(p, button, look);
    p.end();
    return QPixmap::fromImage(image);
}

QIcon glyph(Glyph which)
{
    QIcon icon;
    icon.addPixmap(paintGlyph(which, 1));
    icon.addPixmap(paintGlyph(which, 2));
    return icon;
}

QString styleSheet()
{
    // The control bounds were laid out for Tahoma 8. Where it is missing,
    // DejaVu Sans Condensed has nearly its widths at 11 px, so captions fit
    // their boxes; plain DejaVu Sans is a tenth wider and gets clipped.
    QString sheet = QStringLiteral(R"(
QLabel, QLineEdit, QCheckBox, QPushButton, QComboBox, QMenu, QToolTip {
    font-family: Tahoma, "DejaVu Sans Condensed", "DejaVu Sans", sans-serif;
    font-size: 11px;
}
QLabel { color: white; background: transparent; }
QLabel#lbCopyRight { color: #073d6b; font-weight: bold; }
QLabel#lblOptions { font-weight: bold; }
QLabel:disabled { color: #d6e2ec; }

QLineEdit {
    color: black;
    background: white;
    border: 1px solid #1f4c77;
    border-radius: 2px;
    padding: 0px 3px;
    selection-background-color: #2f6aa0;
    selection-color: white;
    lineedit-password-character: 42;
}
/* The focus ring: two pixels of the dark blue of the copyright line, which
   stands out on the blue face and on white alike. Padding gives back the
   extra pixel, so the contents stay where they were. */
QLineEdit:focus { border: 2px solid #073d6b; padding: 0px 2px; background: #fdfeff; }
QLineEdit[readOnly="true"] { background: #f1f5f9; }
QLineEdit:disabled {
    color: #8a949c;
    background: #dfe4e9;
    border-color: #7f97ac;
}

QCheckBox {
    color: white;
    spacing: 3px;
    background: transparent;
    border: 2px solid transparent;
    border-radius: 3px;
}
QCheckBox:focus { border-color: #073d6b; background: rgba(7, 61, 107, 70); }
QCheckBox:disabled { color: #d6e2ec; }
QCheckBox::indicator {
    width: 11px;
    height: 11px;
    border: 1px solid #0d3a62;
    border-radius: 2px;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #e6edf4, stop:1 #ffffff);
}
QCheckBox::indicator:hover { border-color: #2f6aa0; background: #ffffff; }
QCheckBox::indicator:pressed { background: #d2dfeb; }
QCheckBox::indicator:disabled { border-color: #7f93a5; background: #d5dce2; }

QPushButton {
    color: #0b2a45;
    border: 1px solid #1f4c77;
    border-radius: 3px;
    padding: 0px 4px;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1,
        stop:0 #ffffff, stop:0.48 #e8eff6, stop:0.52 #d8e4ef, stop:1 #c3d5e5);
}
QPushButton:hover {
    border-color: #3d7fbf;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1,
        stop:0 #ffffff, stop:0.48 #eaf4ff, stop:0.52 #d6e9fb, stop:1 #b6d6f4);
}
QPushButton:focus { border: 2px solid #073d6b; padding: 0px 3px; }
QPushButton:pressed {
    padding-top: 1px;
    padding-left: 5px;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1,
        stop:0 #aec4d8, stop:0.5 #c3d5e5, stop:1 #d8e4ef);
}
QPushButton:disabled {
    color: #8c9aa6;
    border-color: #8ea5b8;
    background: #dde4ea;
}
QPushButton#bntSelSignTool, QPushButton#btnSelPFXFile, QPushButton#btnSaveProject,
QPushButton#btnPvkFileName, QPushButton#btnSpcFilename, QPushButton#btnPvk2Pfx {
    padding: 0px;
}

QComboBox {
    color: black;
    font-weight: bold;
    background: white;
    border: 1px solid #1f4c77;
    border-radius: 2px;
    padding: 0px 4px;
}
QComboBox:hover { border-color: #2f6aa0; }
QComboBox:focus { border: 2px solid #073d6b; padding: 0px 3px; }
QComboBox:disabled { color: #8a949c; background: #dfe4e9; border-color: #7f97ac; }
QComboBox::drop-down {
    subcontrol-origin: padding;
    subcontrol-position: top right;
    width: 16px;
    border-left: 1px solid #8fa9c0;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:1 #cfdeeb);
}
QComboBox QAbstractItemView {
    color: black;
    background: white;
    border: 1px solid #1f4c77;
    selection-color: white;
    selection-background-color: #2f6aa0;
    outline: 0px;
}

/* The file list sits in a dark well; it shows the ring on the white of its
   views, and keeps white there while it has no focus. */
TDivFileList QAbstractItemView { border: 2px solid white; }
TDivFileList QAbstractItemView:focus { border-color: #073d6b; }

QMenu {
    color: black;
    background: white;
    border: 1px solid #073d6b;
    padding: 2px;
}
QMenu::item { padding: 3px 18px 3px 6px; border-radius: 2px; }
QMenu::item:selected { color: #0b2a45; background: #d3e3f2; }
QMenu::item:disabled { color: #9aa4ad; background: transparent; }
QMenu::icon { padding-left: 4px; }
QMenu::separator { height: 1px; background: #c5d3df; margin: 3px 4px; }

QFrame#pnlWait { background: white; border: 1px solid #073d6b; }
QFrame#pnlWait QLabel { color: black; }
QFrame#pnlWait QProgressBar { background: white; border: 1px solid #073d6b; }
/* Light, so that the count written across the bar stays readable. */
QFrame#pnlWait QProgressBar::chunk { background: #b7d0e6; }
QFrame#pnlWait QLabel#lbProgress { background: transparent; }
QFrame#pnlWait QLabel#lbWaitTitle {
    color: white;
    font-weight: bold;
    padding-left: 6px;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1,
        stop:0 #2d5f8f, stop:0.5 #184a78, stop:1 #073d6b);
}

QToolTip {
    color: #0b2a45;
    background: #f6fafd;
    border: 1px solid #073d6b;
    padding: 2px;
}
)");
    const auto url = [](const char *name) {
        return QStringLiteral("url(\"%1/%2\")")
            .arg(QLatin1String(SkinPictureFolder), QLatin1String(name));
    };
    sheet += QStringLiteral(R"(
QCheckBox::indicator:checked { image: %1; }
QCheckBox::indicator:checked:disabled { image: %2; }
QComboBox::down-arrow { image: %3; width: 9px; height: 5px; }
QComboBox::down-arrow:disabled { image: %4; }
)").arg(url(CheckPicture), url(CheckDisabledPicture), url(ArrowPicture), url(ArrowDisabledPicture));
    return sheet;
}

} // namespace Skin

// ----- ImageButton --------------------------------------------------------

ImageButton::ImageButton(Skin::TitleButton button, QWidget *parent)
    : QAbstractButton(parent), m_button(button)
{
    setFixedSize(24, 24);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_Hover);
}

QSize ImageButton::sizeHint() const
{
    return QSize(24, 24);
}

Skin::ButtonLook ImageButton::look() const
{
    if (isDown())
        return Skin::ButtonLook::Pressed;
    return m_hovered ? Skin::ButtonLook::Hover : Skin::ButtonLook::Normal;
}

void ImageButton::paintEvent(QPaintEvent *)
{
    // Painted straight onto the widget, so it stays sharp on scaled screens.
    QPainter painter(this);
    paintTitleButton(painter, m_button, look());
}

void ImageButton::enterEvent(QEnterEvent *event)
{
    m_hovered = true;
    update();
    QAbstractButton::enterEvent(event);
}

void ImageButton::leaveEvent(QEvent *event)
{
    m_hovered = false;
    update();
    QAbstractButton::leaveEvent(event);
}
