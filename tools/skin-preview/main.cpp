// Renders the skin into PNG files for a look by eye:
//   skin-main.png   the face with sample controls at their places in the
//                   main window, the wait panel shown
//   skin-parts.png  the title buttons in their three looks and every glyph,
//                   at natural size and enlarged
//   skin-wizard.png the wizard's face with its controls
//   skin-states.png push buttons and check boxes in each of their states
//   skin-face@2x.png the bare face for a screen scaled by two
// Usage: skin-preview [output folder]   (run with QT_QPA_PLATFORM=offscreen)

#include "widgets/Skin.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

namespace {

class Face : public QWidget {
public:
    explicit Face(QPixmap face, QWidget *parent = nullptr)
        : QWidget(parent), m_face(std::move(face))
    {
        setFixedSize(m_face.size());
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.drawPixmap(0, 0, m_face);
    }

private:
    QPixmap m_face;
};

template <typename W>
W *place(QWidget *parent, const char *name, QRect bounds)
{
    auto *w = new W(parent);
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(bounds);
    return w;
}

QLabel *label(QWidget *parent, const char *name, QPoint at, const QString &text)
{
    auto *l = place<QLabel>(parent, name, QRect(at, QSize(300, 13)));
    l->setText(text);
    l->adjustSize();
    return l;
}

QLineEdit *edit(QWidget *parent, const char *name, QRect bounds, const QString &text,
                bool enabled = true)
{
    auto *e = place<QLineEdit>(parent, name, bounds);
    e->setText(text);
    e->setEnabled(enabled);
    return e;
}

QCheckBox *check(QWidget *parent, const char *name, QRect bounds, const QString &text,
                 bool checked)
{
    auto *c = place<QCheckBox>(parent, name, bounds);
    c->setText(text);
    c->setChecked(checked);
    return c;
}

QPushButton *button(QWidget *parent, const char *name, QRect bounds, const QString &text,
                    Skin::Glyph glyph, bool withGlyph = true)
{
    auto *b = place<QPushButton>(parent, name, bounds);
    b->setText(text);
    if (withGlyph)
        b->setIcon(Skin::glyph(glyph));
    return b;
}

QImage mainWindow()
{
    Face face(Skin::mainFace());
    face.setStyleSheet(Skin::styleSheet());

    const char *titleNames[] = {"btnWeb", "btnHelp", "btnMinimize", "btnClose"};
    const int titleX[] = {666, 695, 724, 753};
    for (int i = 0; i < 4; ++i) {
        auto *b = new ImageButton(static_cast<Skin::TitleButton>(i), &face);
        b->setObjectName(QString::fromLatin1(titleNames[i]));
        b->move(titleX[i], 22);
    }

    label(&face, "lbPlatformSDKFolder", {40, 73}, "MS Platform SDK Bin Folder:");
    auto *sdk = edit(&face, "edPlatformSDKFolder", {40, 90, 305, 19}, "/opt/quillmark/sdk-bin/");
    sdk->setReadOnly(true);
    button(&face, "bntSelSignTool", {350, 89, 20, 20}, "...", Skin::Glyph::Sign, false);
    check(&face, "cbSelectBestCert", {40, 131, 155, 19}, "Auto Select Best Certificate", false);
    check(&face, "cbUsePFXFile", {40, 154, 242, 19},
          "Use Personal Information Exchange (PFX) File", true);
    label(&face, "lbCertName", {40, 178}, "PFX File Path:");
    edit(&face, "edCertName", {40, 194, 305, 19}, "/home/ann/keys/publisher.pfx")->setReadOnly(true);
    button(&face, "btnSelPFXFile", {350, 193, 20, 20}, "...", Skin::Glyph::Sign, false);
    label(&face, "lbPassword", {40, 218}, "PFX File Password:");
    auto *password = edit(&face, "edPassword", {40, 234, 330, 19}, "secret");
    password->setEchoMode(QLineEdit::Password);
    check(&face, "cbAddDesc", {40, 270, 107, 19}, "Add a Description", false);
    label(&face, "lbAddDesc", {40, 293}, "Description:");
    edit(&face, "edAddDesc", {40, 309, 330, 19}, "", false);
    label(&face, "lbAddDescURL", {40, 333}, "Description URL (Optional):");
    edit(&face, "edAddDescURL", {40, 349, 330, 19}, "", false);
    check(&face, "cbTimeStamp", {40, 384, 102, 19}, "Time Stamp Files", true);
    label(&face, "lbTimeStampURL", {40, 406}, "TimeStamp URL:");
    edit(&face, "edTimeStampURL", {40, 422, 330, 19}, "http://timestamp.example.com/tsa");
    label(&face, "lblOptions", {40, 460}, "Other Options");
    check(&face, "cbVerboseOutput", {40, 477, 140, 19}, "Verbose Console Output", true);
    check(&face, "cbStayOnTop", {220, 477, 148, 19}, "Keep QKM Window On Top", false);
    check(&face, "cbAddCmdLnToConsole", {40, 502, 168, 19}, "Add Command Line to Console", false);
    button(&face, "btnPvk2Pfx", {220, 502, 17, 19}, "", Skin::Glyph::Pvk2Pfx);
    label(&face, "lbPvk2Pfx", {240, 505}, "Launch PVK2PFX Wizard");
    auto *copyright = label(&face, "lbCopyRight", {35, 560}, QString::fromUtf8("\u00a9 2026 Quillmark developers"));
    copyright->setFixedSize(201, 13);

    label(&face, "lbLoadProject", {384, 73}, "Saved QMK Projects:");
    auto *projects = place<QComboBox>(&face, "cbxProject", {384, 89, 352, 21});
    projects->addItems({"Release build", "Nightly"});
    button(&face, "btnSaveProject", {741, 89, 20, 20}, "...", Skin::Glyph::Sign, false);
    label(&face, "lbDivFileList", {385, 118}, "Files to be Digitally Signed: (3)");
    auto *drag = place<QLabel>(&face, "lbDragDrop", {644, 118, 117, 13});
    drag->setText("(Drag & Drop Files Here)");
    drag->setAlignment(Qt::AlignRight);

    auto *list = place<QTreeWidget>(&face, "DivFileList", {384, 135, 377, 386});
    list->setFrameShape(QFrame::NoFrame);
    list->setHeaderLabels({"Name", "In Folder", "Size", "Type", "Changed"});
    list->setRootIsDecorated(false);
    for (const char *name : {"setup.exe", "engine.dll", "tools.msi"})
        new QTreeWidgetItem(list, {name, "/home/ann/build/", "1.2 MB", "Program", "07.12.2026"});

    button(&face, "btnClearFiles", {384, 553, 90, 27}, "&Clear List", Skin::Glyph::ClearList);
    button(&face, "btnRemSel", {479, 553, 90, 27}, "&Remove", Skin::Glyph::Remove)->setEnabled(false);
    button(&face, "btnSign", {575, 553, 90, 27}, "&Sign", Skin::Glyph::Sign);
    button(&face, "btnExit", {671, 553, 90, 27}, "&Exit", Skin::Glyph::Exit);

    auto *wait = place<QFrame>(&face, "pnlWait", {265, 262, 271, 76});
    auto *title = place<QLabel>(wait, Skin::WaitTitleName, {0, 0, 271, 20});
    title->setText("Quillmark");
    auto *hourglass = place<QLabel>(wait, "imgHourglass", {68, 41, 16, 16});
    hourglass->setPixmap(Skin::glyph(Skin::Glyph::Hourglass).pixmap(16, 16));
    label(wait, "lbWorking", {90, 43}, "Working, please wait...");

    face.show();
    QApplication::processEvents();
    QImage shot = face.grab().toImage();

    // The file list's context menu, drawn over the list.
    QMenu menu(&face);
    menu.addAction(Skin::glyph(Skin::Glyph::MenuLargeIcons), "Large Icons");
    menu.addAction(Skin::glyph(Skin::Glyph::MenuSmallIcons), "Small Icons");
    menu.addAction(Skin::glyph(Skin::Glyph::MenuList), "List");
    menu.addAction(Skin::glyph(Skin::Glyph::MenuDetails), "Details");
    menu.addSeparator();
    menu.addAction(Skin::glyph(Skin::Glyph::MenuCopyTo), "Copy File(s) To...");
    menu.addAction("Disabled item")->setEnabled(false);
    menu.popup(face.mapToGlobal(QPoint(560, 200)));
    menu.setActiveAction(menu.actions().at(1));
    QApplication::processEvents();
    QPainter p(&shot);
    p.drawPixmap(560, 200, menu.grab());
    p.end();
    return shot;
}

QImage wizard()
{
    Face face(Skin::wizardFace());
    face.setStyleSheet(Skin::styleSheet());
    label(&face, "lbPvkFileName", {63, 68}, "PVK File Path:");
    edit(&face, "edPvkFileName", {63, 84, 314, 19}, "/home/ann/keys/publisher.pvk")->setReadOnly(true);
    button(&face, "btnPvkFileName", {383, 83, 20, 20}, "...", Skin::Glyph::Sign, false);
    label(&face, "lbPvkPassword", {63, 116}, "PVK File Password:");
    edit(&face, "edPvkPassword", {63, 132, 340, 19}, "secret")->setEchoMode(QLineEdit::Password);
    label(&face, "lbSpcFilename", {63, 164}, "SPC File Path:");
    edit(&face, "edSpcFilename", {63, 180, 314, 19}, "")->setReadOnly(true);
    button(&face, "btnSpcFilename", {383, 179, 20, 20}, "...", Skin::Glyph::Sign, false);
    label(&face, "lbNewPfxPassword", {63, 212}, "New PFX File Password (Optional):");
    edit(&face, "edNewPfxPassword", {63, 228, 165, 19}, "")->setEchoMode(QLineEdit::Password);
    label(&face, "lbNewPFXPasswordConfirm", {238, 212}, "Confirm New PFX File Password:");
    edit(&face, "edNewPFXPasswordConfirm", {238, 228, 165, 19}, "")->setEchoMode(QLineEdit::Password);
    check(&face, "cbOverwriteOldPfxFile", {63, 262, 149, 19}, "Overwite Exisiting PFX File", true);
    button(&face, "btnMakePfx", {267, 308, 80, 27}, "Save &PFX", Skin::Glyph::SavePfx);
    button(&face, "btnExit", {355, 308, 80, 27}, "&Cancel", Skin::Glyph::Cancel);
    label(&face, "lbCopyRight", {41, 315}, QString::fromUtf8("\u00a9 2026 Quillmark"));
    face.show();
    QApplication::processEvents();
    return face.grab().toImage();
}

// Push buttons and check boxes in each of their states, side by side.
QImage states()
{
    Face face(Skin::mainFace().copy(0, 540, 800, 60));
    face.setStyleSheet(Skin::styleSheet());
    const char *names[] = {"normal", "hover", "pressed", "disabled"};
    QList<QWidget *> hovered;
    for (int i = 0; i < 4; ++i) {
        auto *b = button(&face, "btnSign", {10 + i * 100, 5, 90, 27}, "&Sign", Skin::Glyph::Sign);
        auto *c = check(&face, "cbTimeStamp", {10 + i * 100, 36, 95, 19}, names[i], i % 2 == 0);
        if (i == 1) {
            hovered = {b, c};
        }
        if (i == 2)
            b->setDown(true);
        if (i == 3) {
            b->setEnabled(false);
            c->setEnabled(false);
        }
    }
    auto *off = check(&face, "cbAddDesc", {410, 36, 95, 19}, "disabled", false);
    off->setEnabled(false);
    face.show();
    QApplication::processEvents();
    // No real pointer offscreen: mark the widgets as under it by hand.
    // Only one widget can be under the pointer at a time: grab each.
    QImage shot = face.grab().toImage();
    QPainter p(&shot);
    for (QWidget *w : hovered) {
        QTest::mouseMove(w, QPoint(5, 5));
        QApplication::processEvents();
        p.drawPixmap(w->pos(), w->grab());
    }
    p.end();
    return shot;
}

QImage parts()
{
    QImage image(900, 420, QImage::Format_ARGB32_Premultiplied);
    image.fill(QColor::fromRgb(Skin::FaceColour));
    QPainter p(&image);
    p.setPen(Qt::white);

    // Title buttons: a row per look, natural size then four times.
    const char *looks[] = {"Normal", "Hover", "Pressed"};
    for (int look = 0; look < 3; ++look) {
        const int y = 20 + look * 110;
        p.drawText(10, y + 16, looks[look]);
        for (int b = 0; b < 4; ++b) {
            const QPixmap picture = Skin::titleButtonPicture(static_cast<Skin::TitleButton>(b),
                                                             static_cast<Skin::ButtonLook>(look));
            p.drawPixmap(70 + b * 29, y, picture);
            p.drawImage(QRect(200 + b * 104, y, 96, 96),
                        picture.toImage().scaled(96, 96, Qt::IgnoreAspectRatio, Qt::FastTransformation));
        }
    }

    // Glyphs: natural size on the face colour and on white, then enlarged.
    for (int g = 0; g <= static_cast<int>(Skin::Glyph::MenuCopyTo); ++g) {
        const QIcon icon = Skin::glyph(static_cast<Skin::Glyph>(g));
        const int x = 630 + (g % 2) * 130;
        const int y = 10 + (g / 2) * 58;
        p.drawPixmap(x, y, icon.pixmap(16, 16));
        p.fillRect(x, y + 20, 18, 18, Qt::white);
        p.drawPixmap(x + 1, y + 21, icon.pixmap(16, 16));
        p.drawImage(QRect(x + 24, y, 48, 48),
                    icon.pixmap(16, 16).toImage().scaled(48, 48, Qt::IgnoreAspectRatio,
                                                           Qt::FastTransformation));
        p.drawPixmap(x + 78, y, icon.pixmap(32, 32));
    }
    return image;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath());
    mainWindow().save(out.filePath("skin-main.png"));
    parts().save(out.filePath("skin-parts.png"));
    wizard().save(out.filePath("skin-wizard.png"));
    states().save(out.filePath("skin-states.png"));
    Skin::mainFace(2).save(out.filePath("skin-face@2x.png"));
    return 0;
}
