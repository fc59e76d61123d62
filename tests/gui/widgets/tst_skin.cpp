#include "widgets/Skin.h"

#include <QCheckBox>
#include <QDir>
#include <QTemporaryDir>
#include <QComboBox>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>

namespace {

double meanLuma(const QImage &image)
{
    double sum = 0;
    int counted = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb px = image.pixel(x, y);
            if (qAlpha(px) == 0)
                continue;
            sum += 0.299 * qRed(px) + 0.587 * qGreen(px) + 0.114 * qBlue(px);
            ++counted;
        }
    return counted ? sum / counted : 0;
}

int opaquePixels(const QImage &image)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += qAlpha(image.pixel(x, y)) == 255;
    return n;
}

constexpr int TitleButtonX[] = {666, 695, 724, 753};
constexpr Skin::TitleButton AllButtons[] = {Skin::TitleButton::Web, Skin::TitleButton::Help,
                                            Skin::TitleButton::Minimize, Skin::TitleButton::Close};

} // namespace

class TestSkin : public QObject {
    Q_OBJECT
private slots:
    void faceIsRoundedAndOpaqueUnderTheControls();
    void facesFollowTheDevicePixelRatio();
    void wizardFaceIsOpaque();
    void titleButtonLooksDiffer();
    void imageButtonFollowsThePointerAndThePress();
    void glyphsAreDistinctSmallPictures();
    void styleSheetAppliesWithoutWarnings();
    void styleSheetShowsTheCheckMark();
    void styleSheetPicturesAreBuiltIn();
    void titleLogoIsTheWindowIcon();
};

void TestSkin::faceIsRoundedAndOpaqueUnderTheControls()
{
    const QImage face = Skin::mainFace().toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(face.size(), QSize(800, 600));

    // Corners are cut away; the transparent part is alpha, not a key colour.
    for (QPoint corner : {QPoint(0, 0), QPoint(799, 0), QPoint(0, 599), QPoint(799, 599)})
        QCOMPARE(qAlpha(face.pixel(corner)), 0);

    // The title buttons sit on solid face, never on a transparent or
    // magenta pixel, and so does every control's area.
    const QRegion mask = Skin::faceMask();
    for (int x : TitleButtonX) {
        const QRect bounds(x, 22, 24, 24);
        QVERIFY(mask.contains(bounds));
        for (int y = bounds.top(); y <= bounds.bottom(); ++y)
            for (int px = bounds.left(); px <= bounds.right(); ++px) {
                const QRgb c = face.pixel(px, y);
                QCOMPARE(qAlpha(c), 255);
                QVERIFY2(c != qRgb(255, 0, 255), "magenta under a title button");
            }
    }
    QVERIFY(mask.contains(QRect(40, 73, 330, 448)));
    QVERIFY(mask.contains(QRect(384, 73, 377, 507)));
    QVERIFY(!mask.contains(QPoint(0, 0)));

    // Open face between the panels keeps the window's background colour.
    const QColor open = face.pixelColor(15, 300);
    QVERIFY2(qAbs(open.red() - 124) <= 10 && qAbs(open.green() - 159) <= 10
                 && qAbs(open.blue() - 187) <= 10,
             qPrintable(open.name()));

    // White captions stay readable on the panels: the panel behind a
    // label is no lighter than the face colour.
    const QColor panel = face.pixelColor(200, 80);
    QVERIFY(panel.lightness() <= QColor::fromRgb(Skin::FaceColour).lightness());
}

void TestSkin::facesFollowTheDevicePixelRatio()
{
    const QPixmap sharp = Skin::mainFace(2);
    QCOMPARE(sharp.size(), QSize(1600, 1200));
    QCOMPARE(sharp.deviceIndependentSize(), QSizeF(800, 600));
    // Same drawing, not an upscaled copy: the title button tray lies at the
    // same logical place.
    const QImage one = Skin::mainFace(1).toImage();
    const QImage two = sharp.toImage();
    QCOMPARE(qAlpha(two.pixel(0, 0)), 0);
    const QColor a = one.pixelColor(700, 40), b = two.pixelColor(1400, 80);
    QVERIFY(qAbs(a.lightness() - b.lightness()) < 12);

    const QPixmap button = Skin::titleButtonPicture(Skin::TitleButton::Help,
                                                    Skin::ButtonLook::Normal, 2);
    QCOMPARE(button.size(), QSize(48, 48));
    QCOMPARE(button.deviceIndependentSize(), QSizeF(24, 24));
}

void TestSkin::wizardFaceIsOpaque()
{
    const QImage face = Skin::wizardFace().toImage();
    QCOMPARE(face.size(), QSize(Skin::WizardFaceWidth, Skin::WizardFaceHeight));
    QCOMPARE(opaquePixels(face), face.width() * face.height());
}

void TestSkin::titleButtonLooksDiffer()
{
    QList<QImage> normals;
    for (Skin::TitleButton button : AllButtons) {
        const QImage normal = Skin::titleButtonPicture(button, Skin::ButtonLook::Normal).toImage();
        const QImage hover = Skin::titleButtonPicture(button, Skin::ButtonLook::Hover).toImage();
        const QImage pressed = Skin::titleButtonPicture(button, Skin::ButtonLook::Pressed).toImage();
        for (const QImage &look : {normal, hover, pressed})
            QCOMPARE(look.size(), QSize(24, 24));
        QVERIFY(normal != hover);
        QVERIFY(normal != pressed);
        QVERIFY(hover != pressed);
        QVERIFY(meanLuma(hover) > meanLuma(normal));
        QVERIFY(meanLuma(pressed) < meanLuma(normal));
        for (const QImage &other : std::as_const(normals))
            QVERIFY2(other != normal, "two title buttons share a picture");
        normals << normal;
    }
}

void TestSkin::imageButtonFollowsThePointerAndThePress()
{
    QWidget window;
    auto *button = new ImageButton(Skin::TitleButton::Close, &window);
    button->move(10, 10);
    window.resize(60, 60);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QCOMPARE(button->size(), QSize(24, 24));
    QCOMPARE(button->minimumSize(), button->maximumSize());
    QCOMPARE(button->focusPolicy(), Qt::NoFocus);
    QCOMPARE(button->cursor().shape(), Qt::PointingHandCursor);

    const QImage normal = button->grab().toImage();
    QCOMPARE(button->look(), Skin::ButtonLook::Normal);
    QEnterEvent enter(QPointF(5, 5), QPointF(15, 15), QPointF(15, 15));
    QApplication::sendEvent(button, &enter);
    QCOMPARE(button->look(), Skin::ButtonLook::Hover);
    const QImage hover = button->grab().toImage();
    QVERIFY(hover != normal);

    button->setDown(true);
    QCOMPARE(button->look(), Skin::ButtonLook::Pressed);
    QVERIFY(button->grab().toImage() != hover);
    button->setDown(false);

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(button, &leave);
    QCOMPARE(button->look(), Skin::ButtonLook::Normal);
    QCOMPARE(button->grab().toImage(), normal);

    QSignalSpy clicked(button, &QAbstractButton::clicked);
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(12, 12));
    QCOMPARE(clicked.count(), 1);
}

void TestSkin::glyphsAreDistinctSmallPictures()
{
    QList<QImage> seen;
    for (int g = 0; g <= static_cast<int>(Skin::Glyph::MenuAddFiles); ++g) {
        const QIcon icon = Skin::glyph(static_cast<Skin::Glyph>(g));
        QVERIFY2(!icon.isNull(), qPrintable(QString::number(g)));
        const QImage image = icon.pixmap(16, 16).toImage();
        QCOMPARE(image.size(), QSize(16, 16));
        const int opaque = opaquePixels(image);
        QVERIFY2(opaque >= 10, qPrintable(QStringLiteral("glyph %1 is nearly empty").arg(g)));
        QVERIFY2(opaque < 256, qPrintable(QStringLiteral("glyph %1 is a filled square").arg(g)));
        for (const QImage &other : std::as_const(seen))
            QVERIFY2(other != image, qPrintable(QStringLiteral("glyph %1 repeats another").arg(g)));
        seen << image;
    }
}

void TestSkin::styleSheetAppliesWithoutWarnings()
{
    // Any warning (an unparsable sheet, a missing picture) fails the test.
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));

    const QString sheet = Skin::styleSheet();
    // Every picture the sheet names must exist.
    const QRegularExpression url(QStringLiteral("url\\(\"([^\"]+)\"\\)"));
    int pictures = 0;
    for (const auto &match : url.globalMatch(sheet)) {
        QVERIFY2(QFileInfo::exists(match.captured(1)), qPrintable(match.captured(1)));
        ++pictures;
    }
    QVERIFY(pictures >= 2);

    QWidget window;
    window.setStyleSheet(sheet);
    auto *caption = new QLabel(QStringLiteral("Description:"), &window);
    auto *copyright = new QLabel(QStringLiteral("(c)"), &window);
    copyright->setObjectName(QStringLiteral("lbCopyRight"));
    auto *edit = new QLineEdit(&window);
    edit->setEchoMode(QLineEdit::Password);
    edit->setText(QStringLiteral("abc"));
    auto *box = new QCheckBox(QStringLiteral("Time Stamp Files"), &window);
    auto *button = new QPushButton(QStringLiteral("&Sign"), &window);
    auto *combo = new QComboBox(&window);
    combo->addItem(QStringLiteral("Nightly"));
    auto *wait = new QFrame(&window);
    wait->setObjectName(QStringLiteral("pnlWait"));
    auto *title = new QLabel(QStringLiteral("Quillmark"), wait);
    title->setObjectName(QString::fromLatin1(Skin::WaitTitleName));
    auto *working = new QLabel(QStringLiteral("Working, please wait..."), wait);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.grab();  // paints every control once, loading the pictures

    QCOMPARE(caption->palette().color(QPalette::WindowText), QColor(Qt::white));
    QCOMPARE(box->palette().color(QPalette::WindowText), QColor(Qt::white));
    QCOMPARE(copyright->palette().color(QPalette::WindowText), QColor::fromRgb(Skin::DarkBlue));
    QVERIFY(copyright->font().bold());
    QCOMPARE(working->palette().color(QPalette::WindowText), QColor(Qt::black));
    QCOMPARE(title->palette().color(QPalette::WindowText), QColor(Qt::white));
    QVERIFY(title->font().bold());
    QVERIFY(combo->font().bold());
    QVERIFY(!button->font().bold());
    QCOMPARE(button->font().pixelSize(), 11);
    QCOMPARE(edit->displayText(), QStringLiteral("***"));
}

void TestSkin::styleSheetShowsTheCheckMark()
{
    QWidget window;
    window.setStyleSheet(Skin::styleSheet());
    auto *box = new QCheckBox(QStringLiteral("Verbose"), &window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    const QImage unchecked = box->grab().toImage();
    box->setChecked(true);
    const QImage checked = box->grab().toImage();
    QVERIFY(checked != unchecked);
    box->setEnabled(false);
    QVERIFY(box->grab().toImage() != checked);
}

// The pictures come with the program: nothing is written at start (a
// killed program used to leave a quillmark-skin-* folder behind each time).
void TestSkin::styleSheetPicturesAreBuiltIn()
{
    QTemporaryDir temporary;
    QVERIFY(temporary.isValid());
    const QByteArray previous = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(temporary.path()));
    const QString sheet = Skin::styleSheet();
    qputenv("TMPDIR", previous);
    QCOMPARE(QDir(temporary.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList());

    const QRegularExpression url(QStringLiteral("url\\(\"([^\"]+)\"\\)"));
    QStringList pictures;
    for (const auto &match : url.globalMatch(sheet))
        pictures << match.captured(1);
    QCOMPARE(pictures, (QStringList{":/skin/check.png", ":/skin/check-disabled.png",
                                    ":/skin/arrow.png", ":/skin/arrow-disabled.png"}));
    for (const QString &picture : pictures) {
        const QImage image(picture);
        QCOMPARE(image.size(), picture.contains("check") ? QSize(11, 11) : QSize(9, 5));
        QVERIFY2(opaquePixels(image) > 0, qPrintable(picture));
    }
}

// The logo of the title strip is the window icon itself: where the icon is
// opaque, the face shows its very pixels, at both pixel ratios.
void TestSkin::titleLogoIsTheWindowIcon()
{
    for (int ratio : {1, 2}) {
        const QImage face =
            Skin::mainFace(ratio).toImage().convertToFormat(QImage::Format_ARGB32);
        const QImage icon = QImage(QStringLiteral(":/icons/quillmark-%1.png").arg(36 * ratio))
                                .convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(icon.size(), QSize(36, 36) * ratio);
        int compared = 0;
        for (int y = 0; y < icon.height(); ++y) {
            for (int x = 0; x < icon.width(); ++x) {
                const QRgb pixel = icon.pixel(x, y);
                if (qAlpha(pixel) != 255)
                    continue;
                QCOMPARE(face.pixel(18 * ratio + x, 10 * ratio + y), pixel);
                ++compared;
            }
        }
        QVERIFY(compared > icon.width() * icon.height() / 2);
    }
}

QTEST_MAIN(TestSkin)
#include "tst_skin.moc"
