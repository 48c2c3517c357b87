#include "ui/main/VornCategoryTree.h"

#include <QHeaderView>
#include <QStandardItemModel>
#include <QStyle>

VornCategoryTree::VornCategoryTree(QWidget* parent)
    : QTreeView(parent), m_model(new QStandardItemModel(this)) {
    const QString roots[] = {QStringLiteral("All downloads"), QStringLiteral("Completed"),
                             QStringLiteral("Unfinished")};
    const QString children[] = {QStringLiteral("Video"),        QStringLiteral("Audio"),
                                QStringLiteral("Compressed"),   QStringLiteral("Documents"),
                                QStringLiteral("Applications"), QStringLiteral("Other")};
    const QStyle::StandardPixmap childIcons[] = {QStyle::SP_MediaPlay,    QStyle::SP_MediaVolume,
                                                 QStyle::SP_DriveFDIcon,  QStyle::SP_FileIcon,
                                                 QStyle::SP_ComputerIcon, QStyle::SP_FileDialogDetailedView};
    for (int r = 0; r < 3; ++r) {
        auto* root = new QStandardItem(style()->standardIcon(QStyle::SP_DirIcon), roots[r]);
        root->setData((r + 1) * 10, kParameterRole);
        root->setEditable(false);
        for (int c = 0; c < 6; ++c) {
            auto* child = new QStandardItem(style()->standardIcon(childIcons[c]), children[c]);
            child->setData((r + 1) * 10 + c + 1, kParameterRole);
            child->setEditable(false);
            root->appendRow(child);
        }
        m_model->appendRow(root);
    }
    setModel(m_model);
    setHeaderHidden(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& current) {
        if (current.isValid()) {
            emit CategoryChosen(current.data(kParameterRole).toInt());
        }
    });
}

bool VornCategoryTree::FiltersOf(int parameter, QString& status, QString& category) {
    if (parameter < 10 || parameter > 36 || parameter % 10 > 6) {
        return false;
    }
    static const char* const statuses[] = {"all", "complete", "incomplete"};
    static const char* const categories[] = {"all",      "Video",       "Audio", "Compressed",
                                             "Document", "Application", "Misc"};
    status = QString::fromLatin1(statuses[parameter / 10 - 1]);
    category = QString::fromLatin1(categories[parameter % 10]);
    return true;
}

QModelIndex VornCategoryTree::IndexOf(int parameter) const {
    QModelIndexList found = m_model->match(m_model->index(0, 0), kParameterRole, parameter, 1,
                                           Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? QModelIndex() : found.first();
}

void VornCategoryTree::SelectFirstRoot() {
    QModelIndex first = m_model->index(0, 0);
    expand(first);
    selectionModel()->setCurrentIndex(first, QItemSelectionModel::ClearAndSelect);
}
