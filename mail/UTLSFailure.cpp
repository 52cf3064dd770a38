#include "mail/UTLSFailure.h"

#include <openssl/x509_vfy.h>

std::string CertificateFailureReason(const TCertificateProblem& problem, const std::string& host) {
    const std::string which = problem.Depth == 0 ? "the server's certificate" : "a certificate above the server's own";
    switch (problem.Error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return which + " expired on " + problem.NotAfter;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return which + " is valid only from " + problem.NotBefore;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "the certificate is for " + (problem.Names.empty() ? std::string("another server") : problem.Names) +
               ", not " + host;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
        return "the certificate is not from a trusted authority: see TrustedCertificates.pem in the README";
    default:
        return which + " could not be verified (" + X509_verify_cert_error_string(problem.Error) + ")";
    }
}
