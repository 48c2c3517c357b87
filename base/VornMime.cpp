#include "base/VornMime.h"

#include "base/VornFileName.h"
#include "base/VornText.h"

#include <map>
#include <utility>

namespace {

struct CategoryList {
    const char* category;
    std::string extensions;
};

// In search order.
const CategoryList* categoryLists() {
    static const CategoryList lists[] = {
        {CATEGORY_APPLICATION, ".EXE .COM .DLL .OCX .APPX .APP .MSI"},
        {CATEGORY_VIDEO,
         ".MP4 .AVI .MPG .MPE .MPEG .OGG .OGV .OGM .MPEG4 .MPEGTS .MP2T .MOV .M4V .WMV .RM .FLV "
         ".SWF .ASF .TS .MKV .F4F .3GP .3GPP .QT .WEBM .RMVB"},
        {CATEGORY_AUDIO, ".MP3 .WAV .WAVE .RA .M4A .WMA .OGA .MID .MIDI .AAC .RAM"},
        {CATEGORY_DOCUMENT,
         ".PDF .DOC .DOCX .XLS .XLSX .PPT .PPS .PPTX .ODT .ODS .WPD .XML .XLST .TEX .RTF .RTFD "
         ".TXT .HTM .HTML .EPUB .KEY .NUMBERS .PAGES"},
        {CATEGORY_COMPRESSED,
         ".ZIP .ZIPX .RAR .TAR .GZ .BZ .CAB .ARC .PAK .NRG .NRI .OMG .7Z .ISO .IMG .SFX .DMG "
         ".DMGPART .XIP .ARJ .TGZ .ZZ .TXZ .PKG"},
    };
    return lists;
}
constexpr int kListCount = 5;

const std::pair<const char*, const char*> kMimePairs[] = {
    {"text/html", "HTML"},
    {"text/css", "CSS"},
    {"text/javascript", "JS"},
    {"text/x-javascript", "JS"},
    {"application/javascript", "JS"},
    {"application/x-javascript", "JS"},
    {"text/mspg-legacyinfo", "MSI"},
    {"application/x-msi", "MSI"},
    {"application/x-ole-storage", "MSI"},
    {"text/plain", "TXT"},
    {"text/srt", "SRT"},
    {"application/x-subrip", "SRT"},
    {"text/vtt", "VTT"},
    {"text/vtt", "VTT"},
    {"text/xml", "XML"},
    {"text/x-json", "JSON"},
    {"application/json", "JSON"},
    {"application/f4m+xml", "F4M"},
    {"video/f4m", "F4M"},
    {"application/gzip", "GZ"},
    {"application/x-gzip", "GZ"},
    {"application/x-gzip-compressed", "GZ"},
    {"application/msword", "DOC"},
    {"application/pdf", "PDF"},
    {"application/ttaf+xml", "DFXP"},
    {"application/vnd.apple.mpegurl", "M3U8"},
    {"application/x-mpegurl", "M3U8"},
    {"video/mpegurl", "M3U8"},
    {"video/x-mpegurl", "M3U8"},
    {"audio/mpegurl", "M3U8"},
    {"audio/x-mpegurl", "M3U8"},
    {"application/zip", "ZIP"},
    {"application/x-zip", "ZIP"},
    {"application/x-zip-compressed", "ZIP"},
    {"application/x-7z-compressed", "7Z"},
    {"application/x-compress-7z", "7Z"},
    {"application/x-aim", "PLJ"},
    {"application/x-compress", "Z"},
    {"application/x-compressed", "ARJ"},
    {"application/x-gtar", "TAR"},
    {"application/x-tar", "TAR"},
    {"application/x-msp", "MSP"},
    {"application/x-msdos-program", "EXE"},
    {"application/x-sdlc", "EXE"},
    {"application/x-rar", "RAR"},
    {"application/x-rar-compressed", "RAR"},
    {"application/x-shockwave-flash", "SWF"},
    {"application/x-silverlight-app", "XAP"},
    {"video/3gpp", "3GP"},
    {"video/3gpp2", "3GP"},
    {"audio/3gpp", "3GP"},
    {"audio/3gpp2", "3GP"},
    {"video/avi", "AVI"},
    {"video/msvideo", "AVI"},
    {"video/x-msvideo", "AVI"},
    {"video/f4f", "F4F"},
    {"video/flv", "FLV"},
    {"video/x-flash-video", "FLV"},
    {"video/x-flv", "FLV"},
    {"flv-application/octet-stream", "FLV"},
    {"video/mp2t", "TS"},
    {"video/mp4", "MP4"},
    {"video/mpg4", "MP4"},
    {"video/x-mp4", "MP4"},
    {"video/x-mpg4", "MP4"},
    {"video/mpeg", "MPG"},
    {"video/quicktime", "MOV"},
    {"video/webm", "WEBM"},
    {"audio/webm", "WEBM"},
    {"video/x-ms-asf", "ASF"},
    {"video/x-ms-wmv", "WMV"},
    {"audio/mp3", "MP3"},
    {"audio/mpeg", "MP3"},
    {"audio/x-mpeg", "MP3"},
    {"ilm/tm", "MP3"},
    {"audio/x-mp3", "MP3"},
    {"audio/mp4", "M4A"},
    {"audio/mp4a-latm", "M4A"},
    {"audio/mpeg4-generic", "M4A"},
    {"image/svg+xml", "SVG"},
    {"audio/wav", "WAV"},
    {"audio/x-wav", "WAV"},
    {"audio/x-ms-wma", "WMA"},
    {"image/gif", "GIF"},
    {"image/icon", "ICO"},
    {"image/vnd.microsoft.icon", "ICO"},
    {"image/x-icon", "ICO"},
    {"image/jpg", "JPG"},
    {"image/jpeg", "JPG"},
    {"image/png", "PNG"},
    {"image/tiff", "TIF"},
    {"image/webp", "WEBP"},
    {"image/x-xbitmap", "XBM"},
    {"application/x-apple-diskimage", "DMG"},
    {"audio/x-hx-aac-adts", "AAC"},
    {"audio/aac", "AAC"},
    {"audio/x-aac", "AAC"},
    {"application/vnd.rn-realmedia-vbr", "RMVB"},
};

const std::map<std::string, std::string>& mimeTable() {
    static const std::map<std::string, std::string> table = [] {
        std::map<std::string, std::string> built;
        for (const auto& [type, extension] : kMimePairs) {
            built.emplace(type, extension); // the first entry of a type wins
        }
        return built;
    }();
    return table;
}

} // namespace

std::string vornCategory(const std::string& encodedName) {
    const std::string extension = vornTrim(vornToUpper(vornFileExtension(encodedName)));
    if (extension.empty()) {
        return CATEGORY_MISC;
    }
    const std::string dotted = "." + extension;
    const CategoryList* lists = categoryLists();
    for (int i = 0; i < kListCount; ++i) {
        if (vornContains(lists[i].extensions, dotted)) {
            return lists[i].category;
        }
    }
    return CATEGORY_MISC;
}

std::wstring vornCategory(const std::wstring& name) {
    return vornUtf8ToWide(vornCategory(vornPercentEncode(name, true)));
}

const std::string& vornCategoryExtensions(const std::string& category) {
    static const std::string none;
    const CategoryList* lists = categoryLists();
    for (int i = 0; i < kListCount; ++i) {
        if (category == lists[i].category) {
            return lists[i].extensions;
        }
    }
    return none;
}

std::string vornExtensionForMimeType(const std::string& mimeType) {
    const auto& table = mimeTable();
    const auto found = table.find(vornToLower(mimeType));
    return found == table.end() ? std::string() : vornToLower(found->second);
}
