#pragma once

#include <QColor>
#include <QWidget>

// A label with a colour of its own. Multi-line labels wrap at words with an ellipsis for what does not
// fit; with "break anywhere" a long word (a URL, a file name) is first cut into pieces that fit, and the
// number of cuts is kept so that a window can fit its height to the text.
class VornLabelEx final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VornLabelEx)

public:
    enum Option { kCentred = 1, kMultiLine = 2, kBreakAnywhere = 4 };

    explicit VornLabelEx(QWidget* parent = nullptr, int options = 0);

    void SetText(const QString& text);
    void SetColour(const QColor& colour);
    const QString& Text() const { return m_text; }
    const QColor& Colour() const { return m_colour; }
    // Cuts made by the last layout (break-anywhere labels only).
    int LineBreaks() const { return m_lineBreaks; }
    // The text cut into pieces of at most (width - 18) pixels, joined by blanks; counts the cuts.
    static QString BreakAnywhere(const QString& text, const QFontMetrics& metrics, int width, int& breaks);

signals:
    // After a layout changed the number of cuts.
    void LineBreaksChanged(int breaks);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void Relayout();

    QString m_text;
    QString m_shown;
    QColor m_colour = Qt::black;
    int m_options;
    int m_lineBreaks = 0;
};
