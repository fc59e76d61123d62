#pragma once

// The modal folder picker behind DivBrowseForFolder: the caller's prompt
// above a tree of folders from "/", opening at the last choice, OK always
// enabled.

#include <QDialog>

class QFileSystemModel;
class QLabel;
class QTimer;
class QTreeView;

class FolderDialog : public QDialog {
    Q_OBJECT
public:
    explicit FolderDialog(QWidget *parent = nullptr);

    void setPrompt(const QString &prompt);
    void selectPath(const QString &path);
    // The selected folder; "/" when nothing is selected.
    QString selectedPath() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLabel *m_prompt;
    QTreeView *m_tree;
    QFileSystemModel *m_model;
    QTimer *m_keepInView;
    bool m_followSelection = false;   // until the user scrolls, clicks or types
};
