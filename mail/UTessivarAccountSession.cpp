#include "mail/UTessivarAccountSession.h"

#include "base/UDebug.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarEmail.h"
#include "core/UThreadedCalls.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <set>
#include <string>

namespace {
std::atomic<int> LiveSessions{0};

// Stored files already reported in the activity log as unreadable, so that a broken file is
// reported once rather than at every login. Guarded by ReportedLock.
std::mutex ReportedLock;
std::set<std::string> ReportedFiles;

// Empty when the email's stored message can be offered, else why it cannot.
std::string UnreadableReason(const TTessivarEmail& email) {
    try {
        if (email.FileSize() == 0)
            return "The file \"" + email.FileName() + "\" is empty.";
        return {};
    } catch (const std::exception& error) {
        return error.what();
    }
}

// True the first time a file is reported.
bool FirstReport(const std::string& fileName) {
    std::lock_guard lock(ReportedLock);
    return ReportedFiles.insert(fileName).second;
}
} // namespace

TTessivarAccountSessionItem::TTessivarAccountSessionItem(TTessivarEmail& email) : m_Email(email) {
    m_Email.SetInSession(true);
}

TTessivarAccountSessionItem::~TTessivarAccountSessionItem() {
    m_Email.SetInSession(false);
}

int64_t TTessivarAccountSessionItem::Size() const {
    return m_Email.FileSize();
}

TTessivarAccountSession::TTessivarAccountSession(TTessivarAccount& account) : m_Account(account) {
    DebugList({"Creating an account session, ", LiveSessions.fetch_add(1), " current."});
}

TTessivarAccountSession::~TTessivarAccountSession() {
    m_Items.clear();
    DebugList({"Destroyed an account session, ", LiveSessions.fetch_sub(1) - 1, " current."});
}

int TTessivarAccountSession::LiveCount() {
    return LiveSessions.load();
}

int64_t TTessivarAccountSession::TotalSize() const {
    int64_t total = 0;
    for (const auto& item : m_Items)
        total += item->Size();
    return total;
}

void TTessivarAccountSession::ResetDeletions() {
    for (const auto& item : m_Items)
        item->ResetDeletion();
}

bool TTessivarAccountSession::AddEmail(TTessivarEmail& email) {
    const std::string reason = UnreadableReason(email);
    if (reason.empty()) {
        m_Items.push_back(std::make_unique<TTessivarAccountSessionItem>(email));
        return true;
    }
    Debug("Left an email out of the session for " + m_Account.EmailAddress() +
          ", its stored message cannot be read: " + std::string(email.Subject()) + "\r\n" + reason);
    if (FirstReport(email.FileName()))
        InsertLogItem(m_Account.Owner(),
                      "A stored message could not be read and is not delivered: \"" + std::string(email.Subject()) + "\".",
                      1);
    return false;
}
