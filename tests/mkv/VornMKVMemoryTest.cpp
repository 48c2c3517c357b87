// Memory use of a mux must not follow the length of the inputs: the heap is measured by counting
// every allocation made through operator new while a short and a five-minute pair are muxed.
#include "mkv/VornMKVMuxer.h"

#include "tests/support/TempDir.h"
#include "tests/support/WebmFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_peak{0};
constexpr size_t kHeader = 16;

void* countedAlloc(size_t size) {
    void* block = std::malloc(size + kHeader);
    if (!block)
        throw std::bad_alloc();
    *static_cast<size_t*>(block) = size;
    const int64_t live = g_live.fetch_add(static_cast<int64_t>(size)) + static_cast<int64_t>(size);
    int64_t peak = g_peak.load();
    while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
    }
    return static_cast<char*>(block) + kHeader;
}

void countedFree(void* pointer) {
    if (!pointer)
        return;
    char* block = static_cast<char*>(pointer) - kHeader;
    g_live.fetch_sub(static_cast<int64_t>(*reinterpret_cast<size_t*>(block)));
    std::free(block);
}

} // namespace

void* operator new(size_t size) {
    return countedAlloc(size);
}
void* operator new[](size_t size) {
    return countedAlloc(size);
}
void operator delete(void* pointer) noexcept {
    countedFree(pointer);
}
void operator delete[](void* pointer) noexcept {
    countedFree(pointer);
}
void operator delete(void* pointer, size_t) noexcept {
    countedFree(pointer);
}
void operator delete[](void* pointer, size_t) noexcept {
    countedFree(pointer);
}

namespace {

struct MuxMeasure {
    bool ok = false;
    int64_t peakHeap = 0;
    uint64_t inputBytes = 0;
    uint64_t outputBytes = 0;
};

// One cluster a second, a video frame of 1500 bytes and an audio frame of 100 bytes every 20 ms.
MuxMeasure muxSeconds(const TempDir& dir, int seconds) {
    webmfix::Track video;
    video.type = 1;
    video.codecId = "V_VP9";
    webmfix::Track audio;
    audio.type = 2;
    audio.codecId = "A_OPUS";
    webmfix::writeLongWebm(dir / "Video.webm", video, seconds, 50, 20, 1500);
    webmfix::writeLongWebm(dir / "Audio.webm", audio, seconds, 50, 20, 100);
    MuxMeasure measure;
    measure.inputBytes =
        std::filesystem::file_size(dir / "Video.webm") + std::filesystem::file_size(dir / "Audio.webm");
    const int64_t before = g_live.load();
    g_peak.store(before);
    {
        VornMKVMuxer muxer(nullptr, (dir / "Video.webm").wstring(), (dir / "Audio.webm").wstring(),
                           (dir / "out.mkv").wstring());
        measure.ok = muxer.run();
    }
    measure.peakHeap = g_peak.load() - before;
    measure.outputBytes = std::filesystem::file_size(dir / "out.mkv");
    return measure;
}

TEST(MKVMemoryTest, HeapDoesNotGrowWithTheLengthOfTheInputs) {
    TempDir shortDir;
    TempDir longDir;
    const MuxMeasure brief = muxSeconds(shortDir, 15);
    const MuxMeasure fiveMinutes = muxSeconds(longDir, 300);
    ASSERT_TRUE(brief.ok);
    ASSERT_TRUE(fiveMinutes.ok);
    EXPECT_GT(fiveMinutes.outputBytes, fiveMinutes.inputBytes) << "every frame was copied";
    EXPECT_GT(fiveMinutes.inputBytes, 20u * brief.inputBytes / 2);

    // Twenty times the media may cost only the per-cluster bookkeeping (a cluster entry per input
    // cluster, a cue per key frame): well under a kilobyte a second, nothing per frame.
    EXPECT_LT(fiveMinutes.peakHeap - brief.peakHeap, 300 * 1024)
        << "short " << brief.peakHeap << " bytes, long " << fiveMinutes.peakHeap << " bytes";
    EXPECT_LT(fiveMinutes.peakHeap, 4 * 1024 * 1024);
    EXPECT_LT(static_cast<uint64_t>(fiveMinutes.peakHeap), fiveMinutes.inputBytes / 10);
}

} // namespace
