#include "ui/main/VornDownloadListModel.h"

#include "base/VornFormat.h"
#include "base/VornText.h"
#include "engine/VornEngineTypes.h"

#include <QFileIconProvider>

VornDownloadListModel::VornDownloadListModel(QObject* parent) : QAbstractTableModel(parent) {}

int VornDownloadListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int VornDownloadListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

std::string VornDownloadListModel::SizeText(int64_t size) {
    if (size == 0 || size == UNKNOWN_FILE_SIZE) {
        return " ";
    }
    if (size < 0) {
        return std::to_string(-size) + " Segments";
    }
    return vornSizeTextShort(size);
}

QString VornDownloadListModel::HeaderText(int column) {
    switch (column) {
    case kName:
        return QStringLiteral("File name");
    case kSize:
        return QStringLiteral("Size");
    case kStatus:
        return QStringLiteral("Status");
    case kSpeed:
        return QStringLiteral("Speed");
    case kTimeLeft:
        return QStringLiteral("Time left");
    case kLastTry:
        return QStringLiteral("Last try");
    default:
        return QString();
    }
}

const char* VornDownloadListModel::SortKey(int column) {
    switch (column) {
    case kName:
        return "filename";
    case kSize:
        return "filesize";
    case kStatus:
        return "status";
    case kLastTry:
        return "lasttry";
    default:
        return "";
    }
}

QVariant VornDownloadListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(m_rows.size())) {
        return {};
    }
    const Row& row = m_rows[static_cast<size_t>(index.row())];
    const VornListRow& list = row.list;
    if (role == kIdRole) {
        return list.id;
    }
    if (role == kCategoryRole) {
        return QString::fromStdString(list.category);
    }
    if (role == kStatusRole) {
        return QString::fromStdString(list.status);
    }
    if (role == Qt::DecorationRole && index.column() == kName) {
        static QFileIconProvider icons;
        return icons.icon(QFileIconProvider::File);
    }
    if (role == kSortRole) {
        switch (index.column()) {
        case kName:
            return QString::fromStdWString(list.fileName).toLower();
        case kSize:
            return static_cast<qlonglong>(row.fileSize);
        case kLastTry:
            return static_cast<qlonglong>(row.lastTry);
        default:
            break;
        }
    }
    if (role != Qt::DisplayRole && role != kSortRole) {
        return {};
    }
    switch (index.column()) {
    case kName:
        return QString::fromStdWString(list.fileName);
    case kSize:
        return QString::fromStdString(list.sizeText);
    case kStatus:
        return QString::fromStdString(list.status);
    case kSpeed:
        return QString::fromStdString(list.speedText);
    case kTimeLeft:
        return QString::fromStdString(list.timeLeftText);
    case kLastTry:
        return QString::fromStdString(list.lastTryText);
    default:
        return {};
    }
}

QVariant VornDownloadListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    QString text = HeaderText(section);
    if (section == m_sortColumn) {
        text += m_ascending ? QStringLiteral(" (a-z)") : QStringLiteral(" (z-a)");
    }
    return text;
}

void VornDownloadListModel::SetRows(std::vector<Row> rows) {
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

void VornDownloadListModel::SetSortIndicator(int column, bool ascending) {
    m_sortColumn = column;
    m_ascending = ascending;
    emit headerDataChanged(Qt::Horizontal, 0, kColumnCount - 1);
}

int VornDownloadListModel::RowOfId(int32_t id) const {
    for (size_t i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i].list.id == id) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

const VornDownloadListModel::Row* VornDownloadListModel::RowById(int32_t id) const {
    int row = RowOfId(id);
    return row < 0 ? nullptr : &m_rows[static_cast<size_t>(row)];
}

void VornDownloadListModel::RowChanged(int row) {
    emit dataChanged(index(row, 0), index(row, kColumnCount - 1));
}

void VornDownloadListModel::SetStatus(int32_t id, const std::string& status, const std::string& speed,
                                      const std::string& timeLeft) {
    int row = RowOfId(id);
    if (row < 0) {
        return;
    }
    VornListRow& list = m_rows[static_cast<size_t>(row)].list;
    list.status = status;
    list.speedText = speed;
    list.timeLeftText = timeLeft;
    RowChanged(row);
}

void VornDownloadListModel::SetSize(int32_t id, int64_t size) {
    int row = RowOfId(id);
    if (row < 0) {
        return;
    }
    m_rows[static_cast<size_t>(row)].fileSize = size;
    m_rows[static_cast<size_t>(row)].list.sizeText = SizeText(size);
    RowChanged(row);
}

void VornDownloadListModel::SetFileName(int32_t id, const std::wstring& name, const std::string& category) {
    int row = RowOfId(id);
    if (row < 0) {
        return;
    }
    m_rows[static_cast<size_t>(row)].list.fileName = name;
    m_rows[static_cast<size_t>(row)].list.category = category;
    RowChanged(row);
}

void VornDownloadListModel::SetLastTry(int32_t id, int64_t lastTry, const std::string& lastTryText) {
    int row = RowOfId(id);
    if (row < 0) {
        return;
    }
    m_rows[static_cast<size_t>(row)].lastTry = lastTry;
    m_rows[static_cast<size_t>(row)].list.lastTryText = lastTryText;
    RowChanged(row);
}

void VornDownloadListModel::SetResumable(int32_t id, bool resumable) {
    int row = RowOfId(id);
    if (row < 0) {
        return;
    }
    m_rows[static_cast<size_t>(row)].list.resumable = resumable ? 1 : 0;
    RowChanged(row);
}
