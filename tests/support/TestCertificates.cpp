#include "tests/support/TestCertificates.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace {

namespace fs = std::filesystem;

// Small elliptic-curve keys: quick to make, accepted by every TLS peer used in tests.
const std::string NewKey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

void Run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
        throw std::runtime_error("openssl failed: " + command);
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!(out << text).flush())
        throw std::runtime_error("cannot write " + path.string());
}

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

// yymmddhhmmssZ-style dates for openssl ca, days from now.
std::string DateFromNow(int days) {
    const std::time_t when = std::time(nullptr) + static_cast<std::time_t>(days) * 86400;
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &utc);
    return text;
}

} // namespace

TTestCertificates::TTestCertificates() {
    std::string pattern = (fs::temp_directory_path() / "tessivar-certificates.XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary directory");
    m_Directory = pattern + "/";
    // Dovecot reads the files as root at start; other processes only need the authority.
    fs::permissions(m_Directory, fs::perms(0755));
    m_AuthorityFile = m_Directory + "authority.pem";
    m_AuthorityKey = m_Directory + "authority.key";
    WriteFile(m_Directory + "index.txt", "");
    WriteFile(m_Directory + "ca.conf",
              "[ca]\ndefault_ca = test\n[test]\ndatabase = " + m_Directory +
                  "index.txt\nnew_certs_dir = " + m_Directory +
                  "\ndefault_md = sha256\npolicy = any\nunique_subject = no\nrand_serial = yes\n"
                  "[any]\ncommonName = supplied\n");
    try {
        Run("openssl req -x509 " + NewKey + " -keyout " + Quoted(m_AuthorityKey) + " -out " + Quoted(m_AuthorityFile) +
            " -days 30 -subj '/CN=Tessivar Test Authority' -addext 'basicConstraints=critical,CA:TRUE'"
            " -addext 'keyUsage=critical,keyCertSign,cRLSign'");
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(m_Directory, ignored);
        throw;
    }
}

TTestCertificates::~TTestCertificates() {
    std::error_code ignored;
    fs::remove_all(m_Directory, ignored);
}

TTestCertificate TTestCertificates::Issue(const std::string& name, const std::string& hostName) {
    return Sign(name, hostName, "-startdate " + DateFromNow(-1) + " -enddate " + DateFromNow(30));
}

TTestCertificate TTestCertificates::IssueExpired(const std::string& name, const std::string& hostName) {
    return Sign(name, hostName, "-startdate 20200101000000Z -enddate 20200201000000Z");
}

TTestCertificate TTestCertificates::Sign(const std::string& name, const std::string& hostName,
                                         const std::string& dates) {
    const TTestCertificate result{m_Directory + name + ".pem", m_Directory + name + ".key"};
    const std::string request = m_Directory + name + ".csr";
    const std::string extensions = m_Directory + name + ".ext";
    WriteFile(extensions, "basicConstraints = CA:FALSE\nkeyUsage = critical,digitalSignature\n"
                          "extendedKeyUsage = serverAuth\nsubjectAltName = DNS:" +
                              hostName + "\n");
    Run("openssl req -new " + NewKey + " -keyout " + Quoted(result.KeyFile) + " -out " + Quoted(request) + " -subj " +
        Quoted("/CN=" + hostName));
    Run("openssl ca -batch -notext -config " + Quoted(m_Directory + "ca.conf") + " -cert " + Quoted(m_AuthorityFile) +
        " -keyfile " + Quoted(m_AuthorityKey) + " -in " + Quoted(request) + " -out " + Quoted(result.CertificateFile) +
        " -extfile " + Quoted(extensions) + " " + dates);
    return result;
}

TTestCertificate TTestCertificates::SelfSigned(const std::string& name, const std::string& hostName) {
    const TTestCertificate result{m_Directory + name + ".pem", m_Directory + name + ".key"};
    Run("openssl req -x509 " + NewKey + " -keyout " + Quoted(result.KeyFile) + " -out " +
        Quoted(result.CertificateFile) + " -days 30 -subj " + Quoted("/CN=" + hostName) + " -addext " +
        Quoted("subjectAltName=DNS:" + hostName));
    return result;
}
