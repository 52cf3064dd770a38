// One connection of the IMAP screener: the moves it owes, the user's moves seen in the held
// folders, and the screening of INBOX's new mail.

#include <algorithm>
#include <set>

#include "base/UDebug.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UThreadedCallData.h"
#include "core/UThreadedCalls.h"
#include "mail/UTessivarIMAPScreenerSession.h"
#include "mail/UTessivarIncomingMail.h"
#include "mail/UTessivarPOP3Checker.h"

namespace {

// Locations found after moves are written in groups of this many (one transaction each).
constexpr size_t RecordedTogether = 100;

const std::string Inbox(IMAPInboxFolder);
const std::string Awaiting(IMAPAwaitingFolder);
const std::string Blocked(IMAPBlockedFolder);

// The message as lines without their ends; CR LF and a bare LF both end a line.
std::vector<std::string> SplitMessage(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        size_t stop = end;
        if (stop > start && text[stop - 1] == '\r')
            --stop;
        lines.emplace_back(text, start, stop - start);
        start = end + 1;
    }
    return lines;
}

// The ids the program makes up for messages without one are not in the message: a search finds
// nothing.
bool Searchable(const std::string& messageId) {
    return !messageId.empty() && !messageId.ends_with(CheckerMessageIdDomain);
}

} // namespace

TTessivarIMAPScreener::TSession::TSession(TTessivarIMAPScreener& screener, TIMAPMailbox& mailbox)
    : m_Screener(screener), m_Mailbox(mailbox), m_AccountID(screener.m_Server.AccountID) {}

void TTessivarIMAPScreener::TSession::OnModel(const std::function<void(TTessivarBusinessLogic&)>& task) {
    TThreadedModelTaskData data(task);
    if (!m_Screener.m_Model.OwnerWindow().Send(data))
        throw ETessivarIMAPScreenerStopped("The model no longer runs the screener's calls.");
    if (!data.Done)
        throw ETessivarIMAPScreenerException(data.Failure);
}

TTessivarIMAPMessages& TTessivarIMAPScreener::TSession::Messages(TTessivarBusinessLogic& model) const {
    return model.IMAPMessages();
}

TIMAPFolderState TTessivarIMAPScreener::TSession::Select(const std::string& folder) {
    const TIMAPFolderState state = m_Mailbox.Select(folder);
    m_Selected = folder;
    m_UIDValidity[folder] = state.UIDValidity;
    return state;
}

void TTessivarIMAPScreener::TSession::Use(const std::string& folder) {
    if (m_Selected != folder)
        Select(folder);
}

bool TTessivarIMAPScreener::TSession::IsPresent(const TIMAPLocation& location) {
    if (location.Folder.empty())
        return false;
    if (Select(location.Folder).UIDValidity != location.UIDValidity)
        return false;
    const std::vector<uint32_t> uids = m_Mailbox.UIDsFrom(location.UID);
    return !uids.empty() && uids.front() == location.UID;
}

std::string TTessivarIMAPScreener::TSession::FolderOf(TIMAPPlace place) const {
    return place == TIMAPPlace::Trash ? m_Trash : IMAPPlaceFolder(place);
}

void TTessivarIMAPScreener::TSession::Open() {
    m_Mailbox.EnsureFolder(Awaiting);
    m_Mailbox.EnsureFolder(Blocked);
    m_Trash = m_Mailbox.SpecialUseFolder("\\Trash");
    if (m_Trash.empty())
        Debug("IMAPScreener: The server names no trash folder: deleted mail stays where it is.");
    for (const std::string& folder : {Awaiting, Blocked, Inbox})
        Select(folder);
}

void TTessivarIMAPScreener::TSession::Run(bool inboxChanged) {
    FinishMoves();
    const auto now = std::chrono::steady_clock::now();
    if (inboxChanged || now - m_LastHeldPoll >= IMAPHeldFolderPoll) {
        WatchHeldFolders();
        m_LastHeldPoll = now;
    }
    const int screened = ScreenInbox();
    if (screened > 0) {
        // The rows are durable before any message moves away from INBOX.
        if (!FlushStore(m_Screener.m_Model))
            throw ETessivarIMAPScreenerException("The screened messages could not be flushed to the disk.");
        InsertLogItem(m_Screener.m_Model,
                      "Screened " + std::to_string(screened) + " new messages for " + m_Screener.m_Server.EmailAddress +
                          " at " + m_Screener.m_Server.Host + ".",
                      0);
        FinishMoves();
    }
    Use(Inbox);
}

bool TTessivarIMAPScreener::TSession::Wait(std::chrono::milliseconds timeout) {
    Use(Inbox);
    return m_Mailbox.WaitForChange(timeout);
}

// ---- Moves -----------------------------------------------------------------------------------

void TTessivarIMAPScreener::TSession::FinishMoves() {
    std::vector<TIMAPMove> moves;
    OnModel([&](TTessivarBusinessLogic& model) { moves = Messages(model).PendingMoves(m_AccountID); });
    if (moves.empty())
        return;
    std::map<std::string, std::vector<const TIMAPMove*>> bySource;
    for (const TIMAPMove& move : moves)
        bySource[move.Row.Location.Folder].push_back(&move);

    std::vector<const TIMAPMove*> unsettled;
    std::vector<std::pair<int64_t, TIMAPLocation>> done;
    for (const auto& [source, group] : bySource) {
        const TIMAPFolderState state = Select(source);
        uint32_t lowest = UINT32_MAX;
        for (const TIMAPMove* move : group)
            if (move->Row.Location.UIDValidity == state.UIDValidity)
                lowest = std::min(lowest, move->Row.Location.UID);
        std::set<uint32_t> present;
        if (lowest != UINT32_MAX) {
            const std::vector<uint32_t> uids = m_Mailbox.UIDsFrom(lowest);
            present.insert(uids.begin(), uids.end());
        }
        for (const TIMAPMove* move : group) {
            const TIMAPMessageRow& row = move->Row;
            const bool here = row.Location.UIDValidity == state.UIDValidity && present.count(row.Location.UID) > 0;
            const std::string target = FolderOf(move->Target);
            if (move->Target == TIMAPPlace::Trash && (target.empty() || !here)) {
                // No trash to move it to (never an expunge), or it is gone already: nothing owed.
                done.push_back({row.RowID, {}});
                continue;
            }
            if (!here) {
                unsettled.push_back(move);
                continue;
            }
            Debug("IMAPScreener: Moving message " + std::to_string(row.Location.UID) + " from " + source + " to " +
                  target + ".");
            uint32_t newUID = 0;
            try {
                newUID = m_Mailbox.Move(row.Location.UID, target);
            } catch (const EIMAPException& error) {
                // Refused for this message (a full folder, say): it stays owed, and tried again at
                // the next run; the other moves and the screening go on.
                DebugException("TTessivarIMAPScreener", error);
                continue;
            }
            const auto validity = m_UIDValidity.find(target);
            if (move->Target == TIMAPPlace::Trash)
                done.push_back({row.RowID, {}});
            else if (newUID != 0 && validity != m_UIDValidity.end())
                done.push_back({row.RowID, {target, validity->second, newUID}});
            else
                unsettled.push_back(move);
            if (done.size() >= RecordedTogether)
                Record(done);
        }
    }
    Record(done);
    for (const TIMAPMove* move : unsettled)
        Settle(*move);
}

void TTessivarIMAPScreener::TSession::Record(std::vector<std::pair<int64_t, TIMAPLocation>>& locations) {
    if (locations.empty())
        return;
    OnModel([&](TTessivarBusinessLogic& model) { Messages(model).RelocateAll(locations); });
    locations.clear();
}

void TTessivarIMAPScreener::TSession::Settle(const TIMAPMove& move) {
    const TIMAPMessageRow& row = move.Row;
    const std::string target = FolderOf(move.Target);
    std::vector<std::string> folders;
    const auto add = [&](const std::string& folder) {
        if (!folder.empty() && std::find(folders.begin(), folders.end(), folder) == folders.end())
            folders.push_back(folder);
    };
    add(target);
    // Its own folder only after a new UIDVALIDITY there: otherwise its UID would have been found.
    for (const std::string& folder : {Inbox, Awaiting, Blocked})
        if (folder != row.Location.Folder || m_UIDValidity[folder] != row.Location.UIDValidity)
            add(folder);
    const std::optional<TIMAPLocation> found = Find(row, folders);
    OnModel([&](TTessivarBusinessLogic& model) {
        TTessivarIMAPMessages& messages = Messages(model);
        if (!found)
            messages.Vanished(row.RowID);
        else if (found->Folder == target || found->Folder == row.Location.Folder)
            messages.Relocate(row.RowID, *found);
        else
            messages.UserMoved(row.RowID, *found);
    });
}

std::optional<TIMAPLocation> TTessivarIMAPScreener::TSession::Find(const TIMAPMessageRow& row,
                                                                   const std::vector<std::string>& folders) {
    if (!Searchable(row.MessageID))
        return std::nullopt;
    for (const std::string& folder : folders) {
        const TIMAPFolderState state = Select(folder);
        std::vector<uint32_t> uids = m_Mailbox.UIDsWithMessageID(row.MessageID);
        std::sort(uids.rbegin(), uids.rend());
        for (const uint32_t uid : uids) {
            const TIMAPLocation location{folder, state.UIDValidity, uid};
            bool known = false;
            OnModel([&](TTessivarBusinessLogic& model) { known = Messages(model).Known(m_AccountID, location); });
            if (!known)
                return location;
        }
    }
    return std::nullopt;
}

// ---- The user's moves ------------------------------------------------------------------------

// A held message missing from its folder was moved or deleted by the user; a message of INBOX that
// turns up in the Blocked folder was blocked by the user. Messages in the held folders that are no
// rows of ours (put there by the user) are left alone.
void TTessivarIMAPScreener::TSession::WatchHeldFolders() {
    std::vector<TIMAPMessageRow> vanished;
    std::vector<std::pair<TIMAPMessageRow, uint32_t>> blockedArrivals;
    for (const std::string& folder : {Awaiting, Blocked}) {
        const TIMAPFolderState state = Select(folder);
        std::vector<TIMAPMessageRow> rows;
        std::optional<TIMAPFolderPosition> position;
        OnModel([&](TTessivarBusinessLogic& model) {
            rows = Messages(model).RowsIn(m_AccountID, folder);
            position = Messages(model).Position(m_AccountID, folder);
        });
        const std::vector<uint32_t> list = m_Mailbox.UIDsFrom(1);
        const std::set<uint32_t> uids(list.begin(), list.end());
        std::set<uint32_t> known;
        for (const TIMAPMessageRow& row : rows) {
            if (row.Location.UIDValidity != state.UIDValidity || !uids.count(row.Location.UID))
                vanished.push_back(row);
            else
                known.insert(row.Location.UID);
        }
        const uint32_t last = list.empty() ? 0 : list.back();
        if (folder == Blocked && position && position->UIDValidity == state.UIDValidity) {
            for (const uint32_t uid : list) {
                if (uid <= position->LastUID || known.count(uid))
                    continue;
                const std::optional<std::string> header = m_Mailbox.FetchHeader(uid);
                if (!header)
                    continue;
                const TParsedMessage message = ParseMessageHeadersTolerant(SplitMessage(*header));
                std::vector<TIMAPMessageRow> candidates;
                OnModel([&](TTessivarBusinessLogic& model) {
                    candidates = Messages(model).RowsWithMessageID(m_AccountID, message.MessageId, -1);
                });
                for (const TIMAPMessageRow& candidate : candidates)
                    if (candidate.Location.Folder == Inbox)
                        blockedArrivals.push_back({candidate, uid});
            }
        }
        if (!position || position->UIDValidity != state.UIDValidity || position->LastUID != last)
            OnModel([&](TTessivarBusinessLogic& model) {
                Messages(model).SetPosition(m_AccountID, folder, {state.UIDValidity, last});
            });
    }
    for (const TIMAPMessageRow& row : vanished) {
        TIMAPPlace place = TIMAPPlace::Awaiting;
        if (row.Location.Folder == Blocked)
            place = TIMAPPlace::Blocked;
        Settle({row, place});
    }
    for (const auto& [row, uid] : blockedArrivals) {
        // Another copy with the same Message-ID may have come in; only the message itself counts.
        if (IsPresent(row.Location))
            continue;
        const TIMAPLocation location{Blocked, m_UIDValidity[Blocked], uid};
        OnModel([&](TTessivarBusinessLogic& model) { Messages(model).UserMoved(row.RowID, location); });
    }
}

// ---- New mail --------------------------------------------------------------------------------

void TTessivarIMAPScreener::TSession::SetInboxPosition(uint32_t uidValidity, uint32_t lastUID) {
    OnModel([&](TTessivarBusinessLogic& model) {
        Messages(model).SetPosition(m_AccountID, Inbox, {uidValidity, lastUID});
    });
}

TIMAPFolderPosition InboxEnd(TIMAPMailbox& mailbox) {
    const TIMAPFolderState state = mailbox.Select(std::string(IMAPInboxFolder));
    uint32_t last = state.UIDNext > 0 ? state.UIDNext - 1 : 0;
    if (state.UIDNext == 0) {
        const std::vector<uint32_t> uids = mailbox.UIDsFrom(1);
        last = uids.empty() ? 0 : uids.back();
    }
    return {state.UIDValidity, last};
}

// The first look at INBOX, and the first after a new UIDVALIDITY (the UIDs no longer say what was
// screened), take what is there as screened: mail is screened from then on, never twice.
int TTessivarIMAPScreener::TSession::ScreenInbox() {
    const TIMAPFolderState state = Select(Inbox);
    std::optional<TIMAPFolderPosition> position;
    OnModel([&](TTessivarBusinessLogic& model) { position = Messages(model).Position(m_AccountID, Inbox); });
    if (!position || position->UIDValidity != state.UIDValidity) {
        if (position)
            Debug("IMAPScreener: INBOX has a new UIDVALIDITY: screening what arrives from now on.");
        const TIMAPFolderPosition end = InboxEnd(m_Mailbox);
        SetInboxPosition(end.UIDValidity, end.LastUID);
        return 0;
    }
    if (position->LastUID == UINT32_MAX)
        return 0;
    std::vector<uint32_t> uids = m_Mailbox.UIDsFrom(position->LastUID + 1);
    std::erase_if(uids, [&](uint32_t uid) { return uid <= position->LastUID; });
    int screened = 0;
    for (const uint32_t uid : uids) {
        if (ScreenMessage(uid, state.UIDValidity))
            ++screened;
    }
    return screened;
}

bool TTessivarIMAPScreener::TSession::ScreenMessage(uint32_t uid, uint32_t uidValidity) {
    Use(Inbox);
    const TIMAPLocation location{Inbox, uidValidity, uid};
    bool known = false;
    OnModel([&](TTessivarBusinessLogic& model) { known = Messages(model).Known(m_AccountID, location); });
    if (known) {
        // One of ours moved back whose new UID the server told.
        SetInboxPosition(uidValidity, uid);
        return false;
    }
    std::optional<std::string> text;
    try {
        text = m_Mailbox.Fetch(uid);
    } catch (const EIMAPException& error) {
        // Too large, or refused: it stays in INBOX, unscreened, rather than stopping all screening.
        DebugException("TTessivarIMAPScreener", error);
        InsertLogItem(m_Screener.m_Model,
                      "Message " + std::to_string(uid) + " could not be read and stays in the inbox of " +
                          m_Screener.m_Server.EmailAddress + " at " + m_Screener.m_Server.Host + ": " + error.what(),
                      1);
        SetInboxPosition(uidValidity, uid);
        return false;
    }
    if (!text) {
        SetInboxPosition(uidValidity, uid);
        return false;
    }
    const std::vector<std::string> lines = SplitMessage(*text);
    const TParsedMessage message = ReadIncomingHeaders(lines);
    const int64_t size = static_cast<int64_t>(text->size());

    if (const TIncomingMailKind kind = IncomingMailKind(message, lines); kind != TIncomingMailKind::Mail) {
        // Notices are for the program, not the user: told to the model, then put away where the
        // user never has to look (the trash; the Blocked folder on a server without one).
        HandleNotice(m_Screener.m_Model, kind, message, lines);
        m_Mailbox.Move(uid, m_Trash.empty() ? Blocked : m_Trash);
        SetInboxPosition(uidValidity, uid);
        return true;
    }

    // A held message the user moved into INBOX (or one of ours moved back without a new UID told).
    std::vector<TIMAPMessageRow> candidates;
    if (Searchable(message.MessageId))
        OnModel([&](TTessivarBusinessLogic& model) {
            candidates = Messages(model).RowsWithMessageID(m_AccountID, message.MessageId, size);
        });
    for (const TIMAPMessageRow& row : candidates) {
        if (row.Location.Folder == Inbox || IsPresent(row.Location))
            continue;
        Debug("IMAPScreener: Message " + std::to_string(uid) + " of INBOX was held before.");
        OnModel([&](TTessivarBusinessLogic& model) {
            Messages(model).UserMoved(row.RowID, location);
            Messages(model).SetPosition(m_AccountID, Inbox, {uidValidity, uid});
        });
        Use(Inbox);
        return false;
    }
    Use(Inbox);

    TTessivarAccount& account = m_Screener.m_Account;
    OnModel([&](TTessivarBusinessLogic& model) {
        Messages(model).StoreMessage(account, lines, message, size, location);
    });
    return true;
}
