#pragma once
// Test fixture: a throw-away certificate authority and server certificates made with the openssl
// command in a fresh temporary directory, for servers that speak TLS in tests.
// Thread contract: one thread (the test's) uses an instance.

#include <string>

// A certificate and its key, PEM files.
struct TTestCertificate {
    std::string CertificateFile;
    std::string KeyFile;
};

class TTestCertificates {
public:
    // Makes the authority; raises std::runtime_error when the openssl command fails.
    TTestCertificates();
    // Removes the directory.
    ~TTestCertificates();
    TTestCertificates(const TTestCertificates&) = delete;
    TTestCertificates& operator=(const TTestCertificates&) = delete;

    // The authority's certificate: the file to trust.
    const std::string& AuthorityFile() const { return m_AuthorityFile; }
    const std::string& Directory() const { return m_Directory; }

    // A certificate for hostName signed by the authority, valid from yesterday for 30 days.
    TTestCertificate Issue(const std::string& name, const std::string& hostName);
    // A certificate for hostName signed by the authority whose validity ended in 2020.
    TTestCertificate IssueExpired(const std::string& name, const std::string& hostName);
    // A certificate for hostName that signs itself.
    TTestCertificate SelfSigned(const std::string& name, const std::string& hostName);

private:
    TTestCertificate Sign(const std::string& name, const std::string& hostName, const std::string& dates);

    std::string m_Directory;
    std::string m_AuthorityFile;
    std::string m_AuthorityKey;
};
