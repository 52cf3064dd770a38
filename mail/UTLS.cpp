#include "mail/UTLS.h"

#include "mail/UTLSFailure.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <memory>

namespace {

// The newest error of this thread's OpenSSL queue as text; fallback when the queue is empty.
std::string OpenSSLError(const std::string& fallback) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return fallback;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// The name as RFC 2253 writes it, "CN=mail.example.org,O=Example".
std::string NameText(const X509_NAME* name) {
    if (!name)
        return "(none)";
    std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), &BIO_free);
    if (!out || X509_NAME_print_ex(out.get(), name, 0, XN_FLAG_RFC2253) < 0)
        return "(unreadable)";
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return std::string(data, size > 0 ? static_cast<std::size_t>(size) : 0);
}

bool IsAddressLiteral(const std::string& host) {
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// Size, modification and change times, owner and mode of the file; empty when there is none. The
// change time moves with chmod and chown, so that a file whose owner or mode was put right is read.
std::string FileStamp(const std::string& path) {
    struct stat status {};
    if (path.empty() || ::stat(path.c_str(), &status) != 0)
        return {};
    return std::to_string(status.st_size) + "/" + std::to_string(status.st_mtim.tv_sec) + "." +
           std::to_string(status.st_mtim.tv_nsec) + "/" + std::to_string(status.st_ctim.tv_sec) + "." +
           std::to_string(status.st_ctim.tv_nsec) + "/" + std::to_string(status.st_uid) + "/" +
           std::to_string(status.st_mode);
}

// A certificate's time as yyyy-mm-dd (UTC).
std::string DateText(const ASN1_TIME* time) {
    struct tm parts {};
    char text[16];
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1 || std::strftime(text, sizeof text, "%Y-%m-%d", &parts) == 0)
        return "(unknown)";
    return text;
}

// The names the certificate is for: its DNS names and addresses, else its common name.
std::string CertificateNames(X509* certificate) {
    std::string names;
    const auto add = [&names](const std::string& name) { names += (names.empty() ? "" : ", ") + name; };
    using TNames = std::unique_ptr<GENERAL_NAMES, decltype(&GENERAL_NAMES_free)>;
    const TNames alternatives(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)),
        &GENERAL_NAMES_free);
    for (int i = 0; alternatives && i < sk_GENERAL_NAME_num(alternatives.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(alternatives.get(), i);
        if (name->type == GEN_DNS) {
            const ASN1_STRING* text = name->d.dNSName;
            add(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                            static_cast<size_t>(ASN1_STRING_length(text))));
        } else if (name->type == GEN_IPADD) {
            const ASN1_OCTET_STRING* address = name->d.iPAddress;
            char text[INET6_ADDRSTRLEN] = {};
            const int family = ASN1_STRING_length(address) == 4 ? AF_INET : AF_INET6;
            if (ASN1_STRING_length(address) == 4 || ASN1_STRING_length(address) == 16)
                if (inet_ntop(family, ASN1_STRING_get0_data(address), text, sizeof text))
                    add(text);
        }
    }
    if (names.empty()) {
        char common[256] = {};
        if (X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, common, sizeof common) > 0)
            add(common);
    }
    return names;
}

} // namespace

std::string TrustFileProblem(const std::string& path) {
    struct stat status {};
    if (path.empty() || ::stat(path.c_str(), &status) != 0)
        return {};
    if (status.st_uid != ::geteuid() && status.st_uid != 0)
        return "it belongs to another user (user id " + std::to_string(status.st_uid) + ")";
    if (status.st_mode & S_IWOTH)
        return "every user may write to it";
    if (status.st_mode & S_IWGRP)
        return "its group may write to it";
    return {};
}

struct TTLSSession::TVerifyFailure {
    bool Failed = false;
    long Error = X509_V_OK;
    int Depth = 0;
    std::string Subject;
    std::string Issuer;
    TCertificateProblem Problem;
};

namespace {

// Keeps the first certificate that fails verification; OpenSSL's own verdict stands.
int RecordVerifyFailure(int preverified, X509_STORE_CTX* store) {
    if (preverified)
        return preverified;
    SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* failure = ssl ? static_cast<TTLSSession::TVerifyFailure*>(SSL_get_app_data(ssl)) : nullptr;
    if (failure && !failure->Failed) {
        failure->Failed = true;
        failure->Error = X509_STORE_CTX_get_error(store);
        failure->Depth = X509_STORE_CTX_get_error_depth(store);
        const X509* certificate = X509_STORE_CTX_get_current_cert(store);
        failure->Subject = NameText(certificate ? X509_get_subject_name(certificate) : nullptr);
        failure->Issuer = NameText(certificate ? X509_get_issuer_name(certificate) : nullptr);
        failure->Problem.Error = failure->Error;
        failure->Problem.Depth = failure->Depth;
        if (certificate) {
            failure->Problem.NotBefore = DateText(X509_get0_notBefore(certificate));
            failure->Problem.NotAfter = DateText(X509_get0_notAfter(certificate));
            failure->Problem.Names = CertificateNames(const_cast<X509*>(certificate));
        }
    }
    return preverified;
}

} // namespace

TTLSContext::TTLSContext(const std::string& extraTrustFile)
    : m_ExtraTrustFile(extraTrustFile), m_TrustFileStamp(FileStamp(extraTrustFile)),
      m_IgnoredTrustFile(TrustFileProblem(extraTrustFile)) {
    m_Context = SSL_CTX_new(TLS_client_method());
    if (!m_Context)
        throw ETLSException("Could not set up TLS. " + OpenSSLError(""));
    SSL_CTX_set_min_proto_version(m_Context, TLS1_2_VERSION);
    SSL_CTX_set_verify(m_Context, SSL_VERIFY_PEER, RecordVerifyFailure);
    // A missing system store only means fewer trusted authorities; every certificate still has to verify.
    SSL_CTX_set_default_verify_paths(m_Context);
    ERR_clear_error();
    if (!m_TrustFileStamp.empty() && m_IgnoredTrustFile.empty() &&
        SSL_CTX_load_verify_locations(m_Context, extraTrustFile.c_str(), nullptr) != 1) {
        const std::string reason = OpenSSLError("no certificate found");
        SSL_CTX_free(m_Context);
        throw ETLSException("Could not read the trusted certificates in \"" + extraTrustFile + "\": " + reason + ".");
    }
}

TTLSContext::~TTLSContext() {
    SSL_CTX_free(m_Context);
}

bool TTLSContext::TrustFileChanged() const {
    return FileStamp(m_ExtraTrustFile) != m_TrustFileStamp;
}

TTLSSession::TTLSSession(const TTLSContext& context, int socket, const std::string& host)
    : m_Host(host), m_Failure(std::make_unique<TVerifyFailure>()) {
    m_SSL = SSL_new(context.Handle());
    if (!m_SSL)
        throw ETLSException("Could not start TLS. " + OpenSSLError(""));
    SSL_set_app_data(m_SSL, m_Failure.get());
    bool named = SSL_set_fd(m_SSL, socket) == 1;
    if (IsAddressLiteral(host)) {
        named = named && X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_SSL), host.c_str()) == 1;
    } else {
        SSL_set_hostflags(m_SSL, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = named && SSL_set_tlsext_host_name(m_SSL, host.c_str()) == 1 && SSL_set1_host(m_SSL, host.c_str()) == 1;
    }
    if (!named) {
        const std::string reason = OpenSSLError("invalid host name");
        SSL_free(m_SSL);
        throw ETLSException("Could not start TLS with \"" + host + "\". " + reason);
    }
    SSL_set_connect_state(m_SSL);
}

TTLSSession::~TTLSSession() {
    SSL_free(m_SSL);
}

TTLSWait TTLSSession::Handshake() {
    ERR_clear_error();
    const int rc = SSL_do_handshake(m_SSL);
    if (rc == 1)
        return TTLSWait::None;
    const int error = SSL_get_error(m_SSL, rc);
    if (error == SSL_ERROR_WANT_READ)
        return TTLSWait::Readable;
    if (error == SSL_ERROR_WANT_WRITE)
        return TTLSWait::Writable;
    const std::string message = HandshakeFailure(error);
    throw ETLSFailure(message, m_Failure->Failed ? CertificateFailureReason(m_Failure->Problem, m_Host)
                                                 : std::string(TLSSetUpFailedReason));
}

std::string TTLSSession::HandshakeFailure(int error) const {
    const std::string prefix = "TLS handshake with \"" + m_Host + "\" failed: ";
    if (m_Failure->Failed) {
        ERR_clear_error();
        return prefix + "certificate verify failed (" + X509_verify_cert_error_string(m_Failure->Error) +
               ") for the certificate of " + m_Failure->Subject + " issued by " + m_Failure->Issuer +
               (m_Failure->Depth > 0 ? " (" + std::to_string(m_Failure->Depth) + " above the server's own)" : "") + ".";
    }
    if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0))
        return prefix + "the server closed the connection.";
    return prefix + OpenSSLError("error " + std::to_string(error)) + ".";
}

TTLSWait TTLSSession::Read(char* buffer, std::size_t size, std::size_t& received) {
    received = 0;
    ERR_clear_error();
    if (SSL_read_ex(m_SSL, buffer, size, &received) == 1)
        return TTLSWait::None;
    switch (const int error = SSL_get_error(m_SSL, 0)) {
    case SSL_ERROR_WANT_READ:
        return TTLSWait::Readable;
    case SSL_ERROR_WANT_WRITE:
        return TTLSWait::Writable;
    case SSL_ERROR_ZERO_RETURN:
        return TTLSWait::None; // the peer's closing alert
    case SSL_ERROR_SYSCALL:
        // The peer closed without a closing alert. POP3 frames its own data (the final "." line),
        // so a cut-off answer is noticed by the protocol; the stream just ends here.
        if (ERR_peek_error() == 0)
            return TTLSWait::None;
        [[fallthrough]];
    default:
        throw ESocketException("TLS read failed. " + OpenSSLError("error " + std::to_string(error)));
    }
}

TTLSWait TTLSSession::Write(std::string_view data, std::size_t& sent) {
    sent = 0;
    ERR_clear_error();
    if (SSL_write_ex(m_SSL, data.data(), data.size(), &sent) == 1)
        return TTLSWait::None;
    switch (const int error = SSL_get_error(m_SSL, 0)) {
    case SSL_ERROR_WANT_READ:
        return TTLSWait::Readable;
    case SSL_ERROR_WANT_WRITE:
        return TTLSWait::Writable;
    default:
        throw ESocketException("TLS write failed. " + OpenSSLError("error " + std::to_string(error)));
    }
}

void TTLSSession::Shutdown() noexcept {
    ERR_clear_error();
    if (SSL_is_init_finished(m_SSL))
        SSL_shutdown(m_SSL);
    ERR_clear_error();
}

std::string TTLSSession::Description() const {
    const SSL_CIPHER* cipher = SSL_get_current_cipher(m_SSL);
    return std::string(SSL_get_version(m_SSL)) + " " + (cipher ? SSL_CIPHER_get_name(cipher) : "");
}
