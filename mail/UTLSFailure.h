#pragma once
// Why a secure connection to a real mail server failed, in words a user understands, for the
// activity log (the trace keeps OpenSSL's own). Pure functions and an immutable exception;
// callable from any thread.

#include <string>

#include "mail/UTLS.h"

// A TLS failure that carries, besides the message for the trace, the reason as the user reads it:
// "the server's certificate expired on 2020-02-01".
class ETLSFailure : public ETLSException {
public:
    ETLSFailure(std::string message, std::string reason)
        : ETLSException(std::move(message)), m_Reason(std::move(reason)) {}
    const char* ClassName() const noexcept override { return "ETLSFailure"; }
    const std::string& Reason() const noexcept { return m_Reason; }

private:
    std::string m_Reason;
};

// The first certificate that failed verification, as far as the reason needs it.
struct TCertificateProblem {
    long Error = 0; // OpenSSL's X509_V_ERR_* code
    int Depth = 0;  // 0: the server's own certificate, 1: its issuer, ...
    std::string NotBefore; // yyyy-mm-dd (UTC)
    std::string NotAfter;
    std::string Names; // the host names and addresses it is for, ", " between them
};

std::string CertificateFailureReason(const TCertificateProblem& problem, const std::string& host);

// The reasons of failures that are not the certificate's.
inline constexpr const char* TLSSetUpFailedReason = "a secure connection could not be set up with the server";
inline constexpr const char* STLSRefusedReason = "the server refused STLS";
inline constexpr const char* STLSMissingReason = "the server does not offer STLS, which the account requires";
