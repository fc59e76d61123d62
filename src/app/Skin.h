#pragma once

// The painted look of Quillmark's frameless windows: the 800 x 600 face of
// the main window, the pictures of the title-strip image buttons, the small
// glyphs on buttons and menu items, and the style sheet for the skinned
// controls. Everything is drawn here with QPainter; no image files.

#include <QAbstractButton>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace Skin {

// The face of the main window, 800 x 600, drawn behind its controls.
QPixmap mainFace();

enum class TitleButton { Web, Help, Minimize, Close };
enum class ButtonLook { Normal, Hover, Pressed };
// A 24 x 24 picture of a title-strip button in one of its three looks.
QPixmap titleButtonPicture(TitleButton button, ButtonLook look);

enum class Glyph {
    ClearList, Remove, Sign, Exit, Pvk2Pfx, Hourglass, SavePfx, Cancel,
    MenuDetails, MenuLargeIcons, MenuList, MenuSmallIcons, MenuCopyTo,
};
// A 16 x 16 icon for buttons and menu items.
QIcon glyph(Glyph glyph);

// The theme for the skinned controls of the main window and the wizard.
QString styleSheet();

} // namespace Skin

// A title-strip button: a picture with normal, hover and pressed looks, a
// hand cursor, and no focus or tab stop.
class ImageButton : public QAbstractButton {
    Q_OBJECT
public:
    ImageButton(Skin::TitleButton button, QWidget *parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    Skin::TitleButton m_button;
    bool m_hovered = false;
};
