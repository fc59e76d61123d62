#include "wizard/u_frmPvk2PfxWizard.h"

#include "app/KeyPreview.h"

TfrmPvk2PfxWizard *frmPvk2PfxWizard = nullptr;

TfrmPvk2PfxWizard::TfrmPvk2PfxWizard(QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("frmPvk2PfxWizard"));
    setWindowTitle(QStringLiteral("PVK2PFX Wizard"));
    setModal(true);
    setFixedSize(465, 350);
    setAutoFillBackground(true);
    QPalette face = palette();
    face.setColor(QPalette::Window, QColor(124, 159, 187));
    setPalette(face);
    CloseOnEscape(this);
}
