#include "ui/toolkit/VornSegmentBar.h"

#include <QPainter>

#include <charconv>

const QColor VornSegmentBar::kFrame(0, 0, 0);
const QColor VornSegmentBar::kBackground(247, 247, 247);
const QColor VornSegmentBar::kFilled(15, 41, 201);

namespace {

// Reads up to three '*'-separated numbers; false when the entry is not one.
bool ParseEntry(const std::string& entry, int64_t (&values)[3], int& count) {
    count = 0;
    const char* at = entry.data();
    const char* end = entry.data() + entry.size();
    while (at < end && count < 3) {
        auto [next, error] = std::from_chars(at, end, values[count]);
        if (error != std::errc()) {
            return false;
        }
        ++count;
        if (next == end) {
            return true;
        }
        if (*next != '*') {
            return false;
        }
        at = next + 1;
    }
    return at == end && count > 0;
}

} // namespace

VornSegmentBar::VornSegmentBar(QWidget* parent) : QWidget(parent) {
    setFixedHeight(10);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void VornSegmentBar::SetTotal(int64_t total) {
    m_total = total;
    RequestImageUpdate();
}

void VornSegmentBar::SetPieceCount(int64_t count) {
    m_pieceMode = true;
    m_pieceCount = count;
    RequestImageUpdate();
}

void VornSegmentBar::Clear() {
    m_bytes.clear();
    m_pieces.clear();
    RequestImageUpdate();
}

void VornSegmentBar::Update(const std::string& entries) {
    size_t start = 0;
    while (start <= entries.size()) {
        size_t end = entries.find('@', start);
        std::string entry = entries.substr(start, end == std::string::npos ? std::string::npos : end - start);
        int64_t values[3] = {0, 0, 0};
        int count = 0;
        if (ParseEntry(entry, values, count)) {
            if (m_pieceMode && count == 3) {
                m_pieces[values[0]] = {values[1], values[2]};
            } else if (!m_pieceMode && count == 2) {
                m_bytes[values[0]] = values[1];
            }
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    RequestImageUpdate();
}

void VornSegmentBar::RequestImageUpdate() {
    m_imageStale = true;
    update();
}

void VornSegmentBar::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    m_imageStale = true;
}

void VornSegmentBar::UpdateImage() {
    m_image = QImage(size(), QImage::Format_RGB32);
    QPainter painter(&m_image);
    painter.setPen(kFrame);
    painter.setBrush(kBackground);
    painter.drawRect(0, 0, width() - 1, height() - 1);
    // One pixel of frame on every side; the fill spans the rows inside it.
    const double inner = width() - 2;
    const int top = 1;
    const int fillHeight = height() - 2;
    auto fill = [&](double left, double right) {
        if (left < 0 || right < 0) {
            return;
        }
        int x = static_cast<int>(left);
        int w = static_cast<int>(right) - x;
        if (w > 0) {
            painter.fillRect(x, top, w, fillHeight, kFilled);
        }
    };
    if (m_pieceMode) {
        if (m_pieceCount > 0 && inner > 0) {
            double perPiece = inner / static_cast<double>(m_pieceCount);
            for (const auto& [index, piece] : m_pieces) {
                double left = 1 + static_cast<double>(index) * perPiece;
                double part =
                    piece.second > 0 ? static_cast<double>(piece.first) * perPiece / piece.second : 0;
                fill(left, left + part);
            }
        }
    } else if (m_total > 0 && inner > 0) {
        double bytesPerPixel = static_cast<double>(m_total) / inner;
        for (const auto& [segmentStart, received] : m_bytes) {
            double left = 1 + static_cast<double>(segmentStart) / bytesPerPixel;
            fill(left, left + static_cast<double>(received) / bytesPerPixel);
        }
    }
    // The frame stays on top of fills that reach the edge.
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(0, 0, width() - 1, height() - 1);
    m_imageStale = false;
}

void VornSegmentBar::paintEvent(QPaintEvent*) {
    if (m_imageStale || m_image.size() != size()) {
        UpdateImage();
    }
    QPainter painter(this);
    painter.drawImage(0, 0, m_image);
}
