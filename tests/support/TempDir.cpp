#include "tests/support/TempDir.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "brellin-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

ScopedEnv::~ScopedEnv() {
    for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
        if (it->second)
            setenv(it->first.c_str(), it->second->c_str(), 1);
        else
            unsetenv(it->first.c_str());
    }
}

void ScopedEnv::remember(const std::string& name) {
    const char* old = getenv(name.c_str());
    m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
}

void ScopedEnv::set(const std::string& name, const std::string& value) {
    remember(name);
    setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnv::unset(const std::string& name) {
    remember(name);
    unsetenv(name.c_str());
}

TempHome::TempHome() {
    m_env.set("HOME", m_dir.path().string());
    m_env.unset("XDG_DATA_HOME");
    m_env.unset("XDG_CONFIG_HOME");
    m_env.unset("XDG_DOWNLOAD_DIR");
}

std::string readWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream data;
    data << in.rdbuf();
    return data.str();
}

void writeWholeFile(const std::filesystem::path& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}
