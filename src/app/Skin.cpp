// Placeholder until the painted skin lands.
#include "app/Skin.h"
#include <QPainter>
namespace Skin {
QPixmap mainFace() { QPixmap p(800, 600); p.fill(QColor(124, 159, 187)); return p; }
QPixmap titleButtonPicture(TitleButton, ButtonLook) { QPixmap p(24, 24); p.fill(Qt::white); return p; }
QIcon glyph(Glyph) { QPixmap p(16, 16); p.fill(Qt::gray); return QIcon(p); }
QString styleSheet() { return QStringLiteral("QLabel, QCheckBox { color: white; }"); }
}
ImageButton::ImageButton(Skin::TitleButton button, QWidget *parent) : QAbstractButton(parent), m_button(button) {}
QSize ImageButton::sizeHint() const { return {24, 24}; }
void ImageButton::paintEvent(QPaintEvent *) { QPainter p(this); p.drawPixmap(0, 0, Skin::titleButtonPicture(m_button, Skin::ButtonLook::Normal)); }
void ImageButton::enterEvent(QEnterEvent *) { m_hovered = true; }
void ImageButton::leaveEvent(QEvent *) { m_hovered = false; }
