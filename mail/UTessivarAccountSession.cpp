#include "mail/UTessivarAccountSession.h"

#include "base/UDebug.h"
#include "core/UTessivarEmail.h"

#include <atomic>

namespace {
std::atomic<int> LiveSessions{0};
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

void TTessivarAccountSession::AddEmail(TTessivarEmail& email) {
    m_Items.push_back(std::make_unique<TTessivarAccountSessionItem>(email));
}
