// A damaged or hand-made "segments.bin" (or "segments.bak") loaded as a stopped download: no crash, and
// either the download resumes from ranges that cover the file exactly once, in order, with progress
// never beyond a range nor beyond the end of the work file, or resuming fails and leaves no table and no
// work file behind.
// Input: one byte of flags (bit 0: the bytes are the backup; bits 1-7: the size of the work file in
// hundreds of bytes, 0: no work file), then the table's bytes.
#include "engine/VornSegmentHost.h"
#include "engine/VornSegmentManager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

class Host : public VornSegmentHost {
public:
    void Log(int32_t, const std::string&) override {}
    void PostEvent(int32_t, const std::string&) override {}
    bool SetFileSize(int64_t size) override {
        if (size == 0)
            return false;
        manager->SetFileSize(size);
        return true;
    }
    void SetFileName(const std::wstring& name) override { manager->SetFileName(name); }
    std::wstring DerivedFileName() const override { return L"x"; }
    void EnterMerging() override {}
    bool MergeCancelled() const override { return true; }
    bool DownloadCompleted() const override { return false; }
    bool IsFtpDownload() const override { return false; }
    bool IsChunked() const override { return false; }
    int CategoryFoldersSetting() const override { return 2; }
    std::wstring CategoryOf(const std::wstring&) const override { return L"Misc"; }
    std::wstring UniqueFileName(const std::wstring& name, const std::wstring&) const override { return name; }

    VornSegmentManager* manager = nullptr;
};

const std::string& folder() {
    static std::string path = [] {
        char pattern[] = "/tmp/brellin-fuzz-segments-XXXXXX";
        return std::string(::mkdtemp(pattern)) + "/";
    }();
    return path;
}

void put(const std::string& name, const uint8_t* data, size_t size) {
    FILE* file = std::fopen((folder() + name).c_str(), "wb");
    if (size > 0)
        std::fwrite(data, 1, size, file);
    std::fclose(file);
}

bool exists(const std::string& name) {
    struct stat st {};
    return ::stat((folder() + name).c_str(), &st) == 0;
}

void checkCoverage(const VornSegmentManager& manager, int64_t workFileSize) {
    check(manager.FileSize() != UNKNOWN_FILE_SIZE);
    const VornSegment* segment = nullptr;
    int64_t total = 0;
    for (size_t i = 0; i < manager.SegmentCount(); ++i) {
        check(manager.Segment(i)->m_index == i);
        if (manager.Segment(i)->m_start == 0)
            segment = manager.Segment(i);
        total += manager.Segment(i)->m_received;
        check(manager.Segment(i)->m_received >= 0 &&
              manager.Segment(i)->m_received <= manager.Segment(i)->m_length);
        check(manager.Segment(i)->m_received == 0 ||
              manager.Segment(i)->m_start + manager.Segment(i)->m_received <= workFileSize);
    }
    check(total == manager.DownloadedTotal() && total > 0);
    int64_t expected = 0;
    size_t visited = 0;
    while (segment) {
        check(segment->m_start == expected && segment->m_length > 0 && ++visited <= manager.SegmentCount());
        expected = segment->m_end + 1;
        segment = segment->m_next < 0 ? nullptr : manager.Segment(static_cast<size_t>(segment->m_next));
    }
    check(visited == manager.SegmentCount() && expected == manager.FileSize());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    for (const char* name : {"segments.bin", "segments.bak", "segments.bin.tmp", "workfile.path", ".work"})
        ::unlink((folder() + name).c_str());
    int64_t workFileSize = static_cast<int64_t>(data[0] >> 1) * 100;
    if (workFileSize > 0) {
        std::string filler(static_cast<size_t>(workFileSize), 'f');
        put(".work", reinterpret_cast<const uint8_t*>(filler.data()), filler.size());
        std::string location = folder() + ".work";
        put("workfile.path", reinterpret_cast<const uint8_t*>(location.data()), location.size());
    }
    put((data[0] & 1) ? "segments.bak" : "segments.bin", data + 1, size - 1);
    Host host;
    std::wstring work(folder().begin(), folder().end());
    VornSegmentManager manager(&host, work, work + L"out/", false);
    host.manager = &manager;
    if (manager.LoadSegments()) {
        checkCoverage(manager, workFileSize);
        check(!exists("segments.bak"));
    } else {
        check(manager.SegmentCount() == 0 && manager.DownloadedTotal() == 0);
        check(!exists("segments.bin") && !exists(".work") && !exists("workfile.path"));
    }
    return 0;
}
