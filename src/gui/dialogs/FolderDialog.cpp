#include "dialogs/FolderDialog.h"

#include "widgets/FormLayout.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

FolderDialog::FolderDialog(QWidget *parent)
    : QDialog(parent)
    , m_prompt(new QLabel(this))
    , m_tree(new QTreeView(this))
    , m_model(new QFileSystemModel(this))
    , m_keepInView(new QTimer(this))
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
    // The folders above the chosen one are read and sorted in the
    // background, and each step pushes it down again: it is brought back
    // into view after each, until the user takes the tree in hand.
    m_keepInView->setSingleShot(true);
    m_keepInView->setInterval(0);
    connect(m_keepInView, &QTimer::timeout, this, [this] {
        if (m_followSelection && m_tree->currentIndex().isValid())
            m_tree->scrollTo(m_tree->currentIndex(), QAbstractItemView::PositionAtCenter);
    });
    const auto follow = [this] {
        if (m_followSelection)
            m_keepInView->start();
    };
    connect(m_model, &QFileSystemModel::directoryLoaded, this, follow);
    connect(m_model, &QAbstractItemModel::rowsInserted, this, follow);
    connect(m_model, &QAbstractItemModel::layoutChanged, this, follow);
    m_tree->viewport()->installEventFilter(this);
    m_tree->installEventFilter(this);
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
    m_followSelection = true;
}

bool FolderDialog::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::Wheel:
    case QEvent::KeyPress:
        m_followSelection = false;
        break;
    default:
        break;
    }
    return QDialog::eventFilter(watched, event);
}

QString FolderDialog::selectedPath() const
{
    const QModelIndex index = m_tree->currentIndex();
    const QString path = index.isValid() ? m_model->filePath(index) : QString();
    return path.isEmpty() ? QStringLiteral("/") : path;
}
