#include "storage/VornSettings.h"

#include "base/VornKnownFolders.h"
#include "storage/VornAutoStart.h"

namespace {

int32_t lowByte(int32_t value) {
    return value & 0xFF;
}

// Counted as the DWORD it is, so the step past the signed range wraps instead of overflowing.
int32_t following(int32_t last) {
    return static_cast<int32_t>(static_cast<uint32_t>(last) + 1u);
}

} // namespace

VornSettingsFile VornSettings::file() {
    return VornSettingsFile(VornKnownFolders::settingsFolder());
}

int32_t VornSettings::readInteger(const std::string& name, int32_t defaultValue) {
    std::optional<VornSettingValue> value = file().read(name);
    const int32_t* number = value ? std::get_if<int32_t>(&*value) : nullptr;
    return number ? *number : defaultValue;
}

bool VornSettings::readFlag01(const std::string& name) {
    return readInteger(name, 0) == 1;
}

bool VornSettings::readFlag12(const std::string& name) {
    return readInteger(name, 0) < 2;
}

std::string VornSettings::readText(const std::string& name, const std::string& defaultValue) {
    std::optional<VornSettingValue> value = file().read(name);
    const std::string* text = value ? std::get_if<std::string>(&*value) : nullptr;
    return text && !text->empty() ? *text : defaultValue;
}

bool VornSettings::writeInteger(const std::string& name, int32_t value) {
    return file().write(name, value);
}

bool VornSettings::writeFlag01(const std::string& name, bool on) {
    return writeInteger(name, on ? 1 : 0);
}

bool VornSettings::writeFlag12(const std::string& name, bool on) {
    return writeInteger(name, on ? 1 : 2);
}

bool VornSettings::writeText(const std::string& name, const std::string& text) {
    return file().write(name, text);
}

int32_t VornSettings::maxConnections() {
    int32_t count = lowByte(readInteger(kMaxConnections, 8));
    switch (count) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 12:
    case 16:
    case 24:
    case 32:
        return count;
    default:
        return 8;
    }
}

int32_t VornSettings::bandWidthLimit() {
    return readInteger(kBandWidthLimit, 0);
}

bool VornSettings::connectionsAtOnce() {
    return readFlag12(kConnectionsAtOnce);
}

bool VornSettings::completionDialog() {
    return readFlag12(kCompletionDialog);
}

bool VornSettings::categoryFolders() {
    return readFlag12(kCategoryFolders);
}

bool VornSettings::appAutoStart() {
    return readFlag12(kAppAutoStart);
}

int32_t VornSettings::socksVersion() {
    int32_t version = lowByte(readInteger(kSocksVersion, 5));
    return version == 4 ? 4 : 5;
}

bool VornSettings::setMaxConnections(int32_t count) {
    return writeInteger(kMaxConnections, count);
}

bool VornSettings::setBandWidthLimit(int32_t kilobytesPerSecond) {
    return writeInteger(kBandWidthLimit, kilobytesPerSecond);
}

bool VornSettings::setConnectionsAtOnce(bool on) {
    return writeFlag12(kConnectionsAtOnce, on);
}

bool VornSettings::setCompletionDialog(bool on) {
    return writeFlag12(kCompletionDialog, on);
}

bool VornSettings::setCategoryFolders(bool on) {
    return writeFlag12(kCategoryFolders, on);
}

bool VornSettings::setSocksVersion(int32_t version) {
    return writeInteger(kSocksVersion, version);
}

int32_t VornSettings::nextDownloadId() {
    std::optional<int32_t> id;
    file().update(kLastDownloadId, [&id](const std::optional<VornSettingValue>& current) {
        const int32_t* last = current ? std::get_if<int32_t>(&*current) : nullptr;
        id = following(last ? *last : 0);
        return std::optional<VornSettingValue>(*id);
    });
    // A store that could not be locked still hands out the id after the last one it can read.
    return id ? *id : following(readInteger(kLastDownloadId, 0));
}

void VornSettings::setAutoStart(bool on) {
    setAutoStart(on, VornAutoStart::programPath());
}

void VornSettings::setAutoStart(bool on, const std::filesystem::path& programPath) {
    writeFlag12(kAppAutoStart, on);
    if (!on) {
        // Removing needs no program path: an entry left behind would start the program against the setting.
        VornAutoStart::remove();
    } else if (!programPath.empty()) {
        VornAutoStart::write(programPath);
    }
}
