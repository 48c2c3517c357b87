#include "storage/VornDatabase.h"
#include "base/VornFormat.h"
#include "storage/VornSettings.h"
#include "storage/VornStatement.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <ctime>
#include <sqlite3.h>

namespace fs = std::filesystem;

namespace {

// A second, independent connection to the file, to see exactly what was stored.
class RawDatabase {
public:
    explicit RawDatabase(const fs::path& path) { sqlite3_open(path.c_str(), &m_db); }
    ~RawDatabase() { sqlite3_close(m_db); }
    bool run(const std::string& sql) { return VornStatement(m_db, sql).run(); }
    std::string text(const std::string& sql) {
        VornStatement query(m_db, sql);
        return query.next() ? query.text(0) : "<no row>";
    }
    int64_t integer(const std::string& sql) {
        VornStatement query(m_db, sql);
        return query.next() ? query.integer(0) : -999;
    }
    std::vector<std::string> column(const std::string& sql) {
        std::vector<std::string> values;
        VornStatement query(m_db, sql);
        while (query.next()) {
            values.push_back(query.text(0));
        }
        return values;
    }

private:
    sqlite3* m_db = nullptr;
};

class Database : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_db.open(m_folder.path())); }
    fs::path dbPath() const { return m_folder / "VornDB.db"; }
    RawDatabase raw() const { return RawDatabase(dbPath()); }

    VornDownloadRecord record(int32_t id, const std::string& url) {
        return VornDownloadRecord(id, url, "", 8, 0, "normal");
    }
    void add(int32_t id, const std::string& url) { ASSERT_TRUE(m_db.addDownload(record(id, url))); }

    TempHome m_home;
    TempDir m_folder;
    VornDatabase m_db;
};

const char* const kDownloadColumns[] = {
    "id",        "url",       "method",         "filename",    "ltype",    "filesize",
    "category",  "status",    "bandwidthlimit", "connections", "lasttry",  "firsttry",
    "useragent", "resumable", "pageurl",        "pagetitle",   "hittitle", "mimetype",
    "errortext", "urla",      "postdata",       "folderpath"};

TEST_F(Database, FirstOpenCreatesTheFileWithTheThreeTables) {
    EXPECT_TRUE(fs::exists(dbPath()));
    EXPECT_EQ(m_db.path(), dbPath());
    RawDatabase db = raw();
    std::vector<std::string> names =
        db.column("select name from pragma_table_info('downloads') order by cid");
    EXPECT_EQ(names, std::vector<std::string>(std::begin(kDownloadColumns), std::end(kDownloadColumns)));
    EXPECT_EQ(db.text("select type from pragma_table_info('downloads') where name='filesize'"), "NUMERIC");
    EXPECT_EQ(db.text("select type from pragma_table_info('downloads') where name='pagetitle'"), "TEXT");
    EXPECT_EQ(db.integer("select pk from pragma_table_info('downloads') where name='id'"), 1);
    EXPECT_EQ(db.text("select sql from sqlite_master where name='headers'"),
              "CREATE TABLE headers (id NUMERIC, header TEXT)");
    EXPECT_EQ(
        db.text("select sql from sqlite_master where name='auths'"),
        "CREATE TABLE auths (id INTEGER PRIMARY KEY AUTOINCREMENT ,target TEXT,protocol TEXT,user TEXT, "
        "pass TEXT )");
    EXPECT_EQ(db.integer("select count(*) from sqlite_master where name='sqlite_sequence'"), 1);
    // The declared layout has folderpath without a default.
    EXPECT_EQ(db.text("select ifnull(dflt_value, 'none') from pragma_table_info('downloads') "
                      "where name='folderpath'"),
              "none");
}

TEST_F(Database, TheFileIsTheOwnersOnlyEvenWhenAnOlderOneWasOpen) {
    const fs::perms ownerOnly = fs::perms::owner_read | fs::perms::owner_write;
    EXPECT_EQ(fs::status(dbPath()).permissions() & fs::perms::all, ownerOnly);
    fs::permissions(dbPath(), ownerOnly | fs::perms::group_read | fs::perms::others_read);
    VornDatabase again;
    ASSERT_TRUE(again.open(m_folder.path()));
    EXPECT_EQ(fs::status(dbPath()).permissions() & fs::perms::all, ownerOnly);
}

TEST_F(Database, ReopeningKeepsTheRows) {
    add(5, "http://h/a.zip");
    VornDatabase again;
    ASSERT_TRUE(again.open(m_folder.path()));
    EXPECT_EQ(again.listDownloads("all", "all", "id").size(), 1u);
    EXPECT_EQ(raw().integer("select count(*) from pragma_table_info('downloads')"), 22);
}

TEST(DatabaseFile, OlderFileGainsTheFolderPathColumn) {
    TempHome home;
    TempDir folder;
    {
        RawDatabase old(folder / "VornDB.db");
        std::string declaration = "CREATE TABLE downloads (";
        for (size_t i = 0; i + 1 < std::size(kDownloadColumns); ++i) {
            declaration += std::string(i ? ", " : "") + "\"" + kDownloadColumns[i] + "\"";
        }
        ASSERT_TRUE(old.run(declaration + ", PRIMARY KEY(\"id\"))"));
        ASSERT_TRUE(old.run("CREATE TABLE headers (id NUMERIC, header TEXT)"));
        ASSERT_TRUE(old.run("insert into downloads(id, url, filename) values(3, 'http://h/x', 'x')"));
    }
    VornDatabase db;
    ASSERT_TRUE(db.open(folder.path()));
    RawDatabase check(folder / "VornDB.db");
    EXPECT_EQ(check.text("select name from pragma_table_info('downloads') where cid = 21"), "folderpath");
    EXPECT_EQ(check.text("select dflt_value from pragma_table_info('downloads') where name='folderpath'"),
              "''");
    EXPECT_EQ(db.folderPath(3), L"");
    EXPECT_EQ(check.text("select folderpath from downloads where id = 3"), "");
    // The missing credentials table is added too.
    db.saveCredentials(VornDownloadRecord(1, "http://h/", "", 8, 0, "normal"), "u", "p");
    EXPECT_EQ(db.listCredentials().size(), 1u);
}

TEST(DatabaseFile, FileThatIsNotADatabaseIsLeftAloneAndEveryCallIsANoOp) {
    TempHome home;
    TempDir folder;
    const std::string garbage(4096, 'x');
    writeWholeFile(folder / "VornDB.db", garbage);
    VornDatabase db;
    EXPECT_FALSE(db.open(folder.path()));
    EXPECT_FALSE(db.isOpen());
    EXPECT_FALSE(db.addDownload(VornDownloadRecord(1, "http://h/a", "", 8, 0, "normal")));
    EXPECT_TRUE(db.listDownloads("all", "all", "id").empty());
    EXPECT_EQ(db.loadRecord(1).url.givenText(), "");
    EXPECT_EQ(db.columnText(1, "url"), L"");
    EXPECT_EQ(db.markStarted(1).empty(), false);
    db.deleteDownloads("1");
    EXPECT_EQ(readWholeFile(folder / "VornDB.db"), garbage);
}

TEST(DatabaseFile, OpensInAFolderGivenAsWideText) {
    TempHome home;
    TempDir folder;
    const fs::path named = folder / "Daten \xC3\xA9t\xC3\xA9";
    fs::create_directories(named);
    VornDatabase db;
    ASSERT_TRUE(db.open(folder.path().wstring() + L"/Daten \u00e9t\u00e9/"));
    EXPECT_TRUE(fs::exists(named / "VornDB.db"));
}

TEST(DatabaseFile, MissingFolderFailsToOpen) {
    TempDir folder;
    VornDatabase db;
    EXPECT_FALSE(db.open(folder / "missing"));
    EXPECT_FALSE(fs::exists(folder / "missing"));
}

TEST_F(Database, AddDownloadStoresTheTextsOfANewDownload) {
    VornDownloadRecord r(12, "http://Example.com/files/my report.pdf", "http://example.com/audio.webm", 16,
                         500, "media");
    r.method = "POST";
    r.fileName = L"my report.pdf";
    r.pageUrl = "http://example.com/page";
    r.pageTitle = "Report page";
    r.linkTitle = "Quarterly";
    r.mimeType = "application/pdf";
    r.postData = "a=1&b=2";
    r.requestHeaders.push_back("Cookie: session=abc");
    r.requestHeaders.push_back("Accept: text/html");
    r.requestHeaders.push_back("Referer: http://example.com/page");
    const int64_t before = std::time(nullptr);
    ASSERT_TRUE(m_db.addDownload(r));
    const int64_t after = std::time(nullptr);

    RawDatabase db = raw();
    const std::string where = " from downloads where id = 12";
    struct Expect {
        const char* column;
        const char* text;
    } texts[] = {
        {"url", "http://Example.com/files/my report.pdf"},
        {"method", "POST"},
        {"filename", "my%20report.pdf"},
        {"ltype", "media"},
        {"filesize", "0"},
        {"category", "Document"},
        {"status", " "},
        {"bandwidthlimit", "0"},
        {"connections", "0"},
        {"useragent", VornDownloadRecord::kDefaultUserAgent},
        {"resumable", "-1"},
        {"pageurl", "http://example.com/page"},
        {"pagetitle", "Report page"},
        {"hittitle", "Quarterly"},
        {"mimetype", "application/pdf"},
        {"errortext", ""},
        {"urla", "http://example.com/audio.webm"},
        {"postdata", "a=1&b=2"},
        {"folderpath", ""},
    };
    for (const Expect& e : texts) {
        EXPECT_EQ(db.text(std::string("select ") + e.column + where), e.text) << e.column;
    }
    EXPECT_EQ(db.text("select typeof(filesize)" + where), "integer");
    int64_t lasttry = db.integer("select lasttry" + where);
    EXPECT_GE(lasttry, before);
    EXPECT_LE(lasttry, after);
    EXPECT_EQ(db.integer("select firsttry" + where), lasttry);
    EXPECT_EQ(db.column("select header from headers where id = 12 order by rowid"),
              (std::vector<std::string>{"Cookie: session=abc", "Referer: http://example.com/page"}));
}

TEST_F(Database, AddDownloadWithoutAFileNameStoresTheDerivedOne) {
    ASSERT_TRUE(m_db.addDownload(record(1, "http://h/dir/two%20words.mkv")));
    EXPECT_EQ(raw().text("select filename from downloads where id = 1"), "two%20words.mkv");
    EXPECT_EQ(raw().text("select category from downloads where id = 1"), "Video");
    EXPECT_EQ(m_db.listDownloads("all", "all", "id").at(0).fileName, L"two words.mkv");
}

TEST_F(Database, AddDownloadWithATakenIdStoresNothing) {
    VornDownloadRecord first = record(4, "http://h/first.zip");
    first.requestHeaders.push_back("Cookie: first");
    ASSERT_TRUE(m_db.addDownload(first));
    VornDownloadRecord second = record(4, "http://h/second.zip");
    second.requestHeaders.push_back("Cookie: second");
    EXPECT_FALSE(m_db.addDownload(second));
    EXPECT_EQ(raw().text("select url from downloads where id = 4"), "http://h/first.zip");
    EXPECT_EQ(raw().column("select header from headers where id = 4"),
              std::vector<std::string>{"Cookie: first"});
}

// Values from browsers and servers that would break a statement built as text.
TEST_F(Database, HostileValuesRoundTripUnchanged) {
    const std::string values[] = {
        "O'Brien",
        "'wrapped'",
        "'",
        "ends with quote'",
        "x'); delete from downloads; --",
        "100% sure; really",
        "%27%22%3B",
        "Gr\xC3\xBC\xC3\x9F"
        "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80",
        "back\\slash \"double\"",
        "line\r\nbreak",
    };
    int32_t id = 100;
    for (const std::string& value : values) {
        VornDownloadRecord r(id, "http://h/f.bin?q=" + value, "", 8, 0, "normal");
        r.method = value;
        r.pageTitle = value;
        r.pageUrl = value;
        r.postData = value;
        r.linkTitle = value;
        r.mimeType = value;
        r.userAgent = value;
        r.linkType = value;
        r.requestHeaders.push_back("X-Value: " + value);
        ASSERT_TRUE(m_db.addDownload(r)) << value;

        VornDownloadRecord loaded = m_db.loadRecord(id);
        EXPECT_EQ(loaded.url.givenText(), "http://h/f.bin?q=" + value);
        EXPECT_EQ(loaded.method, value);
        EXPECT_EQ(loaded.pageTitle, value);
        EXPECT_EQ(loaded.pageUrl, value);
        EXPECT_EQ(loaded.postData, value);
        EXPECT_EQ(loaded.linkTitle, value);
        EXPECT_EQ(loaded.mimeType, value);
        EXPECT_EQ(loaded.userAgent, value);
        EXPECT_EQ(loaded.linkType, value);
        EXPECT_EQ(loaded.requestHeaders.back(), "X-Value: " + value);
        ++id;
    }
    EXPECT_EQ(m_db.listDownloads("all", "all", "id").size(), std::size(values));
}

TEST_F(Database, LoadRecordOfAMissingIdUsesTheSettings) {
    VornSettings::setMaxConnections(16);
    VornSettings::setBandWidthLimit(300);
    VornDownloadRecord r = m_db.loadRecord(77);
    EXPECT_EQ(r.id, 77);
    EXPECT_EQ(r.url.givenText(), "");
    EXPECT_FALSE(r.hasSecondUrl());
    EXPECT_EQ(r.connections, 16);
    EXPECT_EQ(r.bandwidthLimit, 300);
    EXPECT_EQ(r.linkType, "normal");
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.userAgent, VornDownloadRecord::kDefaultUserAgent);
    EXPECT_EQ(r.requestHeaders, VornDownloadRecord::defaultHeaders());
}

TEST_F(Database, LoadRecordReadsTheStoredFields) {
    VornDownloadRecord r(9, "http://h/v.webm", "http://h/a.webm", 8, 0, "media");
    r.fileName = L"\u00e9t\u00e9 clip.mkv";
    r.requestHeaders.push_back("Cookie: c=1");
    r.requestHeaders.push_back("Referer: http://page.example/watch?v=1");
    r.requestHeaders.push_back("Accept-Encoding: gzip");
    ASSERT_TRUE(m_db.addDownload(r));
    m_db.setColumn(9, "filesize", L"12345678901");
    VornDownloadRecord loaded = m_db.loadRecord(9);
    EXPECT_EQ(loaded.url.fullUrl(), "http://h/v.webm");
    EXPECT_EQ(loaded.secondUrl.fullUrl(), "http://h/a.webm");
    EXPECT_EQ(loaded.fileName, L"\u00e9t\u00e9 clip.mkv");
    EXPECT_EQ(loaded.fileSize, 12345678901);
    EXPECT_EQ(loaded.referrer, "http://page.example/watch?v=1");
    std::vector<std::string> headers = VornDownloadRecord::defaultHeaders();
    headers.push_back("Cookie: c=1");
    headers.push_back("Referer: http://page.example/watch?v=1");
    EXPECT_EQ(loaded.requestHeaders, headers);
}

TEST_F(Database, LoadRecordTakesLimitsFromTheRowUnlessZero) {
    VornSettings::setMaxConnections(12);
    VornSettings::setBandWidthLimit(50);
    add(1, "http://h/a");
    struct Case {
        const wchar_t* connections;
        const wchar_t* limit;
        uint8_t expectedConnections;
        int64_t expectedLimit;
    } cases[] = {
        {L"0", L"0", 12, 50},
        {L"4", L"700", 4, 700},
        {L"260", L"-1", 4, -1},
        {L"256", L"4294967296", 12, 50},
    };
    for (const Case& c : cases) {
        m_db.setColumn(1, "connections", c.connections);
        m_db.setColumn(1, "bandwidthlimit", c.limit);
        VornDownloadRecord loaded = m_db.loadRecord(1);
        EXPECT_EQ(loaded.connections, c.expectedConnections) << c.connections;
        EXPECT_EQ(loaded.bandwidthLimit, c.expectedLimit) << c.limit;
    }
}

TEST_F(Database, ListDownloadsFiltersAndOrders) {
    struct Row {
        int32_t id;
        const char* url;
        const wchar_t* status;
        const wchar_t* lasttry;
    } rows[] = {
        {1, "http://h/a.mp4", L"'Complete'", L"100"},
        {2, "http://h/b.mp4", L"' '", L"300"},
        {3, "http://h/c.zip", L"'Complete'", L"200"},
        {4, "http://h/d.mkv", L"'Paused (50.00% )'", L"400"},
    };
    for (const Row& row : rows) {
        add(row.id, row.url);
        m_db.setColumn(row.id, "status", row.status);
        m_db.setColumn(row.id, "lasttry", row.lasttry);
    }
    auto ids = [this](const std::string& category, const std::string& filter, const std::string& order) {
        std::vector<int32_t> result;
        for (const VornListRow& row : m_db.listDownloads(category, filter, order)) {
            result.push_back(row.id);
        }
        return result;
    };
    EXPECT_EQ(ids("all", "all", "lasttry desc"), (std::vector<int32_t>{4, 2, 3, 1}));
    EXPECT_EQ(ids("all", "all", "lasttry"), (std::vector<int32_t>{1, 3, 2, 4}));
    EXPECT_EQ(ids("Video", "complete", "id"), (std::vector<int32_t>{1}));
    EXPECT_EQ(ids("Video", "incomplete", "id"), (std::vector<int32_t>{2, 4}));
    EXPECT_EQ(ids("all", "complete", "id desc"), (std::vector<int32_t>{3, 1}));
    EXPECT_EQ(ids("Compressed", "all", "id"), (std::vector<int32_t>{3}));
    EXPECT_EQ(ids("Vid'eo", "all", "id"), (std::vector<int32_t>{}));
    // An order that is not a column is left out rather than run.
    EXPECT_EQ(ids("all", "all", "id; delete from downloads").size(), 4u);
    EXPECT_EQ(ids("all", "all", "nosuchcolumn desc").size(), 4u);
    EXPECT_EQ(raw().integer("select count(*) from downloads"), 4);
}

TEST_F(Database, ListRowsCarryTheDisplayTexts) {
    VornDownloadRecord r = record(1, "http://h/x");
    r.fileName = L"two words.zip";
    ASSERT_TRUE(m_db.addDownload(r));
    m_db.setColumn(1, "filesize", L"1500");
    m_db.setColumn(1, "resumable", L"1");
    m_db.setColumn(1, "lasttry", L"0");
    struct Case {
        const wchar_t* stored;
        const char* listed;
    } cases[] = {
        {L"' '", ""},
        {L"'Complete'", "Complete"},
        {L"'Paused (50.00% )'", "Paused (50.00% )"},
        {L"'Error (7.25% )'", "Error (7.25% )"},
        {L"'Running'", ""},
    };
    for (const Case& c : cases) {
        m_db.setColumn(1, "status", c.stored);
        std::vector<VornListRow> rows = m_db.listDownloads("all", "all", "id");
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].status, c.listed) << c.listed;
        EXPECT_EQ(rows[0].id, 1);
        EXPECT_EQ(rows[0].fileName, L"two words.zip");
        EXPECT_EQ(rows[0].sizeText, "1.5 KB");
        EXPECT_EQ(rows[0].resumable, 1);
        EXPECT_EQ(rows[0].lastTryText, " ");
        EXPECT_EQ(rows[0].category, "Compressed");
    }
    m_db.setColumn(1, "lasttry", L"1700000000");
    EXPECT_EQ(m_db.listDownloads("all", "all", "id").at(0).lastTryText, vornDateText(1700000000, false));
}

TEST_F(Database, SetColumnStoresPercentEncodedTextWithoutItsWrappingQuotes) {
    add(1, "http://h/a");
    struct Case {
        const char* column;
        const wchar_t* value;
        const char* stored;
        const char* type;
    } cases[] = {
        {"errortext", L"'Connection refused'", "Connection refused", "text"},
        {"errortext", L"'O'Brien's server said \"no\"'", "O'Brien's server said %22no%22", "text"},
        {"errortext", L"'Fehler: Zeit\u00fcberschreitung'", "Fehler: Zeit%C3%BCberschreitung", "text"},
        {"errortext", L"'50%; then'", "50%; then", "text"},
        {"errortext", L"''", "", "text"},
        {"folderpath", L"'/home/ann/Downloads/Video/'", "/home/ann/Downloads/Video/", "text"},
        {"mimetype", L"'video/mp4'", "video/mp4", "text"},
        {"filesize", L"123456789012", "123456789012", "integer"},
        {"resumable", L"-1", "-1", "integer"},
        {"connections", L"'8'", "8", "integer"},
    };
    for (const Case& c : cases) {
        m_db.setColumn(1, c.column, c.value);
        EXPECT_EQ(raw().text(std::string("select ") + c.column + " from downloads where id = 1"), c.stored)
            << c.column;
        EXPECT_EQ(raw().text(std::string("select typeof(") + c.column + ") from downloads where id = 1"),
                  c.type)
            << c.column;
    }
    m_db.setColumn(1, "errortext", L"'Zeit\u00fcberschreitung'");
    EXPECT_EQ(m_db.columnText(1, "errortext"), L"Zeit\u00fcberschreitung");
    m_db.setColumn(1, "folderpath", L"'/tmp/\u65e5\u672c/'");
    EXPECT_EQ(m_db.folderPath(1), L"/tmp/\u65e5\u672c/");
}

TEST_F(Database, ColumnNamesOutsideTheTableAreRefused) {
    add(1, "http://h/a");
    m_db.setColumn(1, "status = 'x', url", L"'changed'");
    m_db.setColumn(1, "nosuch", L"'x'");
    EXPECT_EQ(raw().text("select url from downloads where id = 1"), "http://h/a");
    EXPECT_EQ(raw().text("select status from downloads where id = 1"), " ");
    EXPECT_EQ(m_db.columnText(1, "url from downloads; --"), L"");
    EXPECT_EQ(m_db.columnText(1, "url"), L"http://h/a");
    EXPECT_EQ(m_db.columnText(2, "url"), L"");
}

TEST_F(Database, ColumnTextReadsNumbersAsText) {
    add(1, "http://h/a");
    m_db.setColumn(1, "firsttry", L"1700000000");
    EXPECT_EQ(m_db.columnText(1, "firsttry"), L"1700000000");
}

TEST_F(Database, RenameStoresTheNameWithBlanksAndReturnsItsCategory) {
    add(1, "http://h/a.bin");
    EXPECT_EQ(m_db.rename(1, L"holiday video.MP4"), "Video");
    EXPECT_EQ(raw().text("select filename from downloads where id = 1"), "holiday video.MP4");
    EXPECT_EQ(raw().text("select category from downloads where id = 1"), "Video");
    EXPECT_EQ(m_db.rename(1, L"it's \u00e9t\u00e9.mp3"), "Audio");
    EXPECT_EQ(raw().text("select filename from downloads where id = 1"), "it's %C3%A9t%C3%A9.mp3");
    EXPECT_EQ(m_db.listDownloads("all", "all", "id").at(0).fileName, L"it's \u00e9t\u00e9.mp3");
}

TEST_F(Database, MarkStartedClearsTheStatusAndStampsTheTime) {
    add(1, "http://h/a");
    m_db.setColumn(1, "status", L"'Paused (10.00% )'");
    m_db.setColumn(1, "lasttry", L"5");
    const int64_t before = std::time(nullptr);
    std::string shown = m_db.markStarted(1);
    RawDatabase db = raw();
    EXPECT_EQ(db.text("select status from downloads where id = 1"), " ");
    int64_t lasttry = db.integer("select lasttry from downloads where id = 1");
    EXPECT_GE(lasttry, before);
    EXPECT_EQ(shown, vornDateText(lasttry, false));
}

TEST_F(Database, DeleteDownloadsRemovesRowsAndHeadersOfTheListedIds) {
    for (int32_t id : {1, 2, 3}) {
        VornDownloadRecord r = record(id, "http://h/" + std::to_string(id));
        r.requestHeaders.push_back("Cookie: " + std::to_string(id));
        ASSERT_TRUE(m_db.addDownload(r));
    }
    m_db.deleteDownloads("1) or (1=1");
    m_db.deleteDownloads("");
    EXPECT_EQ(raw().integer("select count(*) from downloads"), 3);
    m_db.deleteDownloads("1, 3,x");
    EXPECT_EQ(raw().column("select id from downloads"), std::vector<std::string>{"2"});
    EXPECT_EQ(raw().column("select header from headers"), std::vector<std::string>{"Cookie: 2"});
}

TEST_F(Database, UpdateRequestReplacesTheRequestData) {
    VornDownloadRecord r = record(1, "http://h/old");
    r.mimeType = "video/mp4";
    r.requestHeaders.push_back("Cookie: old");
    ASSERT_TRUE(m_db.addDownload(r));

    VornDownloadRecord fresh = record(1, "http://h/new?token='x'");
    fresh.pageUrl = "http://page/new";
    fresh.postData = "k='v'";
    fresh.pageTitle = "'New' title";
    fresh.requestHeaders.push_back("Cookie: new");
    fresh.requestHeaders.push_back("Accept-Language: fr");
    m_db.updateRequest(fresh);
    RawDatabase db = raw();
    EXPECT_EQ(db.text("select url from downloads where id = 1"), "http://h/new?token='x'");
    EXPECT_EQ(db.text("select pageurl from downloads where id = 1"), "http://page/new");
    EXPECT_EQ(db.text("select postdata from downloads where id = 1"), "k='v'");
    EXPECT_EQ(db.text("select pagetitle from downloads where id = 1"), "'New' title");
    EXPECT_EQ(db.text("select mimetype from downloads where id = 1"), "video/mp4");
    EXPECT_EQ(db.column("select header from headers where id = 1"), std::vector<std::string>{"Cookie: new"});

    fresh.mimeType = "audio/mp4";
    m_db.updateRequest(fresh);
    EXPECT_EQ(raw().text("select mimetype from downloads where id = 1"), "audio/mp4");
}

TEST_F(Database, LargestDownloadId) {
    EXPECT_EQ(m_db.largestDownloadId(), 0);
    add(7, "http://h/a");
    add(3, "http://h/b");
    EXPECT_EQ(m_db.largestDownloadId(), 7);
}

TEST_F(Database, CredentialsAreKeptOnePerHostAndProtocol) {
    VornDownloadRecord site = record(1, "https://Files.Example.com/x");
    std::string user = "unchanged";
    std::string password = "unchanged";
    EXPECT_FALSE(m_db.findCredentials(site, user, password));
    EXPECT_EQ(user, "unchanged");
    EXPECT_EQ(password, "unchanged");

    m_db.saveCredentials(site, "ann", "first'pass");
    m_db.saveCredentials(site, "o'brien", "second; pass");
    RawDatabase db = raw();
    EXPECT_EQ(db.integer("select count(*) from auths"), 1);
    EXPECT_EQ(db.text("select target from auths"), "files.example.com");
    EXPECT_EQ(db.text("select protocol from auths"), "https");
    EXPECT_EQ(db.text("select user from auths"), "o'brien");
    std::string stored = db.text("select pass from auths");
    EXPECT_EQ(stored.size(), 172u);
    EXPECT_EQ(stored.find("second"), std::string::npos);

    EXPECT_TRUE(m_db.findCredentials(record(2, "https://files.example.com/other"), user, password));
    EXPECT_EQ(user, "o'brien");
    EXPECT_EQ(password, "second; pass");

    // A password too long for the scrambled block is refused rather than stored as empty.
    EXPECT_FALSE(m_db.saveCredentials(site, "long", std::string(101, 'p')));
    EXPECT_TRUE(m_db.findCredentials(site, user, password));
    EXPECT_EQ(user, "o'brien");
    EXPECT_EQ(password, "second; pass");
    EXPECT_TRUE(m_db.saveCredentials(site, "edge", std::string(100, 'p')));
    EXPECT_TRUE(m_db.findCredentials(site, user, password));
    EXPECT_EQ(password, std::string(100, 'p'));
    // Another protocol on the same host is another entry.
    user = "none";
    EXPECT_FALSE(m_db.findCredentials(record(3, "http://files.example.com/"), user, password));
    EXPECT_EQ(user, "none");
}

TEST_F(Database, CredentialListHidesPasswordsAndShrinksOnDelete) {
    m_db.saveCredentials(record(1, "http://a.example/"), "ua", "pa");
    m_db.saveCredentials(record(1, "ftp://b.example/"), "ub", "pb");
    std::vector<VornCredentialEntry> entries = m_db.listCredentials();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].protocol, "http");
    EXPECT_EQ(entries[0].target, "a.example");
    EXPECT_EQ(entries[0].user, "ua");
    EXPECT_EQ(entries[1].protocol, "ftp");
    for (const VornCredentialEntry& entry : entries) {
        EXPECT_EQ(entry.password, "XXXXXX");
    }
    std::vector<VornCredentialEntry> left = m_db.deleteCredentials(entries[0].id);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].target, "b.example");
}

TEST(VornDatabaseNames, ProtocolNamesAndUnwrapping) {
    EXPECT_EQ(VornDatabase::protocolName(1), "http");
    EXPECT_EQ(VornDatabase::protocolName(2), "https");
    EXPECT_EQ(VornDatabase::protocolName(3), "ftp");
    EXPECT_EQ(VornDatabase::protocolName(0), "unkown");
    struct Case {
        const char* value;
        const char* unwrapped;
    } cases[] = {{"", ""},    {"'a'", "a"}, {"a", "a"},  {"'", ""},
                 {"''", ""},  {"'a", "a"},  {"a'", "a"}, {"'O'Brien'", "O'Brien"},
                 {"'''", "'"}};
    for (const Case& c : cases) {
        EXPECT_EQ(VornDatabase::unwrappedValue(c.value), c.unwrapped) << c.value;
    }
}

} // namespace
