#include "ui/toolkit/VornLabelEx.h"

#include <QPainter>
#include <QTextLayout>

VornLabelEx::VornLabelEx(QWidget* parent, int options) : QWidget(parent), m_options(options) {}

void VornLabelEx::SetText(const QString& text) {
    m_text = text;
    Relayout();
    update();
}

void VornLabelEx::SetColour(const QColor& colour) {
    m_colour = colour;
    update();
}

QString VornLabelEx::BreakAnywhere(const QString& text, const QFontMetrics& metrics, int width, int& breaks) {
    const int limit = width - 18;
    QString result;
    QString piece;
    breaks = 0;
    for (QChar character : text) {
        piece += character;
        if (metrics.horizontalAdvance(piece) >= limit) {
            result += piece + QLatin1Char(' ');
            piece.clear();
            ++breaks;
        }
    }
    return result + piece;
}

void VornLabelEx::Relayout() {
    int breaks = 0;
    if ((m_options & kMultiLine) && (m_options & kBreakAnywhere)) {
        m_shown = BreakAnywhere(m_text, fontMetrics(), width(), breaks);
    } else {
        m_shown = m_text;
    }
    if (breaks != m_lineBreaks) {
        m_lineBreaks = breaks;
        emit LineBreaksChanged(breaks);
    }
}

void VornLabelEx::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Relayout();
}

void VornLabelEx::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    painter.setPen(m_colour);
    if (!(m_options & kMultiLine)) {
        int x = 1;
        if (m_options & kCentred) {
            x = (width() - fontMetrics().horizontalAdvance(m_shown)) / 2;
        }
        painter.drawText(x, 1 + fontMetrics().ascent(), m_shown);
        return;
    }
    // Word-wrapped inside a 2-pixel margin; the last line that fits ends in an ellipsis when more follows.
    QRect area = rect().adjusted(2, 2, -2, -2);
    QTextLayout layout(m_shown, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    int y = area.top();
    const int lineHeight = fontMetrics().lineSpacing();
    while (true) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) {
            break;
        }
        line.setLineWidth(area.width());
        bool more = line.textStart() + line.textLength() < m_shown.size();
        if (more && y + 2 * lineHeight > area.bottom() + 1) {
            QString rest = m_shown.mid(line.textStart());
            QString elided = fontMetrics().elidedText(rest, Qt::ElideRight, area.width());
            painter.drawText(area.left(), y + fontMetrics().ascent(), elided);
            break;
        }
        painter.drawText(QPoint(area.left(), y + fontMetrics().ascent()),
                         m_shown.mid(line.textStart(), line.textLength()));
        y += lineHeight;
    }
    layout.endLayout();
}
