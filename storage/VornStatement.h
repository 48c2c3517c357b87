#pragma once

#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

// One prepared SQLite statement whose values are all bound, never spliced into the text, so any value
// (quotes, percent signs, semicolons, any bytes) is stored exactly as given. A statement that fails to
// prepare, or on an unopened connection, runs as a no-op that yields no rows.
class VornStatement {
public:
    VornStatement(sqlite3* db, const std::string& sql);
    ~VornStatement();
    VornStatement(const VornStatement&) = delete;
    VornStatement& operator=(const VornStatement&) = delete;

    bool valid() const { return m_statement != nullptr; }

    // Bind the next parameter, in the order the placeholders stand in the text.
    VornStatement& bind(const std::string& text);
    VornStatement& bind(int64_t value);

    // Steps to the next row; false when there is none (or on failure).
    bool next();
    // Runs the statement to its end; true when it completed.
    bool run();

    // Values of the current row; empty text and 0 for NULL.
    std::string text(int column) const;
    int64_t integer(int column) const;

private:
    sqlite3_stmt* m_statement = nullptr;
    int m_nextParameter = 1;
};
