#pragma once

#include "tests/support/TempDir.h"

#include <filesystem>
#include <string>

// A private CA with a server certificate for localhost and 127.0.0.1, a second server certificate for
// another host name, and a self-signed one, all made with the openssl tool in a temporary folder.
class TestCertificates {
public:
    TestCertificates();

    // Trust only our CA: point SSL_CERT_FILE at caFile() for the life of the returned environment.
    const std::filesystem::path& caFile() const { return m_ca; }
    const std::filesystem::path& serverCert() const { return m_serverCert; }
    const std::filesystem::path& serverKey() const { return m_serverKey; }
    // Signed by the CA, but for "elsewhere.invalid" only.
    const std::filesystem::path& otherHostCert() const { return m_otherCert; }
    const std::filesystem::path& otherHostKey() const { return m_otherKey; }
    const std::filesystem::path& selfSignedCert() const { return m_selfCert; }
    const std::filesystem::path& selfSignedKey() const { return m_selfKey; }
    bool ok() const { return m_ok; }

private:
    bool run(const std::string& command);
    bool issue(const std::string& name, const std::string& subjectAltName, std::filesystem::path& cert,
               std::filesystem::path& key);

    TempDir m_dir;
    std::filesystem::path m_ca, m_caKey;
    std::filesystem::path m_serverCert, m_serverKey;
    std::filesystem::path m_otherCert, m_otherKey;
    std::filesystem::path m_selfCert, m_selfKey;
    bool m_ok = false;
};
