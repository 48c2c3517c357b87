#include "storage/VornDownloadRecord.h"

#include "base/VornFileName.h"
#include "base/VornText.h"

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

namespace {

std::wstring decodedValidName(const std::string& text) {
    return vornValidFileName(vornPercentDecode(text), false);
}

} // namespace

std::wstring VornDownloadRecord::derivedFileName() const {
    if (!fileName.empty()) {
        return fileName;
    }
    const std::string saveName = url.saveName();
    const std::string base = pageTitle.empty() ? vornFileBaseName(saveName) : pageTitle;
    std::wstring name;
    if (linkType == "hls") {
        name = decodedValidName(base + ".ts");
    } else if (linkType == "media") {
        std::string extension = vornFileExtension(saveName);
        if (extension.empty()) {
            extension = "mp4";
        }
        if (hasSecondUrl()) {
            extension = "mkv";
        }
        name = decodedValidName(base + "." + extension);
    }
    if (name.empty()) {
        name = decodedValidName(hasSecondUrl() ? vornFileBaseName(saveName) + ".mkv" : saveName);
    }
    return name;
}

std::string VornDownloadRecord::storedFileName() const {
    return vornPercentEncode(derivedFileName(), true);
}
