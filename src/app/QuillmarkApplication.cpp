#include "app/QuillmarkApplication.h"

#include "app/AppError.h"
#include "app/UserDialogs.h"

QuillmarkApplication::QuillmarkApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
    // No display name: Qt appends one to every window title on X11 and
    // Wayland ("Information — Quillmark"), and the captions are fixed texts.
    setApplicationName(QString::fromLatin1(ApplicationTitle));
}

bool QuillmarkApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const AppError &error) {
        ShowApplicationError(error.message());
    } catch (const std::exception &error) {
        ShowApplicationError(QString::fromLocal8Bit(error.what()));
    }
    return false;
}

QIcon ApplicationIcon()
{
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/quillmark-%1.png").arg(size), QSize(size, size));
    return icon;
}

QString ErrorBoxText(const QString &errorText)
{
    if (!errorText.isEmpty() && errorText.back() > QLatin1Char('.'))
        return errorText + QLatin1Char('.');
    return errorText;
}

void ShowApplicationError(const QString &errorText)
{
    Messages::error(QString::fromLatin1(ApplicationTitle), ErrorBoxText(errorText));
}
