#pragma once

// The painted look of Quillmark's frameless windows: the 800 x 600 face of
// the main window, the pictures of the title-strip image buttons, the small
// glyphs on buttons and menu items, and the style sheet for the skinned
// controls. Everything is drawn here with QPainter; no image files.

#include <QAbstractButton>
#include <QIcon>
#include <QPixmap>
#include <QRegion>
#include <QRgb>
#include <QString>

namespace Skin {

inline constexpr int FaceWidth = 800;
inline constexpr int FaceHeight = 600;
inline constexpr int WizardFaceWidth = 465;
inline constexpr int WizardFaceHeight = 350;
// The window's background and the dark blue of the copyright labels; the
// rest of the palette is drawn around these two.
inline constexpr QRgb FaceColour = 0xff7c9fbb;  // RGB 124, 159, 187
inline constexpr QRgb DarkBlue = 0xff073d6b;    // RGB 7, 61, 107

// The face of the main window, 800 x 600 (logical pixels; the picture
// holds devicePixelRatio times as many), drawn behind its controls.
//
// The face has rounded corners. Instead of a magenta key colour it carries
// an alpha channel: pixels outside the rounded outline are fully
// transparent, and the outline itself is antialiased. A frameless window
// shows it as it is with Qt::WA_TranslucentBackground under a compositor;
// without one, setMask(faceMask()) cuts the corners off instead.
QPixmap mainFace(qreal devicePixelRatio = 1.0);
// The pixels of the face that are at least half opaque.
QRegion faceMask();

// The client area of the PVK2PFX wizard, 465 x 350, in the same look: a
// title strip (y 0..56), a panel behind the inputs, a band for the
// buttons and a rim. The strip is the wizard's title: the wizard has no
// frame of the window manager's (which would show a second title). The face
// is opaque and square.
QPixmap wizardFace(qreal devicePixelRatio = 1.0);

enum class TitleButton { Web, Help, Minimize, Close };
enum class ButtonLook { Normal, Hover, Pressed };
// A 24 x 24 picture of a title-strip button in one of its three looks.
QPixmap titleButtonPicture(TitleButton button, ButtonLook look,
                           qreal devicePixelRatio = 1.0);

enum class Glyph {
    ClearList, Remove, Sign, Exit, Pvk2Pfx, Hourglass, SavePfx, Cancel,
    MenuDetails, MenuLargeIcons, MenuList, MenuSmallIcons, MenuCopyTo, MenuAddFiles,
};
// A 16 x 16 icon for buttons and menu items.
QIcon glyph(Glyph glyph);

// The theme for the skinned controls of the main window and the wizard:
// labels (white, except `lbCopyRight` in dark blue and bold, `lblOptions`
// bold, and black inside `pnlWait`), edit boxes, check boxes, push buttons,
// the project combo box (bold), the context menu, tool tips and the wait
// panel.
//
// The wait panel is a QFrame named `pnlWait`; a QLabel child named
// WaitTitleName, placed across its top, becomes its dark blue title strip.
//
// Style sheets can only load pictures by name, so the check mark and the
// combo arrow are painted at build time (tools/skin-pictures) into the
// program's resources, under SkinPictureFolder with the names below.
QString styleSheet();
inline constexpr char WaitTitleName[] = "lbWaitTitle";

inline constexpr char SkinPictureFolder[] = ":/skin";
inline constexpr char CheckPicture[] = "check.png";
inline constexpr char CheckDisabledPicture[] = "check-disabled.png";
inline constexpr char ArrowPicture[] = "arrow.png";
inline constexpr char ArrowDisabledPicture[] = "arrow-disabled.png";

} // namespace Skin

// A title-strip button: a picture with normal, hover and pressed looks, a
// hand cursor, and no focus or tab stop.
class ImageButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit ImageButton(Skin::TitleButton button, QWidget *parent = nullptr);
    QSize sizeHint() const override;
    Skin::TitleButton button() const { return m_button; }
    // The look the button shows now: pressed wins over hover.
    Skin::ButtonLook look() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    Skin::TitleButton m_button;
    bool m_hovered = false;
};
