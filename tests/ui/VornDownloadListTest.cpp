// The download list: the category tree's filters, the header's sort suffixes and order, the size column.
#include "tests/ui/support/UiTest.h"

#include "engine/VornEngineTypes.h"
#include "ui/main/VornCategoryTree.h"
#include "ui/main/VornDownloadListModel.h"
#include "ui/main/VornDownloadListProxy.h"
#include "ui/main/VornMainWindow.h"

#include <QHeaderView>
#include <QTableView>
#include <QTest>

TEST(VornCategoryTree, ItemParametersGiveTheFilters) {
    struct Case {
        int parameter;
        bool used;
        const char* status;
        const char* category;
    };
    for (const Case& c : {Case{10, true, "all", "all"}, Case{20, true, "complete", "all"},
                          Case{21, true, "complete", "Video"}, Case{34, true, "incomplete", "Document"},
                          Case{36, true, "incomplete", "Misc"}, Case{37, false, "", ""},
                          Case{9, false, "", ""}, Case{17, false, "", ""}}) {
        QString status;
        QString category;
        EXPECT_EQ(VornCategoryTree::FiltersOf(c.parameter, status, category), c.used) << c.parameter;
        if (c.used) {
            EXPECT_EQ(status.toStdString(), c.status) << c.parameter;
            EXPECT_EQ(category.toStdString(), c.category) << c.parameter;
        }
    }
}

TEST(VornDownloadListModel, SizeColumnText) {
    EXPECT_EQ(VornDownloadListModel::SizeText(0), " ");
    EXPECT_EQ(VornDownloadListModel::SizeText(UNKNOWN_FILE_SIZE), " ");
    EXPECT_EQ(VornDownloadListModel::SizeText(-120), "120 Segments");
    EXPECT_EQ(VornDownloadListModel::SizeText(1500), "1.5 KB");
}

namespace {

VornDownloadListModel::Row MakeRow(int32_t id, const wchar_t* name, int64_t size, const char* category,
                                   const char* status, int64_t lastTry) {
    VornDownloadListModel::Row row;
    row.list.id = id;
    row.list.fileName = name;
    row.list.category = category;
    row.list.status = status;
    row.list.sizeText = VornDownloadListModel::SizeText(size);
    row.fileSize = size;
    row.lastTry = lastTry;
    return row;
}

std::vector<int> ShownIds(const QAbstractItemModel& model) {
    std::vector<int> ids;
    for (int row = 0; row < model.rowCount(); ++row) {
        ids.push_back(model.index(row, 0).data(VornDownloadListModel::kIdRole).toInt());
    }
    return ids;
}

} // namespace

TEST(VornDownloadListProxy, FiltersByStatusAndCategoryAndSortsByTheKeys) {
    VornDownloadListModel model;
    model.SetRows({MakeRow(1, L"b.mp4", 9000, "Video", "Complete", 30),
                   MakeRow(2, L"A.zip", 200, "Compressed", "Paused (40% )", 10),
                   MakeRow(3, L"c.mkv", 1500, "Video", "", 20)});
    VornDownloadListProxy proxy;
    proxy.setSourceModel(&model);
    proxy.sort(VornDownloadListModel::kName, Qt::AscendingOrder);
    EXPECT_EQ(ShownIds(proxy), (std::vector<int>{2, 1, 3}));
    // Sizes compare as numbers, not as their texts.
    proxy.sort(VornDownloadListModel::kSize, Qt::DescendingOrder);
    EXPECT_EQ(ShownIds(proxy), (std::vector<int>{1, 3, 2}));
    proxy.sort(VornDownloadListModel::kLastTry, Qt::DescendingOrder);
    EXPECT_EQ(ShownIds(proxy), (std::vector<int>{1, 3, 2}));

    proxy.SetFilters(QStringLiteral("complete"), QStringLiteral("all"));
    EXPECT_EQ(ShownIds(proxy), (std::vector<int>{1}));
    proxy.SetFilters(QStringLiteral("incomplete"), QStringLiteral("Video"));
    EXPECT_EQ(ShownIds(proxy), (std::vector<int>{3}));
    proxy.SetFilters(QStringLiteral("all"), QStringLiteral("Video"));
    EXPECT_EQ(ShownIds(proxy), (std::vector<int>{1, 3}));
    // A row that changes is shown with its new text.
    model.SetStatus(3, "47%", "1.0 MB/sec", "3 s");
    EXPECT_EQ(proxy.index(1, VornDownloadListModel::kStatus).data().toString(), QStringLiteral("47%"));
}

TEST(VornMainWindow, HeaderClicksSortWithSuffixesAndSkipSpeedAndTimeLeft) {
    VornMainWindow window(VornMainWindow::Options{0, false});
    window.Create(false);
    QAbstractItemModel* shown = window.Table()->model();
    auto header = [&](int column) {
        return shown->headerData(column, Qt::Horizontal).toString().toStdString();
    };
    EXPECT_EQ(header(VornDownloadListModel::kLastTry), "Last try (z-a)");
    EXPECT_EQ(header(VornDownloadListModel::kName), "File name");

    window.SortByColumn(VornDownloadListModel::kName);
    EXPECT_EQ(header(VornDownloadListModel::kName), "File name (a-z)");
    EXPECT_EQ(header(VornDownloadListModel::kLastTry), "Last try");
    window.SortByColumn(VornDownloadListModel::kName);
    EXPECT_EQ(header(VornDownloadListModel::kName), "File name (z-a)");
    window.SortByColumn(VornDownloadListModel::kSpeed);
    window.SortByColumn(VornDownloadListModel::kTimeLeft);
    EXPECT_EQ(header(VornDownloadListModel::kName), "File name (z-a)");
    EXPECT_EQ(header(VornDownloadListModel::kSpeed), "Speed");

    // Completed, then its video child.
    window.Tree()->setCurrentIndex(window.Tree()->IndexOf(20));
    window.Tree()->setCurrentIndex(window.Tree()->IndexOf(21));
    EXPECT_EQ(window.Proxy()->StatusFilter(), QStringLiteral("complete"));
    EXPECT_EQ(window.Proxy()->CategoryFilter(), QStringLiteral("Video"));
}
