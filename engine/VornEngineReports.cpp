#include "engine/VornEngineReports.h"

#include "base/VornText.h"
#include "engine/VornEngineTypes.h"

namespace VornEngineReports {

std::string EventText(int32_t code, const std::string& payload) {
    return std::to_string(code) + "@" + payload;
}

std::string EncodeText(const std::wstring& text) {
    // The program's encoding leaves '%' as it is; its readers decode, so a name holding "%41" would
    // come back as "A". Escaping '%' itself makes decoding give back exactly what was sent.
    std::string out;
    size_t start = 0;
    for (size_t percent = text.find(L'%'); percent != std::wstring::npos; percent = text.find(L'%', start)) {
        out += vornPercentEncode(text.substr(start, percent - start), true) + "%25";
        start = percent + 1;
    }
    return out + vornPercentEncode(text.substr(start), true);
}

std::string ErrorEventText(int32_t errorCode, const std::wstring& errorText) {
    return EventText(ENGINE_EVENT_ERROR, std::to_string(errorCode) + "@" + EncodeText(errorText));
}

const char* StartingLabel() {
    return "Starting";
}
const char* DownloadingLabel() {
    return "Downloading";
}
const char* StoppedLabel() {
    return "Stopped";
}
const char* ErrorLabel() {
    return "Error";
}
const char* MergingLabel() {
    return "Merging";
}
const char* CompletedLabel() {
    return "Completed";
}

std::string StateLabel(int32_t state, int32_t retriesLeft, int32_t mode) {
    switch (state) {
    case ENGINE_STATE_STARTING:
        if (retriesLeft < 3) {
            return std::string(StartingLabel()) + " ( " + std::to_string(4 - retriesLeft) + " )";
        }
        return StartingLabel();
    case ENGINE_STATE_DOWNLOADING:
        return DownloadingLabel();
    case ENGINE_STATE_STOPPED:
        return StoppedLabel();
    case ENGINE_STATE_ERROR:
        return ErrorLabel();
    case ENGINE_STATE_MERGING:
        return MergingLabel();
    case ENGINE_STATE_COMPLETED:
        if (mode == ENGINE_MODE_HLS_PLAYLIST) {
            return std::string(CompletedLabel()) + " - " + StartingLabel();
        }
        return CompletedLabel();
    default:
        return "Unkown";
    }
}

const char* ResumabilityName(int32_t resumability) {
    switch (resumability) {
    case RESUMABILITY_UNKOWN:
        return "RESUMABILITY_UNKOWN";
    case RESUMABILITY_OK:
        return "RESUMABILITY_OK";
    case RESUMABILITY_NOT_OK:
        return "RESUMABILITY_NOT_OK";
    default:
        return "UNKOWN";
    }
}

} // namespace VornEngineReports
