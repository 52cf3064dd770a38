#pragma once
// One connection of the IMAP screener to its mailbox. Used by the screener's worker thread only.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/UTessivarIMAPMessages.h"
#include "mail/UTessivarIMAPScreener.h"

class TTessivarIMAPScreener::TSession {
public:
    TSession(TTessivarIMAPScreener& screener, TIMAPMailbox& mailbox);

    // Creates the held folders when missing and learns the folders' UIDVALIDITY and the trash.
    void Open();
    // Finishes the moves owed, looks at the held folders when due (or when INBOX changed), screens
    // INBOX's new mail and makes the moves that gives.
    void Run(bool inboxChanged);
    // Waits on INBOX for at most `timeout`; true when it changed.
    bool Wait(std::chrono::milliseconds timeout);

private:
    // Runs the task on the model's thread; raises ETessivarIMAPScreenerStopped when the model no
    // longer runs calls and ETessivarIMAPScreenerException when the task failed there.
    void OnModel(const std::function<void(TTessivarBusinessLogic&)>& task);
    TTessivarIMAPMessages& Messages(TTessivarBusinessLogic& model) const;

    TIMAPFolderState Select(const std::string& folder);
    // Selects the folder unless it is selected already.
    void Use(const std::string& folder);
    // The message is still where the location says.
    bool IsPresent(const TIMAPLocation& location);
    // The folder a place names on this server; empty for the trash of a server without one.
    std::string FolderOf(TIMAPPlace place) const;

    void FinishMoves();
    // A message that is not where its row says: found elsewhere (a move of ours not yet recorded,
    // the user's move, a new UIDVALIDITY) or gone (deleted by the user).
    void Settle(const TIMAPMove& move);
    // The first of the folders where a message with the row's Message-ID is that no other row knows.
    std::optional<TIMAPLocation> Find(const TIMAPMessageRow& row, const std::vector<std::string>& folders);
    void Record(std::vector<std::pair<int64_t, TIMAPLocation>>& locations);

    void WatchHeldFolders();
    // Returns how many new messages were screened.
    int ScreenInbox();
    // False when the message turned out to be one the user moved into INBOX.
    bool ScreenMessage(uint32_t uid, uint32_t uidValidity);
    void SetInboxPosition(uint32_t uidValidity, uint32_t lastUID);

    TTessivarIMAPScreener& m_Screener;
    TIMAPMailbox& m_Mailbox;
    const int32_t m_AccountID;
    std::string m_Trash;
    std::string m_Selected;
    std::map<std::string, uint32_t> m_UIDValidity;
    std::chrono::steady_clock::time_point m_LastHeldPoll{};
};
