// Paints the pictures of the skin's style sheet (the check mark and the
// drop-down arrow, each in an enabled and a disabled colour) into PNG files,
// at build time; the build puts them into the program's resources, since a
// style sheet loads pictures by name only.
//
// Usage: quillmark_skin_pictures OUTPUT-FOLDER

#include "widgets/Skin.h"

#include <QColor>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>

namespace {

QImage transparentImage(QSize size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

QImage checkMark(const QColor &colour)
{
    QImage image = transparentImage(QSize(11, 11));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath tick;
    tick.moveTo(1.8, 5.6);
    tick.lineTo(4.4, 8.3);
    tick.lineTo(9.3, 2.4);
    p.setPen(QPen(colour, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(tick);
    return image;
}

QImage downArrow(const QColor &colour)
{
    QImage image = transparentImage(QSize(9, 5));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath arrow;
    arrow.moveTo(0.5, 0.5);
    arrow.lineTo(8.5, 0.5);
    arrow.lineTo(4.5, 4.8);
    arrow.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPath(arrow);
    return image;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: quillmark_skin_pictures OUTPUT-FOLDER\n");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    const QColor darkBlue = QColor::fromRgb(Skin::DarkBlue);
    const struct {
        QImage image;
        const char *name;
    } pictures[] = {
        {checkMark(darkBlue), Skin::CheckPicture},
        {checkMark(QColor(128, 140, 152)), Skin::CheckDisabledPicture},
        {downArrow(darkBlue), Skin::ArrowPicture},
        {downArrow(QColor(150, 160, 170)), Skin::ArrowDisabledPicture},
    };
    for (const auto &picture : pictures) {
        const QString path = folder.filePath(QString::fromLatin1(picture.name));
        if (!picture.image.save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
