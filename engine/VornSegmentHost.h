#pragma once

#include "engine/VornEngineTypes.h"

#include <cstdint>
#include <string>

// What the segment manager needs from the engine that owns it. The download engine implements it;
// tests implement it with a fake, so segmentation and the table are checked without sockets.
class VornSegmentHost {
public:
    virtual ~VornSegmentHost() = default;

    // Levels are LOG_LEVEL_DEBUG, LOG_LEVEL_INFO and LOG_LEVEL_ERROR.
    virtual void Log(int32_t level, const std::string& text) = 0;
    // Event codes and payloads as the engine posts them to its window.
    virtual void PostEvent(int32_t code, const std::string& payload) = 0;

    // The engine's own SetFileSize: stores the size, hands it back to the manager's SetFileSize in
    // normal mode and posts the size event. False when the size is refused (an empty file).
    virtual bool SetFileSize(int64_t size) = 0;
    // The engine's SetFileName: sets the record's and the manager's file name and posts event 1.
    virtual void SetFileName(const std::wstring& name) = 0;
    // The name a download is saved under when no file name is known yet.
    virtual std::wstring DerivedFileName() const = 0;

    // Every segment is complete: the engine moves to its merging state.
    virtual void EnterMerging() = 0;
    // A running merge gives up when the user stopped the download or the window asked it to quit.
    virtual bool MergeCancelled() const = 0;
    // The download reached its completed state (the manager then deletes its work files).
    virtual bool DownloadCompleted() const = 0;

    // The special rollback is off for FTP downloads and chunked responses.
    virtual bool IsFtpDownload() const = 0;
    virtual bool IsChunked() const = 0;

    // The "CategoryFolders" setting: 1 puts merged files into a subfolder named after their category.
    virtual int CategoryFoldersSetting() const = 0;
    // The download category of a file name ("Video", "Audio", ... "Misc"), which names its subfolder.
    virtual std::wstring CategoryOf(const std::wstring& fileName) const = 0;
    // A name not yet taken in the folder, for a target name that exists already.
    virtual std::wstring UniqueFileName(const std::wstring& name, const std::wstring& folder) const = 0;
};
