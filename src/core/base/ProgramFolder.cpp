#include "base/ProgramFolder.h"

#include "platform/Platform.h"

#include <QCoreApplication>

QString ExecutableProgramFolder()
{
    QString folder = platform::executableFolder();
    if (folder.isEmpty())
        folder = QCoreApplication::applicationDirPath();
    return folder.endsWith(u'/') ? folder : folder + u'/';
}
