#pragma once

// The passwords on a tool's command line travel another way: every local
// user can read a running program's arguments (/proc/PID/cmdline), so the
// window hands each one over through a pipe that the tool inherits, and
// the tool's argument names the descriptor instead:
//   signtool.exe   /p PASSWORD   becomes  /pfd 3
//   pvk2pfx.exe    -pi PASSWORD  becomes  -pifd 3   (-po: -pofd 4)
// The console still shows the command line with the passwords, as typed,
// which works as it is in a terminal.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

struct ToolSecretHandOver {
    QStringList arguments;      // what the tool is started with
    QList<QByteArray> secrets;  // the pipes' contents: the first at descriptor 3, the next at 4
};

// The arguments for `programPath` (told apart by its file name,
// signtool.exe or pvk2pfx.exe, letter case ignored) with each password
// taken out. The tools' own reading rules decide what is a password: for
// signtool.exe the value of /p before the first file name, for pvk2pfx.exe
// the values of -pi and -po. Other programs' arguments are left as they
// are.
ToolSecretHandOver HandSecretsOver(const QString &programPath, const QStringList &arguments);

// Overwrites the secrets' bytes (held nowhere else) and empties the list.
void WipeSecrets(QList<QByteArray> &secrets);
