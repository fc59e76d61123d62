#pragma once

// The application object. Besides the usual, it is where an error that no
// handler caught ends up: the current user action ends, the error is shown
// in the application's error box, and the program goes on.

#include "base/ApplicationTitle.h"

#include <QApplication>
#include <QIcon>

// The program reads no command line, and Qt's own options ("-reverse",
// "-style", "-stylesheet", "-platform", ...) take no effect either: the
// application object sees only the program name. The platform plugin still
// comes from QT_QPA_PLATFORM.
class QuillmarkApplication : public QApplication {
    Q_OBJECT
public:
    QuillmarkApplication(int argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;
};

// The program's own icon (the packaged SVG, rendered to PNGs at build time
// so no image plugin is needed at run time), in several sizes.
QIcon ApplicationIcon();

// The error box's text: the error text with a full stop appended when its
// last character sorts after the full stop.
QString ErrorBoxText(const QString &errorText);

// Shows an error in the application's error box: caption "Quillmark", a
// stop icon and one OK button.
void ShowApplicationError(const QString &errorText);
