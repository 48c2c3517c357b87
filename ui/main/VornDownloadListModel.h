#pragma once

#include "storage/VornDatabase.h"

#include <QAbstractTableModel>

#include <vector>

// The download table's rows: one per stored download, as the database lists them, plus the speed and
// time left that running downloads report. The header of the sorted column carries " (a-z)" or " (z-a)".
class VornDownloadListModel final : public QAbstractTableModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VornDownloadListModel)

public:
    enum Column { kName, kSize, kStatus, kSpeed, kTimeLeft, kLastTry, kColumnCount };
    // The row's download id; SortRole: what sorting compares.
    static constexpr int kIdRole = Qt::UserRole;
    static constexpr int kSortRole = Qt::UserRole + 1;
    static constexpr int kCategoryRole = Qt::UserRole + 2;
    static constexpr int kStatusRole = Qt::UserRole + 3;

    struct Row {
        VornListRow list;
        int64_t fileSize = 0;
        int64_t lastTry = 0;
    };

    explicit VornDownloadListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void SetRows(std::vector<Row> rows);
    void SetSortIndicator(int column, bool ascending);
    // Index of the download's row, -1 when it is not listed.
    int RowOfId(int32_t id) const;
    const Row* RowById(int32_t id) const;

    void SetStatus(int32_t id, const std::string& status, const std::string& speed,
                   const std::string& timeLeft);
    void SetSize(int32_t id, int64_t size);
    void SetFileName(int32_t id, const std::wstring& name, const std::string& category);
    void SetLastTry(int32_t id, int64_t lastTry, const std::string& lastTryText);
    void SetResumable(int32_t id, bool resumable);

    // The table's size text: a blank for 0 or the placeholder, "N Segments" for an HLS piece count.
    static std::string SizeText(int64_t size);
    static QString HeaderText(int column);
    // The database's order key of a column; empty for the columns that do not sort.
    static const char* SortKey(int column);

private:
    void RowChanged(int row);

    std::vector<Row> m_rows;
    int m_sortColumn = kLastTry;
    bool m_ascending = false;
};
