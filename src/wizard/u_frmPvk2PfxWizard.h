#pragma once

// The PVK to PFX wizard: a small modal dialog that turns a PVK key and an
// SPC certificate into a PFX file with the SDK's conversion tool. Created
// once at start-up and shown again and again.

#include <QDialog>

class TfrmPvk2PfxWizard : public QDialog {
    Q_OBJECT
public:
    explicit TfrmPvk2PfxWizard(QWidget *parent = nullptr);
};

extern TfrmPvk2PfxWizard *frmPvk2PfxWizard;
