// Placeholder until the list lands.
#include "app/u_frmMain.h"
void TfrmMain::DivDropFilesDrop(const QStringList &) {}
void TfrmMain::DivFileListAddItem(int, bool &) {}
void TfrmMain::DivFileListChange() {}
void TfrmMain::UpdateFileCountCaption() {}
void TfrmMain::btnRemSelClick() {}
void TfrmMain::btnClearFilesClick() {}
void TfrmMain::menuFileListPopup() {}
void TfrmMain::menitmLargeIconsClick() {}
void TfrmMain::menitmSmallIconsClick() {}
void TfrmMain::menitmListClick() {}
void TfrmMain::menitmDetailsClick() {}
void TfrmMain::menitmCopyFilesToClick() {}
