// The stored site credentials of the download database (table auths).
#include "storage/VornDatabase.h"

#include "base/VornHashScramble.h"
#include "base/VornText.h"
#include "storage/VornStatement.h"

namespace {

std::string target(const VornDownloadRecord& record) {
    return vornToLower(record.url.host());
}

} // namespace

std::string VornDatabase::protocolName(int32_t kind) {
    switch (kind) {
    case 1:
        return "http";
    case 2:
        return "https";
    case 3:
        return "ftp";
    default:
        return "unkown";
    }
}

bool VornDatabase::findCredentials(const VornDownloadRecord& record, std::string& user,
                                   std::string& password) {
    VornStatement query(m_db.get(), "select * from auths where protocol = ? and target=?");
    if (!query.bind(protocolName(record.url.kind())).bind(target(record)).next()) {
        return false;
    }
    user = query.text(3);
    password = vornUnscramble(query.text(4));
    return true;
}

bool VornDatabase::saveCredentials(const VornDownloadRecord& record, const std::string& user,
                                   const std::string& password) {
    if (password.size() > VORN_SCRAMBLE_MAX_PASSWORD)
        return false;
    const std::string protocol = protocolName(record.url.kind());
    const std::string host = target(record);
    const std::string scrambled = vornScramble(password);
    VornStatement existing(m_db.get(), "select id from auths where protocol = ? and target=?");
    if (existing.bind(protocol).bind(host).next()) {
        return VornStatement(m_db.get(), "update auths set user=? , pass=? where id=?")
            .bind(user)
            .bind(scrambled)
            .bind(existing.integer(0))
            .run();
    }
    return VornStatement(m_db.get(), "insert into auths(target,protocol,user,pass) values(?,?,?,?)")
        .bind(host)
        .bind(protocol)
        .bind(user)
        .bind(scrambled)
        .run();
}

std::vector<VornCredentialEntry> VornDatabase::listCredentials() {
    std::vector<VornCredentialEntry> entries;
    VornStatement query(m_db.get(), "select * from auths order by id");
    while (query.next()) {
        entries.push_back(
            {static_cast<int32_t>(query.integer(0)), query.text(2), query.text(1), query.text(3), "XXXXXX"});
    }
    return entries;
}

std::vector<VornCredentialEntry> VornDatabase::deleteCredentials(int32_t id) {
    VornStatement(m_db.get(), "delete from auths where id=?").bind(id).run();
    return listCredentials();
}
