#pragma once

#include "engine/VornSegment.h"
#include "engine/VornSegmentClient.h"
#include "engine/VornSegmentHost.h"
#include "engine/VornSegmentManager.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

// Header only: the support library does not link the engine.

// An engine stand-in for segment-manager tests: records logs and events and answers the settings.
class FakeSegmentHost : public VornSegmentHost {
public:
    void Log(int32_t level, const std::string& text) override { logs.emplace_back(level, text); }
    void PostEvent(int32_t code, const std::string& payload) override {
        events.emplace_back(code, payload);
        if (cancelAfterEvents != 0 && code == cancelAfterEvents)
            cancelled = true;
    }
    bool SetFileSize(int64_t size) override;
    void SetFileName(const std::wstring& name) override;
    std::wstring DerivedFileName() const override { return derivedName; }
    void EnterMerging() override { ++mergingEntered; }
    bool MergeCancelled() const override { return cancelled; }
    bool DownloadCompleted() const override { return completed; }
    bool IsFtpDownload() const override { return ftp; }
    bool IsChunked() const override { return chunked; }
    int CategoryFoldersSetting() const override { return categoryFolders; }
    std::wstring CategoryOf(const std::wstring& fileName) const override;
    std::wstring UniqueFileName(const std::wstring& name, const std::wstring& folder) const override;

    bool HasLog(const std::string& text) const;
    std::vector<std::string> EventPayloads(int32_t code) const;

    VornSegmentManager* manager = nullptr;
    std::vector<std::pair<int32_t, std::string>> logs;
    std::vector<std::pair<int32_t, std::string>> events;
    std::vector<std::wstring> fileNames;
    std::wstring derivedName = L"download.bin";
    int mergingEntered = 0;
    bool cancelled = false;
    // An event code whose first post stops the download (0: none).
    int32_t cancelAfterEvents = 0;
    bool completed = false;
    bool ftp = false;
    bool chunked = false;
    int categoryFolders = 1;
};

// A connection stand-in: its close detaches it from its segment, as the engine socket's does.
class FakeSegmentConnection : public VornSegmentClient {
public:
    explicit FakeSegmentConnection(int number) : m_number(number) {}
    std::string IdText() const override { return std::to_string(m_number + 1); }
    bool IsReceivingBody() const override { return receiving; }
    bool Reset(bool restart, bool keepSlot) override;
    void ReleaseSegment() override {
        segment = nullptr;
        ++released;
    }

    // What the engine's StartTransfer does with an assigned segment.
    void Take(VornSegment* assigned) {
        segment = assigned;
        assigned->Attach(this);
    }
    // The connection's close.
    void Close() {
        if (segment)
            segment->Attach(nullptr);
    }

    VornSegment* segment = nullptr;
    bool receiving = false;
    int resets = 0;
    int released = 0;

private:
    int m_number;
};

inline bool FakeSegmentHost::SetFileSize(int64_t size) {
    if (size == 0)
        return false;
    if (manager)
        manager->SetFileSize(size);
    events.emplace_back(ENGINE_EVENT_FILE_SIZE, std::to_string(size));
    return true;
}

inline void FakeSegmentHost::SetFileName(const std::wstring& name) {
    fileNames.push_back(name);
    if (manager)
        manager->SetFileName(name);
    events.emplace_back(ENGINE_EVENT_FILE_NAME, std::string(name.begin(), name.end()));
}

inline std::wstring FakeSegmentHost::CategoryOf(const std::wstring& fileName) const {
    return fileName.ends_with(L".mp4") ? L"Video" : L"Misc";
}

inline std::wstring FakeSegmentHost::UniqueFileName(const std::wstring& name,
                                                    const std::wstring& folder) const {
    std::wstring stem = name.substr(0, name.rfind(L'.'));
    std::wstring extension = name.find(L'.') == std::wstring::npos ? L"" : name.substr(name.rfind(L'.'));
    for (int n = 1;; ++n) {
        std::wstring candidate = stem + L"(" + std::to_wstring(n) + L")" + extension;
        if (!std::filesystem::exists(std::filesystem::path(folder + candidate)))
            return candidate;
    }
}

inline bool FakeSegmentHost::HasLog(const std::string& text) const {
    for (auto& entry : logs)
        if (entry.second == text)
            return true;
    return false;
}

inline std::vector<std::string> FakeSegmentHost::EventPayloads(int32_t code) const {
    std::vector<std::string> payloads;
    for (auto& event : events)
        if (event.first == code)
            payloads.push_back(event.second);
    return payloads;
}

inline bool FakeSegmentConnection::Reset(bool, bool) {
    ++resets;
    receiving = false;
    Close();
    return false;
}
