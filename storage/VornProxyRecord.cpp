#include "storage/VornProxyRecord.h"

#include "base/VornHashScramble.h"
#include "storage/VornSettings.h"

VornProxyRecord VornProxyRecord::read(int32_t protocol) {
    const std::string name = prefix(protocol);
    VornProxyRecord record;
    record.enabled = VornSettings::readFlag01(name + "_IsActive") ? 1 : 0;
    record.proxyType = VornSettings::readInteger(name + "_ProxyType", kTypeHttp);
    record.address = VornSettings::readText(name + "_ProxyAddress", "");
    record.port = static_cast<uint16_t>(VornSettings::readInteger(name + "_ProxyPort", 0) & 0xFFFF);
    record.userName = VornSettings::readText(name + "_UserName", "");
    record.password = vornUnscramble(VornSettings::readText(name + "_PassWord", ""));
    return record;
}

bool VornProxyRecord::write(int32_t protocol, const VornProxyRecord& record) {
    // A password the scrambled block cannot hold would be stored as empty: keep the old record instead.
    if (record.password.size() > VORN_SCRAMBLE_MAX_PASSWORD)
        return false;
    const std::string name = prefix(protocol);
    return VornSettings::file().write({
        {name + "_IsActive", record.enabled != 0 ? 1 : 0},
        {name + "_ProxyType", record.proxyType},
        {name + "_ProxyAddress", record.address},
        {name + "_ProxyPort", static_cast<int32_t>(record.port)},
        {name + "_UserName", record.userName},
        {name + "_PassWord", vornScramble(record.password)},
    });
}

std::string VornProxyRecord::prefix(int32_t protocol) {
    switch (protocol) {
    case 1:
        return "HTTP";
    case 2:
        return "HTTPS";
    case 3:
        return "FTP";
    default:
        return "UNKOWN";
    }
}
