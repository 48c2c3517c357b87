#include "tests/support/TestCertificates.h"

#include <cstdlib>
#include <fstream>

TestCertificates::TestCertificates() {
    const auto& d = m_dir.path();
    m_ca = d / "ca.pem";
    m_caKey = d / "ca.key";
    m_selfCert = d / "self.pem";
    m_selfKey = d / "self.key";
    m_ok = run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Brellin-Test-CA -keyout " +
               m_caKey.string() + " -out " + m_ca.string()) &&
           issue("server", "DNS:localhost,IP:127.0.0.1", m_serverCert, m_serverKey) &&
           issue("other", "DNS:elsewhere.invalid", m_otherCert, m_otherKey) &&
           run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost "
               "-addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout " +
               m_selfKey.string() + " -out " + m_selfCert.string());
}

bool TestCertificates::run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool TestCertificates::issue(const std::string& name, const std::string& subjectAltName,
                             std::filesystem::path& cert, std::filesystem::path& key) {
    const auto& d = m_dir.path();
    key = d / (name + ".key");
    cert = d / (name + ".pem");
    const auto request = d / (name + ".csr");
    const auto extensions = d / (name + ".ext");
    std::ofstream(extensions) << "subjectAltName=" << subjectAltName << "\n";
    return run("openssl req -newkey rsa:2048 -nodes -subj /CN=" + name + " -keyout " + key.string() +
               " -out " + request.string()) &&
           run("openssl x509 -req -days 2 -in " + request.string() + " -CA " + m_ca.string() + " -CAkey " +
               m_caKey.string() + " -CAcreateserial -extfile " + extensions.string() + " -out " +
               cert.string());
}
