#include "ui/main/VornDownloadListProxy.h"

#include "ui/main/VornDownloadListModel.h"

VornDownloadListProxy::VornDownloadListProxy(QObject* parent) : QSortFilterProxyModel(parent) {
    setSortRole(VornDownloadListModel::kSortRole);
    setDynamicSortFilter(false);
}

void VornDownloadListProxy::SetFilters(const QString& status, const QString& category) {
    m_status = status;
    m_category = category;
    invalidateFilter();
}

bool VornDownloadListProxy::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    QModelIndex index = sourceModel()->index(sourceRow, 0, sourceParent);
    if (m_category != QStringLiteral("all") &&
        index.data(VornDownloadListModel::kCategoryRole).toString() != m_category) {
        return false;
    }
    if (m_status == QStringLiteral("all")) {
        return true;
    }
    bool complete = index.data(VornDownloadListModel::kStatusRole).toString() == QStringLiteral("Complete");
    return m_status == QStringLiteral("complete") ? complete : !complete;
}
