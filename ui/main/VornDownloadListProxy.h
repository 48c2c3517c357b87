#pragma once

#include <QSortFilterProxyModel>

// What the download table shows of the list: the category tree's status and category filters, and the
// order of the clicked header.
class VornDownloadListProxy final : public QSortFilterProxyModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VornDownloadListProxy)

public:
    explicit VornDownloadListProxy(QObject* parent = nullptr);

    // status "all", "complete" or "incomplete"; category "all" or a category name.
    void SetFilters(const QString& status, const QString& category);
    const QString& StatusFilter() const { return m_status; }
    const QString& CategoryFilter() const { return m_category; }

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    QString m_status = QStringLiteral("all");
    QString m_category = QStringLiteral("all");
};
