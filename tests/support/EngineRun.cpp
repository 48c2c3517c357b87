#include "tests/support/EngineRun.h"

#include "base/VornText.h"
#include "engine/VornDownloadEngine.h"
#include "engine/VornEngineTypes.h"

#include <algorithm>
#include <chrono>
#include <memory>

std::vector<std::string> EngineRunResult::events(int32_t code) const {
    std::string prefix = std::to_string(code) + "@";
    std::vector<std::string> payloads;
    for (const VornMessage& message : messages) {
        if (message.id == WM_ENGINE_EVENT && message.text.rfind(prefix, 0) == 0) {
            payloads.push_back(message.text.substr(prefix.size()));
        }
    }
    return payloads;
}

std::filesystem::path EngineRunResult::savedFile() const {
    return std::filesystem::path(vornWideToUtf8(targetFolder)) / vornWideToUtf8(fileName);
}

namespace {

std::wstring FolderText(const std::filesystem::path& folder) {
    std::wstring text = vornUtf8ToWide(folder.string());
    if (text.empty() || text.back() != L'/') {
        text += L'/';
    }
    return text;
}

void Note(EngineRunResult& result, const VornMessage& message) {
    size_t at = message.text.find('@');
    int code = std::atoi(message.text.substr(0, at).c_str());
    std::string payload = at == std::string::npos ? std::string() : message.text.substr(at + 1);
    if (code == ENGINE_EVENT_FILE_NAME) {
        result.fileName = vornPercentDecode(payload);
    } else if (code == ENGINE_EVENT_TARGET_FOLDER) {
        result.targetFolder = vornPercentDecode(payload);
    } else if (code == ENGINE_EVENT_COMPLETED) {
        result.completed = true;
    } else if (code == ENGINE_EVENT_CANCELED) {
        result.canceled = true;
    } else if (code == ENGINE_EVENT_ERROR) {
        result.failed = true;
        size_t second = payload.find('@');
        result.errorCode = std::atoi(payload.substr(0, second).c_str());
        result.errorText = vornPercentDecode(second == std::string::npos ? "" : payload.substr(second + 1));
    }
}

} // namespace

EngineRunResult runEngine(const std::string& url, const std::filesystem::path& workFolder,
                          const std::filesystem::path& destination, const EngineRunOptions& options) {
    VornMessageQueue queue;
    VornDownloadRecord record(1, url, "", options.connections, options.limit, options.linkType);
    auto engine = std::make_unique<VornDownloadEngine>(&queue, record, FolderText(workFolder),
                                                       FolderText(destination), options.resume);
    bool categories = options.categoryFolders;
    engine->SetCategoryFoldersReader([categories] { return categories ? 1 : 2; });
    engine->SetConnectionsAtOnce(options.connectionsAtOnce);
    EngineRunResult result;
    result.targetFolder = FolderText(destination);
    engine->Start();
    int progress = 0;
    bool maximumChanged = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    while (!result.completed && !result.canceled && !result.failed &&
           std::chrono::steady_clock::now() < deadline) {
        std::optional<VornMessage> message = queue.wait(std::chrono::milliseconds(200));
        if (!message) {
            continue;
        }
        result.messages.push_back(*message);
        if (message->id == WM_ENGINE_PROGRESS) {
            ++progress;
        }
        if (message->id == WM_ENGINE_PROGRESS && options.stopAfterProgress > 0 &&
            progress == options.stopAfterProgress) {
            engine->Stop();
        }
        if (message->id == WM_ENGINE_PROGRESS && options.stopAfterBytes > 0 &&
            std::atoll(message->text.c_str()) >= options.stopAfterBytes) {
            engine->Stop();
        }
        if (message->id == WM_ENGINE_PROGRESS && options.changeMaximumAfterProgress > 0 &&
            progress == options.changeMaximumAfterProgress) {
            engine->SetMaxConnections(options.newMaximum);
        }
        if (message->id == WM_ENGINE_PROGRESS && options.changeMaximumAfterBytes > 0 && !maximumChanged &&
            std::atoll(message->text.c_str()) >= options.changeMaximumAfterBytes) {
            maximumChanged = true;
            engine->SetMaxConnections(options.newMaximum);
        }
        if (message->id == WM_ENGINE_EVENT) {
            Note(result, *message);
        }
    }
    engine->Stop();
    engine->WaitFinished(60000);
    engine.reset();
    while (std::optional<VornMessage> late = queue.tryTake()) {
        result.messages.push_back(*late);
    }
    return result;
}

std::vector<std::string> folderEntries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}
