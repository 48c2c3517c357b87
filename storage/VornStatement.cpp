#include "storage/VornStatement.h"

#include <sqlite3.h>

VornStatement::VornStatement(sqlite3* db, const std::string& sql) {
    if (db && sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &m_statement, nullptr) !=
                  SQLITE_OK) {
        sqlite3_finalize(m_statement);
        m_statement = nullptr;
    }
}

VornStatement::~VornStatement() {
    sqlite3_finalize(m_statement);
}

VornStatement& VornStatement::bind(const std::string& text) {
    if (m_statement) {
        sqlite3_bind_text(m_statement, m_nextParameter, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
    }
    ++m_nextParameter;
    return *this;
}

VornStatement& VornStatement::bind(int64_t value) {
    if (m_statement) {
        sqlite3_bind_int64(m_statement, m_nextParameter, value);
    }
    ++m_nextParameter;
    return *this;
}

bool VornStatement::next() {
    return m_statement && sqlite3_step(m_statement) == SQLITE_ROW;
}

bool VornStatement::run() {
    if (!m_statement) {
        return false;
    }
    int result;
    while ((result = sqlite3_step(m_statement)) == SQLITE_ROW) {
    }
    return result == SQLITE_DONE;
}

std::string VornStatement::text(int column) const {
    if (!m_statement) {
        return {};
    }
    const unsigned char* value = sqlite3_column_text(m_statement, column);
    int length = sqlite3_column_bytes(m_statement, column);
    return value ? std::string(reinterpret_cast<const char*>(value), static_cast<size_t>(length))
                 : std::string();
}

int64_t VornStatement::integer(int column) const {
    return m_statement ? sqlite3_column_int64(m_statement, column) : 0;
}
