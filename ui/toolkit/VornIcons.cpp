#include "ui/toolkit/VornIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

QIcon VornIcons::Program() {
    QIcon result;
    for (int size : {16, 32, 48, 64}) {
        QPixmap picture(size, size);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(15, 41, 201));
        painter.drawEllipse(QRectF(0.5, 0.5, size - 1, size - 1));
        const double s = size / 16.0;
        QPainterPath arrow;
        arrow.moveTo(6.5 * s, 3 * s);
        arrow.lineTo(9.5 * s, 3 * s);
        arrow.lineTo(9.5 * s, 8 * s);
        arrow.lineTo(12 * s, 8 * s);
        arrow.lineTo(8 * s, 13 * s);
        arrow.lineTo(4 * s, 8 * s);
        arrow.lineTo(6.5 * s, 8 * s);
        arrow.closeSubpath();
        painter.setBrush(Qt::white);
        painter.drawPath(arrow);
        painter.end();
        result.addPixmap(picture);
    }
    return result;
}
