#include "mail/UIMAPClient.h"

std::unique_ptr<TIMAPMailbox> ConnectIMAP(const TIMAPServer& server, const std::string& password,
                                          const std::string& trustedCertificatesFile, int timeoutMs,
                                          const std::shared_ptr<TAbortSignal>& abort) {
    auto client = std::make_unique<TIMAPClient>(server, trustedCertificatesFile, abort);
    client->Connect(password, timeoutMs);
    return client;
}
