// The application object: its error box (the text rule, and errors that no
// handler caught ending only the current action), its title, and a command
// line that it ignores.

#include "base/AppError.h"
#include "app/QuillmarkApplication.h"
#include "support/ScriptedDialogs.h"

#include <QPushButton>
#include <QStyle>
#include <QtTest>

class TestErrorBox : public QObject {
    Q_OBJECT
private slots:
    void fullStopRule_data();
    void fullStopRule();
    void uncaughtErrorIsShownAndTheProgramGoesOn();
    void titleIsTheNameNotADisplayName();
    void qtOptionsOnTheCommandLineTakeNoEffect();
};

namespace {

// What main() below hands the application object after the program name:
// Qt's own options, each of which would visibly change the program.
const char *const QtOptions[] = {"-reverse", "-style", "windows", "-platform", "minimal",
                                 "-stylesheet", "/nonexistent/quillmark.qss"};

} // namespace

void TestErrorBox::fullStopRule_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("letter") << "Unable to write to /x/Quillmark.ini"
                            << "Unable to write to /x/Quillmark.ini.";
    QTest::newRow("already a full stop") << "Done." << "Done.";
    QTest::newRow("exclamation mark sorts before") << "Stop!" << "Stop!";
    QTest::newRow("comma sorts before") << "a," << "a,";
    QTest::newRow("slash sorts after") << "in /tmp/" << "in /tmp/.";
    QTest::newRow("digit sorts after") << "error 5" << "error 5.";
    QTest::newRow("closing parenthesis sorts before") << "(x)" << "(x)";
    QTest::newRow("non-ASCII letter") << QString::fromUtf8("Fehler ü") << QString::fromUtf8("Fehler ü.");
    QTest::newRow("empty") << "" << "";
}

void TestErrorBox::fullStopRule()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(ErrorBoxText(text), shown);
}

void TestErrorBox::uncaughtErrorIsShownAndTheProgramGoesOn()
{
    ScriptedDialogsGuard dialogs;
    QPushButton button;
    int clicks = 0;
    QObject::connect(&button, &QPushButton::clicked, [&] {
        ++clicks;
        throw AppError(QStringLiteral("Unable to write to /nowhere/Quillmark.ini"));
    });
    QTest::mouseClick(&button, Qt::LeftButton);
    QTest::mouseClick(&button, Qt::LeftButton);

    QCOMPARE(clicks, 2);
    QCOMPARE(dialogs->messages.size(), 2);
    const ShownMessage &box = dialogs->messages.first();
    QCOMPARE(box.kind, MessageKind::Error);
    QCOMPARE(box.caption, QStringLiteral("Quillmark"));
    QCOMPARE(box.text, QStringLiteral("Unable to write to /nowhere/Quillmark.ini."));
    QCOMPARE(box.buttons, DialogButtons(DialogButton::Ok));
}

void TestErrorBox::titleIsTheNameNotADisplayName()
{
    // An explicit display name would be appended by Qt to every window's
    // caption ("Information — Quillmark"); an unset one follows the name.
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Quillmark"));
    QCoreApplication::setApplicationName(QStringLiteral("name-probe"));
    const QString displayName = QGuiApplication::applicationDisplayName();
    QCoreApplication::setApplicationName(QStringLiteral("Quillmark"));
    QCOMPARE(displayName, QStringLiteral("name-probe"));
}

void TestErrorBox::qtOptionsOnTheCommandLineTakeNoEffect()
{
    QCOMPARE(QCoreApplication::arguments().size(), 1);
    QCOMPARE(QGuiApplication::layoutDirection(), Qt::LeftToRight);
    QVERIFY2(QApplication::style()->name().compare("windows", Qt::CaseInsensitive) != 0,
             qPrintable(QApplication::style()->name()));
    QVERIFY(qApp->styleSheet().isEmpty());
    // The platform comes from QT_QPA_PLATFORM, as the tests run it.
    QCOMPARE(QGuiApplication::platformName(), qEnvironmentVariable("QT_QPA_PLATFORM", "offscreen"));
}

int main(int argc, char **argv)
{
    std::vector<char *> appArgs{argv[0]};
    for (const char *option : QtOptions)
        appArgs.push_back(const_cast<char *>(option));
    appArgs.push_back(nullptr);
    int appArgc = static_cast<int>(appArgs.size()) - 1;
    QuillmarkApplication app(appArgc, appArgs.data());
    TestErrorBox test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_errorbox.moc"
