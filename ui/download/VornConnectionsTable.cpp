#include "ui/download/VornConnectionsTable.h"

#include <QHeaderView>

namespace {

QString Label(int number) {
    return (number < 10 ? QStringLiteral(" ") : QString()) + QString::number(number);
}

} // namespace

VornConnectionsTable::VornConnectionsTable(QWidget* parent) : QTreeWidget(parent) {
    setColumnCount(2);
    setHeaderLabels({QStringLiteral("No"), QStringLiteral("Status")});
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    header()->resizeSection(0, 40);
    header()->setStretchLastSection(true);
}

QTreeWidgetItem* VornConnectionsTable::Find(int number) const {
    const QString label = Label(number);
    for (int i = 0; i < topLevelItemCount(); ++i) {
        if (topLevelItem(i)->text(0) == label) {
            return topLevelItem(i);
        }
    }
    return nullptr;
}

void VornConnectionsTable::SetConnectionStatus(int number, const QString& text) {
    QTreeWidgetItem* row = Find(number);
    if (text == QStringLiteral("deleted")) {
        delete row;
        return;
    }
    if (row == nullptr) {
        row = new QTreeWidgetItem(this, {Label(number), QString()});
    }
    row->setText(1, text);
}

QString VornConnectionsTable::StatusOf(int number) const {
    QTreeWidgetItem* row = Find(number);
    return row == nullptr ? QString() : row->text(1);
}
