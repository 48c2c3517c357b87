// The toolkit's own pieces: the message-target adapter, the segment bar's pixels, the coloured label's
// breaks and the error window that fits itself to them.
#include "tests/ui/support/UiTest.h"

#include "storage/VornDownloadRecord.h"
#include "ui/dialogs/VornErrorWindow.h"
#include "ui/main/VornMainWindow.h"
#include "ui/toolkit/VornBaseWindow.h"
#include "ui/toolkit/VornLabelEx.h"
#include "ui/toolkit/VornSegmentBar.h"

#include <QPushButton>
#include <QThread>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;

namespace {

class CountingWindow final : public VornBaseWindow {
public:
    explicit CountingWindow(std::atomic<int>* delivered)
        : VornBaseWindow(nullptr, 0, 0, 100, 100, QStringLiteral("Counting")), m_delivered(delivered) {}

    std::vector<std::string> progress;
    std::vector<std::string> events;
    bool onUiThread = true;

protected:
    void OnEngineProgress(const std::string& text) override { Note(progress, text); }
    void OnEngineEvent(const std::string& text) override { Note(events, text); }

private:
    void Note(std::vector<std::string>& list, const std::string& text) {
        onUiThread = onUiThread && QThread::currentThread() == thread();
        list.push_back(text);
        ++*m_delivered;
    }
    std::atomic<int>* m_delivered;
};

} // namespace

TEST(VornWindowMessageTarget, DeliversEachPostInOrderOnTheWindowsThread) {
    std::atomic<int> delivered{0};
    CountingWindow window(&delivered);
    VornMessageTarget* target = window.Target();
    std::thread poster([target] {
        for (int i = 0; i < 200; ++i) {
            target->post(i % 2 == 0 ? WM_ENGINE_PROGRESS : WM_ENGINE_EVENT, std::to_string(i));
        }
        target->post(0x7777, "unknown messages are ignored");
    });
    poster.join();
    ASSERT_TRUE(WaitUntil([&] { return delivered == 200; }, 10s));
    ASSERT_EQ(window.progress.size(), 100u);
    for (size_t i = 0; i < 100; ++i) {
        EXPECT_EQ(window.progress[i], std::to_string(2 * i));
        EXPECT_EQ(window.events[i], std::to_string(2 * i + 1));
    }
    EXPECT_TRUE(window.onUiThread);
}

// Posts keep coming from an engine thread while its window is deleted: the queued ones are freed with the
// window, the later ones dropped, and none reaches freed memory (AddressSanitizer watches in that build).
TEST(VornWindowMessageTarget, PostsToADeletedWindowAreDroppedNotDelivered) {
    std::atomic<int> delivered{0};
    auto* window = new CountingWindow(&delivered);
    std::shared_ptr<VornWindowMessageTarget> target = window->SharedTarget();
    std::atomic<bool> halfway{false};
    std::atomic<bool> go{false};
    std::thread poster([target, &halfway, &go] {
        const std::string payload(100, 'x');
        for (int i = 0; i < 10000; ++i) {
            target->post(WM_ENGINE_PROGRESS, payload + std::to_string(i));
            if (i == 4999) {
                halfway = true;
                while (!go) {
                    std::this_thread::yield();
                }
            }
        }
    });
    while (!halfway) {
        std::this_thread::yield();
    }
    // The first half arrives while the window lives; the second is posted while it is deleted.
    QCoreApplication::sendPostedEvents(window);
    EXPECT_EQ(delivered.load(), 5000);
    go = true;
    delete window;
    poster.join();
    target->post(WM_ENGINE_EVENT, "after the window is gone");
    FlushDeletes();
    QCoreApplication::processEvents();
    EXPECT_EQ(delivered.load(), 5000);
}

namespace {

QColor Pixel(const QImage& image, int x) {
    return image.pixelColor(x, 5);
}

} // namespace

TEST(VornSegmentBar, PaintsByteRangesAtTheirOffsets) {
    VornSegmentBar bar;
    // 200 pixels inside the frame over 2000 bytes: 10 bytes a pixel.
    bar.resize(202, 10);
    bar.SetTotal(2000);
    bar.Update("0*500@1000*250@junk@7*@");
    EXPECT_EQ(bar.SegmentCount(), 2u);
    QImage image = bar.grab().toImage();
    SaveScreenshot(&bar, "segment-bar-bytes");
    EXPECT_EQ(Pixel(image, 0), VornSegmentBar::kFrame);
    EXPECT_EQ(Pixel(image, 1), VornSegmentBar::kFilled);
    EXPECT_EQ(Pixel(image, 50), VornSegmentBar::kFilled);
    EXPECT_EQ(Pixel(image, 51), VornSegmentBar::kBackground);
    EXPECT_EQ(Pixel(image, 100), VornSegmentBar::kBackground);
    EXPECT_EQ(Pixel(image, 101), VornSegmentBar::kFilled);
    EXPECT_EQ(Pixel(image, 125), VornSegmentBar::kFilled);
    EXPECT_EQ(Pixel(image, 126), VornSegmentBar::kBackground);
    EXPECT_EQ(image.pixelColor(30, 0), VornSegmentBar::kFrame);

    // A later report replaces the older value of the same segment.
    bar.Update("0*1000");
    image = bar.grab().toImage();
    EXPECT_EQ(Pixel(image, 100), VornSegmentBar::kFilled);
    EXPECT_EQ(Pixel(image, 101), VornSegmentBar::kFilled);
    EXPECT_EQ(bar.SegmentCount(), 2u);
}

TEST(VornSegmentBar, PaintsPiecesInPieceMode) {
    VornSegmentBar bar;
    bar.resize(202, 10);
    bar.SetPieceCount(4);
    // Piece 2 half received: pixels 101 to 125; piece 0 complete: 1 to 50. Byte entries are ignored.
    bar.Update("2*1*2@0*8*8@5*5");
    QImage image = bar.grab().toImage();
    EXPECT_EQ(Pixel(image, 1), VornSegmentBar::kFilled);
    EXPECT_EQ(Pixel(image, 50), VornSegmentBar::kFilled);
    EXPECT_EQ(Pixel(image, 60), VornSegmentBar::kBackground);
    EXPECT_EQ(Pixel(image, 101), VornSegmentBar::kFilled);
    EXPECT_EQ(Pixel(image, 125), VornSegmentBar::kFilled);
    EXPECT_EQ(Pixel(image, 126), VornSegmentBar::kBackground);
    EXPECT_EQ(bar.SegmentCount(), 2u);
}

TEST(VornSegmentBar, ZeroTotalPaintsOnlyTheFrame) {
    VornSegmentBar bar;
    bar.resize(202, 10);
    bar.SetTotal(0);
    bar.Update("0*500");
    QImage image = bar.grab().toImage();
    EXPECT_EQ(Pixel(image, 0), VornSegmentBar::kFrame);
    EXPECT_EQ(Pixel(image, 201), VornSegmentBar::kFrame);
    for (int x = 1; x <= 200; x += 9) {
        EXPECT_EQ(Pixel(image, x), VornSegmentBar::kBackground) << x;
    }
}

TEST(VornLabelEx, BreaksALongWordIntoPiecesThatFit) {
    VornLabelEx label(nullptr, VornLabelEx::kMultiLine | VornLabelEx::kBreakAnywhere);
    QFontMetrics metrics = label.fontMetrics();
    int breaks = -1;
    EXPECT_EQ(VornLabelEx::BreakAnywhere(QStringLiteral("short"), metrics, 420, breaks),
              QStringLiteral("short"));
    EXPECT_EQ(breaks, 0);
    QString word(400, QLatin1Char('m'));
    QString broken = VornLabelEx::BreakAnywhere(word, metrics, 420, breaks);
    EXPECT_GT(breaks, 2);
    EXPECT_EQ(broken.count(QLatin1Char(' ')), breaks);
    for (const QString& piece : broken.split(QLatin1Char(' '))) {
        // Each piece is closed as soon as it reaches the limit: one character more than what fits.
        EXPECT_LT(metrics.horizontalAdvance(piece.chopped(1)), 402);
    }
}

namespace {

// The shortest URL the error window's label breaks the given number of times.
std::string UrlWithBreaks(const QFontMetrics& metrics, int wanted) {
    std::string url = "http://127.0.0.1/";
    int breaks = 0;
    while (true) {
        VornLabelEx::BreakAnywhere(QString::fromStdString(url), metrics, 420, breaks);
        if (breaks >= wanted) {
            return url;
        }
        url += static_cast<char>('a' + url.size() % 26);
    }
}

} // namespace

TEST(VornErrorWindow, FitsItsHeightToTheUrlsBreaks) {
    VornMainWindow mainWindow(VornMainWindow::Options{0, false});
    VornLabelEx probe(nullptr);
    struct Case {
        int breaks;
        int height;
        int buttonY;
    };
    for (Case c : {Case{0, 180, 90}, Case{3, 228, 138}}) {
        VornDownloadRecord record(c.breaks + 1, UrlWithBreaks(probe.fontMetrics(), c.breaks), "", 8, 0,
                                  "normal");
        auto* dialog = new VornErrorWindow(&mainWindow, record, "The server refused the request.", record.id);
        dialog->Create(true);
        ASSERT_TRUE(WaitUntil([&] { return dialog->isVisible(); }, 5s));
        EXPECT_EQ(dialog->UrlLabel()->LineBreaks(), c.breaks);
        EXPECT_EQ(dialog->size(), QSize(500, c.height));
        EXPECT_EQ(dialog->CloseButton()->geometry(), QRect(130, c.buttonY, 100, 28));
        EXPECT_EQ(dialog->LogButton()->geometry().topLeft(), QPoint(270, c.buttonY));
        EXPECT_TRUE(dialog->LogButton()->isEnabled());
        SaveScreenshot(dialog, "error-dialog-" + std::to_string(c.breaks) + "-breaks");
        delete dialog;
    }
}
