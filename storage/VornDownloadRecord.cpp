#include "storage/VornDownloadRecord.h"

const char* const VornDownloadRecord::kDefaultUserAgent =
    "Mozilla / 5.0 (Windows NT 10.0; Win64; x64) AppleWebKit / 537.36 (KHTML, like Gecko) Chrome / "
    "73.0.3683.86 Safari / 537.36";

VornDownloadRecord::VornDownloadRecord() : VornDownloadRecord(-1, "", "", 0, 0, "normal") {}

VornDownloadRecord::VornDownloadRecord(int32_t id, const std::string& urlText,
                                       const std::string& secondUrlText, uint8_t connections,
                                       int64_t bandwidthLimit, const std::string& linkType)
    : url(urlText), secondUrl(secondUrlText), id(id), bandwidthLimit(bandwidthLimit),
      connections(connections), method("GET"), userAgent(kDefaultUserAgent), linkType(linkType),
      requestHeaders(defaultHeaders()) {}

const std::vector<std::string>& VornDownloadRecord::defaultHeaders() {
    static const std::vector<std::string> headers = {"Accept: */*", "Accept-Encoding: identity",
                                                     "Accept-Language: en-US,en;q=0.9", "Accept-Charset: *"};
    return headers;
}

bool VornDownloadRecord::isDefaultHeader(const std::string& line) {
    static const char* const names[] = {"Accept:", "Accept-Encoding:", "Accept-Language:", "Accept-Charset:"};
    for (const char* name : names) {
        if (line.starts_with(name)) {
            return true;
        }
    }
    return false;
}

bool VornDownloadRecord::hasSecondUrl() const {
    return !secondUrl.givenText().empty();
}
