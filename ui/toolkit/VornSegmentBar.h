#pragma once

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <map>
#include <string>
#include <utility>

// The segment bar: which parts of the file have arrived. Byte mode maps segment starts to received
// bytes over the total size; piece mode (HLS) maps piece indexes to (received, length) over a piece
// count. The bar is drawn into a cached image that paintEvent only copies.
class VornSegmentBar final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VornSegmentBar)

public:
    static constexpr int64_t kInitialTotal = 0xA0000000000LL;
    static const QColor kFrame;
    static const QColor kBackground;
    static const QColor kFilled;

    explicit VornSegmentBar(QWidget* parent = nullptr);

    void SetTotal(int64_t total);
    // Switches to piece mode with this many pieces.
    void SetPieceCount(int64_t count);
    bool PieceMode() const { return m_pieceMode; }
    // Takes the segment entries of a progress report ("start*received" or "index*received*length",
    // separated by "@"), each replacing the older value under its key.
    void Update(const std::string& entries);
    void Clear();
    size_t SegmentCount() const { return m_pieceMode ? m_pieces.size() : m_bytes.size(); }

    QSize sizeHint() const override { return QSize(400, 10); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void RequestImageUpdate();
    void UpdateImage();

    bool m_pieceMode = false;
    int64_t m_total = kInitialTotal;
    int64_t m_pieceCount = 0;
    std::map<int64_t, int64_t> m_bytes;
    std::map<int64_t, std::pair<int64_t, int64_t>> m_pieces;
    QImage m_image;
    bool m_imageStale = true;
};
