// Built into every test of the window: as the program's application object
// does, the application installs the Qt boxes as it starts, so that a test
// that installs no scripted dialogs sees the boxes a user would.

#include "dialogs/QtUserDialogs.h"

#include <QCoreApplication>

Q_COREAPP_STARTUP_FUNCTION(InstallQtUserDialogs)
