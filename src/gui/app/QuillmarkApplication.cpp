#include "app/QuillmarkApplication.h"

#include "base/AppError.h"
#include "base/UserDialogs.h"
#include "dialogs/QtUserDialogs.h"

namespace {

// What the application object is handed: the program name alone. Qt holds
// on to these for the life of the application, hence static storage.
struct QtArguments {
    int argc = 1;
    char *argv[2] = {nullptr, nullptr};
};
QtArguments g_qtArguments;

int &programNameOnly(int argc, char **argv)
{
    static char fallback[] = "quillmark";
    g_qtArguments.argv[0] = argc > 0 && argv && argv[0] ? argv[0] : fallback;
    g_qtArguments.argc = 1;
    return g_qtArguments.argc;
}

} // namespace

QuillmarkApplication::QuillmarkApplication(int argc, char **argv)
    : QApplication(programNameOnly(argc, argv), g_qtArguments.argv)
{
    // No display name: Qt appends one to every window title on X11 and
    // Wayland ("Information — Quillmark"), and the captions are fixed texts.
    setApplicationName(QString::fromLatin1(ApplicationTitle));
    InstallQtUserDialogs();
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
