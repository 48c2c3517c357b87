#include "storage/VornDatabase.h"

#include "base/VornException.h"
#include "base/VornFormat.h"
#include "base/VornMime.h"
#include "base/VornText.h"
#include "storage/VornSettings.h"
#include "storage/VornStatement.h"

#include <charconv>
#include <ctime>
#include <sqlite3.h>
#include <sys/stat.h>

namespace {

// Column order matters: rows are read by position.
const char* const kColumns[] = {"id",        "url",       "method",    "filename",       "ltype",
                                "filesize",  "category",  "status",    "bandwidthlimit", "connections",
                                "lasttry",   "firsttry",  "useragent", "resumable",      "pageurl",
                                "pagetitle", "hittitle",  "mimetype",  "errortext",      "urla",
                                "postdata",  "folderpath"};

const char* const kCreateDownloads =
    "CREATE TABLE downloads (\"id\" INTEGER, \"url\" TEXT, \"method\" TEXT, \"filename\" TEXT, \"ltype\" "
    "TEXT, "
    "\"filesize\" NUMERIC, \"category\" TEXT, \"status\" TEXT, \"bandwidthlimit\" NUMERIC, \"connections\" "
    "NUMERIC, \"lasttry\" NUMERIC, \"firsttry\" NUMERIC, \"useragent\" TEXT, \"resumable\" NUMERIC, "
    "\"pageurl\" "
    "TEXT, \"pagetitle\" TEXT, \"hittitle\" TEXT, \"mimetype\" TEXT, \"errortext\" TEXT, \"urla\" TEXT, "
    "\"postdata\" TEXT, \"folderpath\" TEXT, PRIMARY KEY(\"id\"))";
const char* const kCreateHeaders = "CREATE TABLE headers (id NUMERIC, header TEXT)";
const char* const kCreateAuths = "CREATE TABLE auths (id INTEGER PRIMARY KEY AUTOINCREMENT ,target "
                                 "TEXT,protocol TEXT,user TEXT, pass TEXT )";
// Files made before the folderpath column existed gain it here; on a current file this fails harmlessly.
const char* const kAddFolderPath = "ALTER TABLE downloads  ADD COLUMN  folderpath TEXT DEFAULT ''";

const char* const kInsertDownload =
    "insert into downloads(id,url,method,filename,ltype,filesize,category,status,bandwidthlimit,connections,"
    "lasttry,firsttry,useragent,resumable,pageurl,pagetitle,hittitle,mimetype,errortext,urla,postdata,"
    "folderpath) values(?,?,?,?,?,0,?,' ',0,0,?,?,?,-1,?,?,?,?,'',?,?,'')";

int64_t now() {
    return static_cast<int64_t>(std::time(nullptr));
}

bool validOrder(const std::string& order) {
    std::string column = order;
    if (column.ends_with(" desc")) {
        column.resize(column.size() - 5);
    } else if (column.ends_with(" asc")) {
        column.resize(column.size() - 4);
    }
    return VornDatabase::isColumn(column);
}

std::string listedStatus(const std::string& status) {
    for (const char* word :
         {VornDatabase::kStatusComplete, VornDatabase::kStatusPaused, VornDatabase::kStatusError}) {
        if (status.find(word) != std::string::npos) {
            return status;
        }
    }
    return {};
}

// Decimal ids separated by commas, with blanks allowed around them.
std::vector<int64_t> parseIdList(const std::string& list) {
    std::vector<int64_t> ids;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        std::string token = vornTrim(list.substr(start, end - start));
        int64_t id = 0;
        auto [rest, error] = std::from_chars(token.data(), token.data() + token.size(), id);
        if (!token.empty() && error == std::errc() && rest == token.data() + token.size()) {
            ids.push_back(id);
        }
        start = end + 1;
    }
    return ids;
}

void assignUrl(VornUrl& url, const std::string& text) {
    try {
        url = text;
    } catch (const VornException&) {
        // A host that cannot be converted leaves the URL empty, as for a missing row.
        url = VornUrl();
    }
}

} // namespace

void VornDatabase::Closer::operator()(sqlite3* db) const {
    sqlite3_close_v2(db);
}

VornDatabase::VornDatabase() = default;

VornDatabase::~VornDatabase() = default;

bool VornDatabase::open(const std::filesystem::path& dataFolder) {
    m_db.reset();
    m_path = dataFolder / kFileName;
    sqlite3* db = nullptr;
    int result = sqlite3_open_v2(m_path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    m_db.reset(db);
    if (result != SQLITE_OK) {
        m_db.reset();
        return false;
    }
    // Site credentials are stored here; an older file made world-readable is narrowed too.
    ::chmod(m_path.c_str(), 0600);
    sqlite3_busy_timeout(m_db.get(), 5000);
    // A file that is not a database fails here; it is left alone rather than replaced.
    if (!VornStatement(m_db.get(), "select name from sqlite_master").valid()) {
        m_db.reset();
        return false;
    }
    createTables();
    migrate();
    return true;
}

bool VornDatabase::open(const std::wstring& dataFolder) {
    return open(std::filesystem::path(vornWideToUtf8(dataFolder)));
}

void VornDatabase::createTables() {
    const std::pair<const char*, const char*> tables[] = {
        {"downloads", kCreateDownloads}, {"headers", kCreateHeaders}, {"auths", kCreateAuths}};
    for (const auto& [name, declaration] : tables) {
        VornStatement exists(m_db.get(), "select 1 from sqlite_master where type = 'table' and name = ?");
        if (!exists.bind(std::string(name)).next()) {
            execute(declaration);
        }
    }
}

void VornDatabase::migrate() {
    execute(kAddFolderPath);
}

bool VornDatabase::execute(const std::string& sql) {
    return VornStatement(m_db.get(), sql).run();
}

bool VornDatabase::commit() {
    if (execute("COMMIT")) {
        return true;
    }
    execute("ROLLBACK");
    return false;
}

bool VornDatabase::isColumn(const std::string& name) {
    for (const char* column : kColumns) {
        if (name == column) {
            return true;
        }
    }
    return false;
}

std::string VornDatabase::unwrappedValue(const std::string& value) {
    std::string inner = value;
    if (inner.ends_with("'")) {
        inner.pop_back();
    }
    if (inner.starts_with("'")) {
        inner.erase(0, 1);
    }
    return inner;
}

bool VornDatabase::addDownload(const VornDownloadRecord& record) {
    const std::string storedName = record.storedFileName();
    const int64_t time = now();
    execute("BEGIN");
    VornStatement insert(m_db.get(), kInsertDownload);
    insert.bind(record.id).bind(record.url.givenText()).bind(record.method).bind(storedName);
    insert.bind(record.linkType).bind(vornCategory(storedName)).bind(time).bind(time).bind(record.userAgent);
    insert.bind(record.pageUrl).bind(record.pageTitle).bind(record.linkTitle).bind(record.mimeType);
    insert.bind(record.secondUrl.givenText()).bind(record.postData);
    if (!insert.run()) {
        execute("ROLLBACK");
        return false;
    }
    insertHeaders(record);
    return commit();
}

void VornDatabase::insertHeaders(const VornDownloadRecord& record) {
    for (const std::string& header : record.requestHeaders) {
        if (!VornDownloadRecord::isDefaultHeader(header)) {
            VornStatement(m_db.get(), "insert into headers(id,header) values(?,?)")
                .bind(record.id)
                .bind(header)
                .run();
        }
    }
}

std::vector<VornListRow> VornDatabase::listDownloads(const std::string& category,
                                                     const std::string& statusFilter,
                                                     const std::string& order) {
    std::string sql = "select * from downloads";
    std::vector<std::string> conditions;
    if (category != "all") {
        conditions.push_back("category = ?");
    }
    if (statusFilter != "all") {
        conditions.push_back(statusFilter == "complete" ? "status = 'Complete'" : "status <> 'Complete'");
    }
    for (size_t i = 0; i < conditions.size(); ++i) {
        sql += (i == 0 ? " where " : " and ") + conditions[i];
    }
    if (validOrder(order)) {
        sql += " order by " + order;
    }
    VornStatement query(m_db.get(), sql);
    if (category != "all") {
        query.bind(category);
    }
    std::vector<VornListRow> rows;
    while (query.next()) {
        rows.push_back(listRow(query));
    }
    return rows;
}

VornListRow VornDatabase::listRow(const VornStatement& row) {
    VornListRow listed;
    listed.id = static_cast<int32_t>(row.integer(0));
    listed.fileName = vornPercentDecode(row.text(3));
    listed.sizeText = vornSizeTextShort(row.integer(5));
    listed.resumable = static_cast<int32_t>(row.integer(13));
    listed.lastTryText = vornDateText(row.integer(10), false);
    listed.category = row.text(6);
    listed.status = listedStatus(row.text(7));
    return listed;
}

void VornDatabase::setColumn(int32_t id, const std::string& column, const std::wstring& value) {
    if (!isColumn(column)) {
        return;
    }
    VornStatement update(m_db.get(), "update downloads set " + column + " = ? where id = ?");
    update.bind(unwrappedValue(vornPercentEncode(value, false))).bind(id).run();
}

std::string VornDatabase::rename(int32_t id, const std::wstring& fileName) {
    const std::string encoded = vornPercentEncode(fileName, false);
    const std::string category = vornCategory(encoded);
    VornStatement(m_db.get(), "update downloads set filename=? , category = ? where id = ?")
        .bind(encoded)
        .bind(category)
        .bind(id)
        .run();
    return category;
}

std::string VornDatabase::markStarted(int32_t id) {
    const int64_t time = now();
    VornStatement(m_db.get(), "update downloads set status=' ' , lasttry=? where id = ?")
        .bind(time)
        .bind(id)
        .run();
    return vornDateText(time, false);
}

void VornDatabase::deleteDownloads(const std::string& idList) {
    std::vector<int64_t> ids = parseIdList(idList);
    if (ids.empty()) {
        return;
    }
    execute("BEGIN");
    for (int64_t id : ids) {
        VornStatement(m_db.get(), "delete from downloads where id = ?").bind(id).run();
        VornStatement(m_db.get(), "delete from headers where id = ?").bind(id).run();
    }
    commit();
}

VornDownloadRecord VornDatabase::loadRecord(int32_t id) {
    VornDownloadRecord record(id, "", "", static_cast<uint8_t>(VornSettings::maxConnections()),
                              VornSettings::bandWidthLimit(), "normal");
    VornStatement row(m_db.get(), "select * from downloads where id = ?");
    if (!row.bind(id).next()) {
        return record;
    }
    assignUrl(record.url, row.text(1));
    assignUrl(record.secondUrl, row.text(19));
    record.method = row.text(2);
    record.fileName = vornPercentDecode(row.text(3));
    record.linkType = row.text(4);
    if (int32_t limit = static_cast<int32_t>(row.integer(8)); limit != 0) {
        record.bandwidthLimit = limit;
    }
    if (uint8_t connections = static_cast<uint8_t>(row.integer(9) & 0xFF); connections != 0) {
        record.connections = connections;
    }
    record.userAgent = row.text(12);
    record.pageUrl = row.text(14);
    record.pageTitle = row.text(15);
    record.linkTitle = row.text(16);
    record.mimeType = row.text(17);
    record.fileSize = row.integer(5);
    record.postData = row.text(20);

    static const std::string referer = "Referer: ";
    VornStatement headers(m_db.get(), "select * from headers where id = ? order by rowid");
    headers.bind(id);
    while (headers.next()) {
        std::string line = headers.text(1);
        if (line.starts_with(referer)) {
            record.referrer = line.substr(referer.size());
        }
        record.requestHeaders.push_back(line);
    }
    return record;
}

std::wstring VornDatabase::columnText(int32_t id, const std::string& column) {
    if (!isColumn(column)) {
        return {};
    }
    VornStatement query(m_db.get(), "select " + column + " from downloads where id = ?");
    return query.bind(id).next() ? vornPercentDecode(query.text(0)) : std::wstring();
}

std::wstring VornDatabase::folderPath(int32_t id) {
    return columnText(id, "folderpath");
}

void VornDatabase::updateRequest(const VornDownloadRecord& record) {
    const bool withMimeType = !record.mimeType.empty();
    std::string sql = "update downloads set url=?, pageurl=?, postdata=?, pagetitle=?";
    sql += withMimeType ? ", mimetype=? where id=?" : " where id=?";
    execute("BEGIN");
    VornStatement update(m_db.get(), sql);
    update.bind(record.url.givenText()).bind(record.pageUrl).bind(record.postData).bind(record.pageTitle);
    if (withMimeType) {
        update.bind(record.mimeType);
    }
    update.bind(record.id).run();
    VornStatement(m_db.get(), "delete from headers where id=?").bind(record.id).run();
    insertHeaders(record);
    commit();
}

int32_t VornDatabase::largestDownloadId() {
    VornStatement query(m_db.get(), "select max(id) from downloads");
    return query.next() ? static_cast<int32_t>(query.integer(0)) : 0;
}
