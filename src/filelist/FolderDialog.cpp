#include "filelist/FolderDialog.h"

#include "app/FormLayout.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QTreeView>
#include <QVBoxLayout>

FolderDialog::FolderDialog(QWidget *parent)
    : QDialog(parent)
    , m_prompt(new QLabel(this))
    , m_tree(new QTreeView(this))
    , m_model(new QFileSystemModel(this))
{
    setObjectName(QStringLiteral("FolderDialog"));
    setWindowTitle(QStringLiteral("Select Folder"));
    setModal(true);
    // Wide enough for the deep, long-named folders of a build tree.
    resize(560, 480);

    m_prompt->setObjectName(QStringLiteral("lbPrompt"));
    m_prompt->setWordWrap(true);

    m_model->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
    m_model->setRootPath(QStringLiteral("/"));
    m_model->setReadOnly(true);

    m_tree->setObjectName(QStringLiteral("tvFolders"));
    m_tree->setModel(m_model);
    m_tree->setRootIndex(m_model->index(QStringLiteral("/")).parent());
    m_tree->setHeaderHidden(true);
    for (int column = 1; column < m_model->columnCount(); ++column)
        m_tree->hideColumn(column);
    // The one column is as wide as the longest name shown, so no name is
    // cut: a name wider than the tree scrolls it sideways instead.
    m_tree->header()->setStretchLastSection(false);
    m_tree->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_tree->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_tree->setCurrentIndex(m_model->index(QStringLiteral("/")));
    m_prompt->setBuddy(m_tree);
    connect(m_model, &QFileSystemModel::directoryLoaded, this, [this](const QString &folder) {
        if (m_pendingFolder.isEmpty())
            return;
        if (m_tree->currentIndex().isValid())
            m_tree->scrollTo(m_tree->currentIndex(), QAbstractItemView::PositionAtCenter);
        if (folder == m_pendingFolder)
            m_pendingFolder.clear();
    });
    m_tree->setAccessibleName(windowTitle());

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("bbButtons"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_prompt);
    layout->addWidget(m_tree, 1);
    layout->addWidget(buttons);
}

void FolderDialog::setPrompt(const QString &prompt)
{
    m_prompt->setText(prompt);
    // The prompt names the tree for a screen reader; with none, the
    // dialog's caption does.
    m_tree->setAccessibleName(prompt.isEmpty() ? windowTitle() : nameFromCaption(prompt));
}

void FolderDialog::selectPath(const QString &path)
{
    const QModelIndex index = m_model->index(path.isEmpty() ? QStringLiteral("/") : path);
    if (!index.isValid())
        return;
    m_tree->setCurrentIndex(index);
    m_tree->scrollTo(index, QAbstractItemView::PositionAtCenter);
    // The folders above it are read in the background, and each one read
    // pushes it down again: it is brought back into view until its own
    // folder has been read.
    m_pendingFolder = m_model->filePath(index.parent());
}

QString FolderDialog::selectedPath() const
{
    const QModelIndex index = m_tree->currentIndex();
    const QString path = index.isValid() ? m_model->filePath(index) : QString();
    return path.isEmpty() ? QStringLiteral("/") : path;
}
