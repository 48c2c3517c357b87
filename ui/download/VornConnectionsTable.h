#pragma once

#include <QTreeWidget>

// The connections tab's table: one row per connection, its number and its status.
class VornConnectionsTable final : public QTreeWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VornConnectionsTable)

public:
    explicit VornConnectionsTable(QWidget* parent = nullptr);

    // "deleted" removes the connection's row; any other text adds the row when missing and shows it.
    void SetConnectionStatus(int number, const QString& text);
    // The row's status, empty when the connection has none.
    QString StatusOf(int number) const;

private:
    QTreeWidgetItem* Find(int number) const;
};
