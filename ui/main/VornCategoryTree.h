#pragma once

#include <QTreeView>

class QStandardItemModel;

// The category tree: three roots (all, completed, unfinished downloads), each with the six categories.
// Every item carries its parameter: 10, 20, 30 for the roots, root + 1 to 6 for the categories.
class VornCategoryTree final : public QTreeView {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VornCategoryTree)

public:
    static constexpr int kParameterRole = Qt::UserRole;

    explicit VornCategoryTree(QWidget* parent = nullptr);

    // The filters of an item parameter; false for parameters beyond 36 (left alone).
    static bool FiltersOf(int parameter, QString& status, QString& category);
    // Expands the first root and selects it.
    void SelectFirstRoot();
    QModelIndex IndexOf(int parameter) const;

signals:
    void CategoryChosen(int parameter);

private:
    QStandardItemModel* m_model;
};
