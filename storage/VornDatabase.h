#pragma once

#include "storage/VornDownloadRecord.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;
class VornStatement;

// One row of the download table.
struct VornListRow {
    int32_t id = 0;
    std::wstring fileName;
    // The short size form, "1.5 KB".
    std::string sizeText;
    int32_t resumable = -1;
    // The last start, without the year in the current year; a single blank for none.
    std::string lastTryText;
    std::string category;
    // The stored status when it holds one of the three status words, else empty.
    std::string status;
    // Filled by the user interface while the download runs.
    std::string speedText;
    std::string timeLeftText;
};

// A stored site credential as the credentials list shows it; the password is never shown.
struct VornCredentialEntry {
    int32_t id = 0;
    std::string protocol;
    std::string target;
    std::string user;
    std::string password;
};

// The download database "VornDB.db" in the data folder: downloads, their extra request headers and the
// stored site credentials. Used on the user-interface thread only. Failures are silent, as the callers
// expect: a statement that cannot run changes nothing, and a query that cannot run yields no rows.
//
// Every value is bound as a statement parameter; the stored texts are the ones a statement built from
// the quoted values would have stored, so values that would have broken such a statement (quotes,
// semicolons) are stored unchanged instead of failing or shifting between columns.
class VornDatabase {
public:
    // The status words. The list shows a status only when it contains one of them; a stopped or failed
    // download stores its word followed by " (" + percentage + "% )".
    static constexpr const char* kStatusComplete = "Complete";
    static constexpr const char* kStatusPaused = "Paused";
    static constexpr const char* kStatusError = "Error";
    static constexpr const char* kFileName = "VornDB.db";

    VornDatabase();
    ~VornDatabase();
    VornDatabase(const VornDatabase&) = delete;
    VornDatabase& operator=(const VornDatabase&) = delete;

    // Opens (creating when missing, with the three tables) "VornDB.db" in the folder and brings an older
    // file up to the current layout. False leaves the object unopened.
    bool open(const std::filesystem::path& dataFolder);
    // The same for a folder held as wide text (converted as UTF-8, whatever the process locale).
    bool open(const std::wstring& dataFolder);
    bool isOpen() const { return m_db != nullptr; }
    const std::filesystem::path& path() const { return m_path; }

    // Stores a new download and its non-default request headers. False when the row could not be
    // stored (an id already in use among them); its headers are then not stored either, so they never
    // attach to another download.
    bool addDownload(const VornDownloadRecord& record);
    // category "all" or a category; filter "all", "complete" or "incomplete"; order a column name,
    // optionally followed by " desc" (an order that is not one is left out).
    std::vector<VornListRow> listDownloads(const std::string& category, const std::string& statusFilter,
                                           const std::string& order);
    // Text values arrive wrapped in single quotes, numbers bare; the value is stored percent-encoded
    // (blanks kept) without its wrapping quotes. An unknown column changes nothing.
    void setColumn(int32_t id, const std::string& column, const std::wstring& value);
    // Stores the new file name and returns its category.
    std::string rename(int32_t id, const std::wstring& fileName);
    // Marks the download running from now and returns that time as display text.
    std::string markStarted(int32_t id);
    // ids as comma-separated decimal text, "3,7,12"; parts that are not ids are skipped.
    void deleteDownloads(const std::string& idList);
    // The stored record, or one with the given id, empty URLs and the settings' connection count and
    // speed limit when there is none.
    VornDownloadRecord loadRecord(int32_t id);
    // One column of one download, percent-decoded; empty when there is no such row or column.
    std::wstring columnText(int32_t id, const std::string& column);
    std::wstring folderPath(int32_t id);
    // Stores the record's fresh URL, page, post data, page title, MIME type (when known) and headers.
    void updateRequest(const VornDownloadRecord& record);
    // The highest stored download id, 0 for none; lets a caller keep new ids clear of stored ones.
    int32_t largestDownloadId();

    // Leaves user and password unchanged when nothing is stored for the record's host and protocol.
    bool findCredentials(const VornDownloadRecord& record, std::string& user, std::string& password);
    // False, storing nothing, for a password too long to scramble (it would be stored as empty).
    bool saveCredentials(const VornDownloadRecord& record, const std::string& user,
                         const std::string& password);
    std::vector<VornCredentialEntry> listCredentials();
    std::vector<VornCredentialEntry> deleteCredentials(int32_t id);

    // "http", "https", "ftp", or "unkown" for any other kind.
    static std::string protocolName(int32_t kind);
    // A value as Set column stores it: without one trailing and one leading single quote.
    static std::string unwrappedValue(const std::string& value);
    static bool isColumn(const std::string& name);

private:
    struct Closer {
        void operator()(sqlite3* db) const;
    };

    void createTables();
    void migrate();
    bool execute(const std::string& sql);
    // Ends the open transaction, rolling it back when it cannot be committed.
    bool commit();
    void insertHeaders(const VornDownloadRecord& record);
    static VornListRow listRow(const VornStatement& row);

    std::unique_ptr<sqlite3, Closer> m_db;
    std::filesystem::path m_path;
};
