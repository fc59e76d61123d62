// Placeholder until the runner lands.
#include "app/u_frmMain.h"
void TfrmMain::btnSignClick() {}
bool TfrmMain::RunAndCapture(const QString &, const QString &, const QString &, bool) { return false; }
