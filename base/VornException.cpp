#include "base/VornException.h"

VornException::VornException(const VornError& error, const char* context, int32_t line, const char* sourceFile)
    : m_error(error), m_sourceFile(sourceFile ? sourceFile : ""), m_context(context ? context : ""),
      m_line(line) {
    m_what = m_error.describe();
    if (!m_context.empty())
        m_what += " " + m_context;
}
