#include "core/UTessivarEmail.h"

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "base/UWindows.h"
#include "core/USQLite.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmailAddress.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TTessivarEmail::TTessivarEmail(TTessivarBusinessLogic& owner) : TTessivarRecord(owner, "TTessivarEmail") {}

std::string TTessivarEmail::FileName() const {
    return Owner().StorePath() + IntToHex(static_cast<uint32_t>(m_ID), 8) + ".eml";
}

int64_t TTessivarEmail::FileSize() const {
    const std::string name = FileName();
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw TTessivarBusinessLogicException("Cannot open file \"" + name + "\". " + LastErrorMessage());
    struct stat info {};
    const int result = ::fstat(fd, &info);
    const int error = errno;
    ::close(fd);
    if (result != 0)
        throw TTessivarBusinessLogicException("Cannot read the size of file \"" + name + "\". " +
                                              SystemErrorMessage(error));
    return static_cast<int64_t>(info.st_size);
}

void TTessivarEmail::SetApprovalStatus(TApprovalStatus value) {
    Change(m_ApprovalStatus, value);
}

void TTessivarEmail::SetDeleted(bool value) {
    Change(m_Deleted, value);
}

namespace {
TApprovalStatus SenderStatus(const TTessivarEmailAddress* sender) {
    return sender ? sender->ApprovalStatus() : TApprovalStatus::Undefined;
}
TApprovalStatus DomainStatus(const TTessivarEmailAddress* sender) {
    return sender && sender->DomainName() ? sender->DomainName()->ApprovalStatus() : TApprovalStatus::Undefined;
}
} // namespace

bool TTessivarEmail::IsBlockedMail() const {
    const TApprovalStatus sender = SenderStatus(m_FromEmailAddress);
    const TApprovalStatus domain = DomainStatus(m_FromEmailAddress);
    if (m_ApprovalStatus == TApprovalStatus::Approved || m_Deleted)
        return false;
    if (m_ApprovalStatus == TApprovalStatus::Blocked || sender == TApprovalStatus::Blocked)
        return true;
    if (sender != TApprovalStatus::Approved && domain == TApprovalStatus::Blocked)
        return true;
    return (m_AdultBlocked || m_WordBlocked) && sender != TApprovalStatus::Approved &&
           domain != TApprovalStatus::Approved;
}

bool TTessivarEmail::IsAwaitingDelivery() const {
    if (IsBlockedMail() || m_Deleted)
        return false;
    if (m_ApprovalStatus == TApprovalStatus::Approved)
        return true;
    const TApprovalStatus sender = SenderStatus(m_FromEmailAddress);
    if (sender == TApprovalStatus::Approved || DomainStatus(m_FromEmailAddress) == TApprovalStatus::Approved)
        return true;
    if (m_WordBlocked || m_AdultBlocked || sender == TApprovalStatus::Blocked)
        return false;
    return m_FromEmailAddress && m_FromEmailAddress->IsAuthenticated();
}

void TTessivarEmail::Save() {
    if (m_Detached) {
        Debug("Not updating an email that is no longer in the model.");
        return;
    }
    Debug("Updating email.");
    Owner().Database().Update("Emails", {"ApprovalStatus", "Deleted"}, "ID=" + std::to_string(m_ID),
                              {ApprovalStatusCode(m_ApprovalStatus), m_Deleted});
}
