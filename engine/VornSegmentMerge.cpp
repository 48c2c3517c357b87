#include "engine/VornSegmentMerge.h"

#include "base/VornText.h"
#include "engine/VornEngineReports.h"
#include "engine/VornFd.h"
#include "engine/VornSegment.h"
#include "engine/VornSegmentHost.h"
#include "engine/VornSegmentManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

void syncFolderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    VornFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.ok())
        ::fsync(dir.get());
}

// A rename that never replaces a file someone else put there in the meantime.
int renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without the flag: a second name and the old one dropped, which refuses as well.
    if (::link(from.c_str(), to.c_str()) != 0)
        return errno == EPERM ? (::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno) : errno;
    ::unlink(from.c_str());
    return 0;
}

} // namespace

VornSegmentMerge::VornSegmentMerge(VornSegmentManager& manager)
    : m_manager(manager), m_engine(*manager.Engine()) {}

bool VornSegmentMerge::Run() {
    std::string targetPath;
    bool done = false;
    try {
        if (m_manager.SegmentCount() == 0) {
            m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. Merging Failed.Can not find first Segment.");
            return false;
        }
        if (!AllRangesComplete())
            return false;
        Outcome prepared = PrepareTarget(targetPath);
        if (prepared == MERGE_ALREADY_DONE)
            return true;
        if (m_engine.MergeCancelled())
            return false;
        done = m_manager.IsTsMode() ? JoinPieces(targetPath) : FinishWorkFile(targetPath);
    } catch (...) {
        m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. Failed in Merging segments.");
        return false;
    }
    if (!done)
        return false;
    m_engine.Log(LOG_LEVEL_INFO, "File completely Downloaded. ( " + std::to_string(m_manager.SegmentCount()) +
                                     "  Segments) ");
    return true;
}

void VornSegmentMerge::ReportIncomplete(const VornSegment& segment, int64_t remaining) {
    m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. an inComplete segment was found . SegmentIndex = " +
                                      std::to_string(segment.m_index) +
                                      "and segment->remainedBytes = " + std::to_string(remaining));
}

// Follows the chain from the first range: every range must be complete and the chain must visit each
// once, and the work file (or each piece's file) must really hold the bytes, or the target would have
// holes.
bool VornSegmentMerge::AllRangesComplete() {
    const VornSegment* segment = nullptr;
    for (size_t i = 0; i < m_manager.SegmentCount() && !segment; ++i)
        if (m_manager.IsTsMode() ? i == 0 : m_manager.Segment(i)->m_start == 0)
            segment = m_manager.Segment(i);
    if (!segment) {
        m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. Merging Failed.Can not find first Segment.");
        return false;
    }
    std::vector<bool> visited(m_manager.SegmentCount(), false);
    int64_t end = 0;
    while (segment) {
        if (visited[segment->m_index]) {
            m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. Failed in Merging segments.");
            return false;
        }
        visited[segment->m_index] = true;
        if (!segment->IsCompleted()) {
            ReportIncomplete(*segment, segment->RemainingBytes());
            return false;
        }
        int64_t onDisk = 0;
        if (m_manager.IsTsMode() && (!regularFileSize(vornWideToUtf8(segment->SegmentFilePath()), onDisk) ||
                                     onDisk < segment->m_length)) {
            ReportIncomplete(*segment, segment->m_length - onDisk);
            return false;
        }
        end = segment->m_end + 1;
        int32_t next = segment->m_next;
        segment = next >= 0 && static_cast<size_t>(next) < m_manager.SegmentCount()
                      ? m_manager.Segment(static_cast<size_t>(next))
                      : nullptr;
    }
    if (m_manager.IsTsMode())
        return true;
    int64_t onDisk = m_manager.WorkFile().IsOpen() || m_manager.WorkFile().OpenRecorded()
                         ? m_manager.WorkFile().Size()
                         : 0;
    if (onDisk < end) {
        // Report the range whose bytes the work file lacks.
        for (size_t i = 0; i < m_manager.SegmentCount(); ++i) {
            const VornSegment& range = *m_manager.Segment(i);
            if (range.m_start <= onDisk && onDisk <= range.m_end) {
                ReportIncomplete(range, std::min(range.m_length, range.m_end + 1 - onDisk));
                break;
            }
        }
        return false;
    }
    return true;
}

VornSegmentMerge::Outcome VornSegmentMerge::PrepareTarget(std::string& targetPath) {
    if (m_manager.FileName().empty())
        m_manager.SetFileName(m_engine.DerivedFileName());
    std::wstring folder = m_manager.TargetFolder();
    std::filesystem::create_directories(std::filesystem::path(vornWideToUtf8(folder)));
    if (!m_manager.IsPairMode())
        // Its readers percent-decode it, as every text that may carry a wide name.
        m_engine.PostEvent(ENGINE_EVENT_TARGET_FOLDER, VornEngineReports::EncodeText(folder));
    targetPath = vornWideToUtf8(folder + m_manager.FileName());
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::path(targetPath), error))
        return MERGE_DONE;
    int64_t existing = 0;
    if (m_manager.IsPairMode()) {
        // A pair's stream that was finished before: the work file is that target already, or it is dropped.
        if (regularFileSize(targetPath, existing) && existing == m_manager.FileSize()) {
            VornWorkFile& work = m_manager.WorkFile();
            if (!work.Path().empty() && !sameFile(targetPath, work.Path()))
                work.Remove();
            work.MovedTo(targetPath);
            return MERGE_ALREADY_DONE;
        }
        std::filesystem::remove(std::filesystem::path(targetPath));
        return MERGE_DONE;
    }
    std::wstring unique = m_engine.UniqueFileName(m_manager.FileName(), folder);
    m_engine.SetFileName(unique);
    m_manager.SetFileName(unique);
    targetPath = vornWideToUtf8(folder + unique);
    return MERGE_DONE;
}

bool VornSegmentMerge::FinishWorkFile(const std::string& targetPath) {
    VornWorkFile& work = m_manager.WorkFile();
    std::string from = work.Path();
    // An unknown size was settled by the end of the reply; a file reserved larger is cut to the size.
    if (work.Size() > m_manager.FileSize() && ::ftruncate(work.Handle(), m_manager.FileSize()) != 0) {
        m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. Failed in Merging segments.");
        return false;
    }
    if (!work.Sync()) {
        m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. Failed in Merging segments.");
        return false;
    }
    std::string target = targetPath;
    int error = renameNoReplace(from, target);
    if (error == EXDEV)
        return CopyWorkFile(targetPath);
    if (error != 0) {
        m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. Failed in Merging segments.");
        return false;
    }
    syncFolderOf(target);
    m_copied = m_manager.FileSize();
    if (!m_manager.IsPairMode())
        m_engine.PostEvent(ENGINE_EVENT_MERGE_PROGRESS, std::to_string(m_copied));
    if (m_manager.IsPairMode())
        work.MovedTo(target);
    else
        work.Forget();
    return true;
}

// The target folder lies on another file system: one copy inside the kernel, in blocks that report
// progress and may be stopped, into a hidden name beside the target that is renamed at the end, so a
// crash never leaves a partial file under the target's name. The work file stays until the copy is on
// disk.
bool VornSegmentMerge::CopyWorkFile(const std::string& targetPath) {
    VornWorkFile& work = m_manager.WorkFile();
    size_t slash = targetPath.find_last_of('/');
    std::string partial =
        targetPath.substr(0, slash + 1) + "." + targetPath.substr(slash + 1) + ".brellin-copy";
    VornFd target(::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!target.ok()) {
        m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. Failed in Merging segments.");
        return false;
    }
    bool copied = CopyRange(work.Handle(), target.get(), 0, m_manager.FileSize(), !m_manager.IsPairMode());
    bool synced = copied && ::fsync(target.get()) == 0;
    if (!target.close() || !synced || renameNoReplace(partial, targetPath) != 0) {
        if (synced)
            m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. Failed in Merging segments.");
        ::unlink(partial.c_str());
        return false;
    }
    syncFolderOf(targetPath);
    work.Remove();
    if (m_manager.IsPairMode())
        work.MovedTo(targetPath);
    return true;
}

bool VornSegmentMerge::JoinPieces(const std::string& targetPath) {
    VornFd target(::open(targetPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!target.ok()) {
        m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. Failed in Merging segments.");
        return false;
    }
    bool joined = true;
    for (size_t i = 0; i < m_manager.SegmentCount() && joined; ++i) {
        const VornSegment& piece = *m_manager.Segment(i);
        VornFd source(::open(vornWideToUtf8(piece.SegmentFilePath()).c_str(), O_RDONLY | O_CLOEXEC));
        joined = source.ok() && CopyRange(source.get(), target.get(), 0, piece.m_length, false);
        if (!source.ok())
            m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. Failed in Merging segments.");
        if (joined)
            m_engine.PostEvent(ENGINE_EVENT_MERGE_PROGRESS, std::to_string(piece.m_index + 1));
    }
    bool synced = joined && ::fsync(target.get()) == 0;
    if (!target.close() || !synced) {
        ::unlink(targetPath.c_str());
        return false;
    }
    return true;
}

// Appends length bytes of the source from the given offset to the target, a block at a time; a stop
// between blocks abandons the copy.
bool VornSegmentMerge::CopyRange(int source, int target, int64_t from, int64_t length, bool eachBlock) {
    int64_t offset = from;
    while (offset < from + length) {
        if (m_engine.MergeCancelled())
            return false;
        size_t block =
            static_cast<size_t>(std::min<int64_t>(VornSegmentManager::MERGE_BLOCK, from + length - offset));
        if (!CopyBlock(source, target, offset, block)) {
            m_engine.Log(LOG_LEVEL_ERROR, "Internal Error. Failed in Merging segments.");
            return false;
        }
        m_copied += static_cast<int64_t>(block);
        if (eachBlock)
            m_engine.PostEvent(ENGINE_EVENT_MERGE_PROGRESS, std::to_string(m_copied));
    }
    return true;
}

// One block from the source to the end of the target, in the kernel when it can.
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
