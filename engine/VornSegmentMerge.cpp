#include "engine/VornSegmentMerge.h"

#include "base/VornText.h"
#include "engine/VornFd.h"
#include "engine/VornSegment.h"
#include "engine/VornSegmentHost.h"
#include "engine/VornSegmentManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <vector>

namespace {

bool regularFileSize(const std::string& path, int64_t& size) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    size = static_cast<int64_t>(st.st_size);
    return true;
}

} // namespace

VornSegmentMerge::VornSegmentMerge(VornSegmentManager& manager)
    : m_manager(manager), m_engine(*manager.Engine()) {}

std::wstring VornSegmentMerge::TargetFolder() const {
    std::wstring folder = m_manager.DestinationFolder();
    if (!m_manager.IsPairMode() && m_engine.CategoryFoldersSetting() < 2)
        folder += m_engine.CategoryOf(m_manager.FileName()) + L"/";
    return folder;
}

bool VornSegmentMerge::Run() {
    std::string targetPath;
    try {
        const VornSegment* first = FirstRange();
        if (!first) {
            m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. Merging Failed.Can not find first Segment.");
            return false;
        }
        Outcome prepared = PrepareTarget(targetPath, *first);
        if (prepared == MERGE_ALREADY_DONE)
            return true;
        int fd = OpenTarget(targetPath, *first);
        if (fd < 0) {
            m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. Failed in Merging segments.");
            return false;
        }
        VornFd target(fd);
        bool copied = CopySegments(target.get(), first);
        // A merged file is only reported once it is on disk: the segment files go right after.
        bool synced = copied && ::fsync(target.get()) == 0;
        if (!target.close() || !synced) {
            ::unlink(targetPath.c_str());
            return false;
        }
    } catch (...) {
        if (!targetPath.empty())
            ::unlink(targetPath.c_str());
        m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. Failed in Merging segments.");
        return false;
    }
    m_engine.Log(LOG_LEVEL_INFO, "File completely Downloaded. ( " + std::to_string(m_manager.SegmentCount()) +
                                     "  Segments) ");
    return true;
}

bool VornSegmentMerge::SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

VornSegmentMerge::Outcome VornSegmentMerge::PrepareTarget(std::string& targetPath, const VornSegment& first) {
    if (m_manager.FileName().empty())
        m_manager.SetFileName(m_engine.DerivedFileName());
    std::wstring folder = TargetFolder();
    std::filesystem::create_directories(std::filesystem::path(vornWideToUtf8(folder)));
    if (!m_manager.IsPairMode())
        m_engine.PostEvent(ENGINE_EVENT_TARGET_FOLDER, vornWideToUtf8(folder));
    targetPath = vornWideToUtf8(folder + m_manager.FileName());
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::path(targetPath), error))
        return MERGE_DONE;
    int64_t existing = 0;
    if (m_manager.IsPairMode() && regularFileSize(targetPath, existing) && existing == m_manager.FileSize())
        return MERGE_ALREADY_DONE;
    // Our own merge that was interrupted: the target still shares the first segment's file.
    if (SameFile(targetPath, vornWideToUtf8(first.SegmentFilePath())))
        return MERGE_DONE;
    if (m_manager.IsPairMode()) {
        std::filesystem::remove(std::filesystem::path(targetPath));
        return MERGE_DONE;
    }
    std::wstring unique = m_engine.UniqueFileName(m_manager.FileName(), folder);
    m_engine.SetFileName(unique);
    m_manager.SetFileName(unique);
    targetPath = vornWideToUtf8(folder + unique);
    return MERGE_DONE;
}

// The first range's file becomes the target by a second name (no bytes copied); the later ranges are
// appended to it. Until the merge ends the segment file keeps its name, so a crash leaves a table
// whose first file still holds its range (extra bytes beyond a range are never counted), and the next
// merge finds the shared file again. Where no link can be made the first range is copied like the rest;
// so it is in pair mode, whose segment files outlive the merge.
int VornSegmentMerge::OpenTarget(const std::string& targetPath, const VornSegment& first) {
    std::string firstPath = vornWideToUtf8(first.SegmentFilePath());
    int64_t firstSize = 0;
    bool linked =
        SameFile(targetPath, firstPath) ||
        (!m_manager.IsPairMode() && regularFileSize(firstPath, firstSize) && firstSize >= first.m_length &&
         first.IsCompleted() && ::link(firstPath.c_str(), targetPath.c_str()) == 0);
    if (!linked)
        return ::open(targetPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    int fd = ::open(targetPath.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, first.m_length) != 0 || ::lseek(fd, 0, SEEK_END) != first.m_length) {
        if (fd >= 0)
            ::close(fd);
        ::unlink(targetPath.c_str());
        return -1;
    }
    m_linked = &first;
    return fd;
}

const VornSegment* VornSegmentMerge::FirstRange() const {
    if (m_manager.IsTsMode())
        return m_manager.SegmentCount() > 0 ? m_manager.Segment(0) : nullptr;
    for (size_t i = 0; i < m_manager.SegmentCount(); ++i)
        if (m_manager.Segment(i)->m_start == 0)
            return m_manager.Segment(i);
    return nullptr;
}

bool VornSegmentMerge::CopySegments(int target, const VornSegment* segment) {
    // A damaged chain must not loop forever: no range is visited twice.
    std::vector<bool> visited(m_manager.SegmentCount(), false);
    while (segment) {
        if (visited[segment->m_index]) {
            m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. Failed in Merging segments.");
            return false;
        }
        visited[segment->m_index] = true;
        if (segment == m_linked)
            LinkedProgress(*segment);
        else if (!CopySegment(target, *segment))
            return false;
        if (m_manager.IsTsMode())
            m_engine.PostEvent(ENGINE_EVENT_MERGE_PROGRESS, std::to_string(segment->m_index + 1));
        int32_t next = segment->m_next;
        segment = next >= 0 && static_cast<size_t>(next) < m_manager.SegmentCount()
                      ? m_manager.Segment(static_cast<size_t>(next))
                      : nullptr;
    }
    return true;
}

void VornSegmentMerge::LinkedProgress(const VornSegment& segment) {
    m_copied += segment.m_length;
    if (!m_manager.IsTsMode() && !m_manager.IsPairMode())
        m_engine.PostEvent(ENGINE_EVENT_MERGE_PROGRESS, std::to_string(m_copied));
}

bool VornSegmentMerge::CopySegment(int target, const VornSegment& segment) {
    std::string path = vornWideToUtf8(segment.SegmentFilePath());
    int64_t onDisk = 0;
    if (!regularFileSize(path, onDisk))
        onDisk = 0;
    // The file must really hold the range: a shorter one would leave a hole in the target.
    if (!segment.IsCompleted() || onDisk < segment.m_length) {
        int64_t remaining = segment.IsCompleted() ? segment.m_length - onDisk : segment.RemainingBytes();
        m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. an inComplete segment was found . SegmentIndex = " +
                                          std::to_string(segment.m_index) +
                                          "and segment->remainedBytes = " + std::to_string(remaining));
        return false;
    }
    VornFd source(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (source.get() < 0) {
        m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. Failed in Merging segments.");
        return false;
    }
    int64_t offset = 0;
    bool everyBlock = !m_manager.IsTsMode() && !m_manager.IsPairMode();
    while (offset < segment.m_length) {
        if (m_engine.MergeCancelled())
            return false;
        size_t block = static_cast<size_t>(
            std::min<int64_t>(VornSegmentManager::MERGE_BLOCK, segment.m_length - offset));
        if (!CopyBlock(source.get(), target, offset, block)) {
            m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. Failed in Merging segments.");
            return false;
        }
        m_copied += static_cast<int64_t>(block);
        if (everyBlock)
            m_engine.PostEvent(ENGINE_EVENT_MERGE_PROGRESS, std::to_string(m_copied));
    }
    return true;
}

// One block from the segment file to the end of the target, in the kernel when it can.
bool VornSegmentMerge::CopyBlock(int source, int target, int64_t& offset, size_t size) {
    while (size > 0) {
        loff_t from = offset;
        ssize_t n = ::copy_file_range(source, &from, target, nullptr, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
            std::vector<char> buffer(size);
            ssize_t got = ::pread(source, buffer.data(), size, offset);
            if (got <= 0 || !vornWriteFully(target, buffer.data(), static_cast<size_t>(got)))
                return false;
            n = got;
        }
        if (n <= 0)
            return false;
        offset += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}
