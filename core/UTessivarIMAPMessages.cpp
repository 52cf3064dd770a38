#include "core/UTessivarIMAPMessages.h"

#include "base/UDebug.h"
#include "core/USQLite.h"
#include "core/USQLiteTransaction.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarEmail.h"
#include "mail/UMessageHeaders.h"

#include <unordered_map>

namespace {

const char* const IMAPMessagesTable =
    "CREATE TABLE IF NOT EXISTS IMAPMessages(        ID INTEGER PRIMARY KEY,        EmailID INTEGER,        "
    "AccountID INTEGER,        MessageID VARCHAR,        Size INTEGER,        Folder VARCHAR,        "
    "UIDValidity INTEGER,        UID INTEGER);";
const char* const IMAPFoldersTable =
    "CREATE TABLE IF NOT EXISTS IMAPFolders(        AccountID INTEGER,        Folder VARCHAR,        "
    "UIDValidity INTEGER,        LastUID INTEGER,        PRIMARY KEY(AccountID, Folder));";

// A stored number; 0 for a damaged cell.
int64_t AsNumber(const std::string& text) {
    try {
        return std::stoll(text);
    } catch (const std::exception&) {
        return 0;
    }
}

uint32_t AsUID(const std::string& text) {
    const int64_t value = AsNumber(text);
    return value > 0 && value <= UINT32_MAX ? static_cast<uint32_t>(value) : 0;
}

std::string RowCondition(int64_t rowID) {
    return "ID=" + std::to_string(rowID);
}

} // namespace

std::string IMAPPlaceFolder(TIMAPPlace place) {
    switch (place) {
    case TIMAPPlace::Inbox:
        return std::string(IMAPInboxFolder);
    case TIMAPPlace::Awaiting:
        return std::string(IMAPAwaitingFolder);
    case TIMAPPlace::Blocked:
        return std::string(IMAPBlockedFolder);
    case TIMAPPlace::Trash:
        break;
    }
    return {};
}

TIMAPPlace IMAPPlaceOf(const TTessivarEmail& email) {
    if (email.Deleted())
        return TIMAPPlace::Trash;
    if (email.IsAwaitingDelivery())
        return TIMAPPlace::Inbox;
    if (email.IsBlockedMail())
        return TIMAPPlace::Blocked;
    return TIMAPPlace::Awaiting;
}

TTessivarIMAPMessages::TTessivarIMAPMessages(TTessivarBusinessLogic& model) : m_Model(model) {
    TSQLite& database = m_Model.Database();
    database.Execute(IMAPMessagesTable);
    database.Execute(IMAPFoldersTable);

    // A row keeps its email only while that email is the one it was stored with: the engine may
    // give a later email the ID of one that was removed.
    std::unordered_map<int32_t, const TTessivarEmail*> emails;
    for (int i = 0; i < m_Model.EmailCount(); ++i)
        emails.emplace(m_Model.Emails(i).ID(), &m_Model.Emails(i));
    TSQLiteResultSet rows;
    if (database.Query("SELECT ID, EmailID, AccountID, MessageID, Size, Folder, UIDValidity, UID FROM IMAPMessages",
                       &rows) > 0)
        for (; !rows.Eof(); rows.Next()) {
            TIMAPMessageRow row;
            row.RowID = AsNumber(rows.Value(rows.Cursor(), 0));
            row.EmailID = rows.AsInteger(1u);
            row.AccountID = rows.AsInteger(2u);
            row.MessageID = rows.Value(rows.Cursor(), 3);
            row.Size = AsNumber(rows.Value(rows.Cursor(), 4));
            row.Location = {rows.Value(rows.Cursor(), 5), AsUID(rows.Value(rows.Cursor(), 6)),
                            AsUID(rows.Value(rows.Cursor(), 7))};
            const auto found = emails.find(row.EmailID);
            if (found == emails.end() || !found->second->Account() || found->second->Account()->ID() != row.AccountID ||
                found->second->MessageID() != row.MessageID) {
                // Its email is gone (a data reset): the message stays where it is, unknown to us.
                database.Delete("IMAPMessages", RowCondition(row.RowID));
                continue;
            }
            m_Rows.emplace(row.RowID, std::move(row));
        }
    if (database.Query("SELECT AccountID, Folder, UIDValidity, LastUID FROM IMAPFolders", &rows) > 0)
        for (; !rows.Eof(); rows.Next())
            m_Positions[{rows.AsInteger(0u), rows.Value(rows.Cursor(), 1)}] = {AsUID(rows.Value(rows.Cursor(), 2)),
                                                                               AsUID(rows.Value(rows.Cursor(), 3))};
}

std::optional<TIMAPFolderPosition> TTessivarIMAPMessages::Position(int32_t accountID, const std::string& folder) const {
    const auto found = m_Positions.find({accountID, folder});
    if (found == m_Positions.end())
        return std::nullopt;
    return found->second;
}

void TTessivarIMAPMessages::UpdatePosition(int32_t accountID, const std::string& folder, TIMAPFolderPosition position) {
    m_Model.Database().Execute("INSERT OR REPLACE INTO IMAPFolders(AccountID, Folder, UIDValidity, LastUID) VALUES(" +
                               std::to_string(accountID) + ", " + QuotedSQL(folder) + ", " +
                               std::to_string(position.UIDValidity) + ", " + std::to_string(position.LastUID) + ")");
}

void TTessivarIMAPMessages::SetPosition(int32_t accountID, const std::string& folder, TIMAPFolderPosition position) {
    m_Model.CheckThread();
    UpdatePosition(accountID, folder, position);
    m_Positions[{accountID, folder}] = position;
}

void TTessivarIMAPMessages::ForgetInboxPosition(int32_t accountID) {
    m_Model.CheckThread();
    const std::string inbox(IMAPInboxFolder);
    m_Model.Database().Delete("IMAPFolders",
                              "AccountID=" + std::to_string(accountID) + " AND Folder=" + QuotedSQL(inbox));
    m_Positions.erase({accountID, inbox});
}

void TTessivarIMAPMessages::InsertRow(TIMAPMessageRow& row) {
    TSQLite& database = m_Model.Database();
    database.Execute("INSERT INTO IMAPMessages(EmailID, AccountID, MessageID, Size, Folder, UIDValidity, UID) "
                     "VALUES(" +
                     std::to_string(row.EmailID) + ", " + std::to_string(row.AccountID) + ", " +
                     QuotedSQL(row.MessageID) + ", " + std::to_string(row.Size) + ", " +
                     QuotedSQL(row.Location.Folder) + ", " + std::to_string(row.Location.UIDValidity) + ", " +
                     std::to_string(row.Location.UID) + ")");
    row.RowID = database.LastInsertRowID();
}

TTessivarEmail& TTessivarIMAPMessages::StoreMessage(TTessivarAccount& account, const std::vector<std::string>& lines,
                                                    const TParsedMessage& message, int64_t size,
                                                    const TIMAPLocation& location) {
    m_Model.CheckThread();
    TIMAPMessageRow row{.AccountID = account.ID(), .MessageID = message.MessageId, .Size = size, .Location = location};
    const TIMAPFolderPosition position{location.UIDValidity, location.UID};
    TTessivarEmail& email = m_Model.InsertEmail(account, message.MessageId, lines, message.Date, message.Subject,
                                                message.FromAddress, message.FromName, account.EmailAddress(),
                                                account.RecipientName(), {}, [&](const TTessivarEmail& stored) {
                                                    row.EmailID = stored.ID();
                                                    InsertRow(row);
                                                    UpdatePosition(account.ID(), location.Folder, position);
                                                });
    m_Rows[row.RowID] = row;
    m_Positions[{account.ID(), location.Folder}] = position;
    return email;
}

TTessivarEmail* TTessivarIMAPMessages::FindEmail(int32_t emailID) const {
    if (emailID == 0)
        return nullptr;
    for (int i = 0; i < m_Model.EmailCount(); ++i)
        if (m_Model.Emails(i).ID() == emailID)
            return &m_Model.Emails(i);
    return nullptr;
}

std::vector<TIMAPMove> TTessivarIMAPMessages::PendingMoves(int32_t accountID) const {
    m_Model.CheckThread();
    std::unordered_map<int32_t, const TTessivarEmail*> emails;
    for (int i = 0; i < m_Model.EmailCount(); ++i)
        emails.emplace(m_Model.Emails(i).ID(), &m_Model.Emails(i));
    std::vector<TIMAPMove> moves;
    for (const auto& [id, row] : m_Rows) {
        if (row.AccountID != accountID || row.Location.Folder.empty())
            continue;
        // Without its email (the data was reset) nothing says where it belongs: it stays.
        const auto found = emails.find(row.EmailID);
        if (found == emails.end())
            continue;
        const TIMAPPlace place = IMAPPlaceOf(*found->second);
        if (place == TIMAPPlace::Trash || IMAPPlaceFolder(place) != row.Location.Folder)
            moves.push_back({row, place});
    }
    return moves;
}

std::vector<TIMAPMessageRow> TTessivarIMAPMessages::RowsIn(int32_t accountID, const std::string& folder) const {
    m_Model.CheckThread();
    std::vector<TIMAPMessageRow> rows;
    for (const auto& [id, row] : m_Rows)
        if (row.AccountID == accountID && row.Location.Folder == folder)
            rows.push_back(row);
    return rows;
}

std::vector<TIMAPMessageRow> TTessivarIMAPMessages::RowsWithMessageID(int32_t accountID, const std::string& messageId,
                                                                      int64_t size) const {
    m_Model.CheckThread();
    std::vector<TIMAPMessageRow> rows;
    if (messageId.empty())
        return rows;
    for (const auto& [id, row] : m_Rows)
        if (row.AccountID == accountID && row.MessageID == messageId && (size < 0 || row.Size == size))
            rows.push_back(row);
    return rows;
}

bool TTessivarIMAPMessages::Known(int32_t accountID, const TIMAPLocation& location) const {
    m_Model.CheckThread();
    for (const auto& [id, row] : m_Rows)
        if (row.AccountID == accountID && row.Location == location)
            return true;
    return false;
}

void TTessivarIMAPMessages::Relocate(int64_t rowID, const TIMAPLocation& location) {
    m_Model.CheckThread();
    const auto found = m_Rows.find(rowID);
    if (found == m_Rows.end())
        return;
    if (location.Folder.empty()) {
        m_Model.Database().Delete("IMAPMessages", RowCondition(rowID));
        m_Rows.erase(found);
        return;
    }
    m_Model.Database().Update(
        "IMAPMessages", {"Folder", "UIDValidity", "UID"}, RowCondition(rowID),
        {location.Folder, static_cast<int64_t>(location.UIDValidity), static_cast<int64_t>(location.UID)});
    found->second.Location = location;
}

void TTessivarIMAPMessages::RelocateAll(const std::vector<std::pair<int64_t, TIMAPLocation>>& locations) {
    m_Model.CheckThread();
    std::map<int64_t, TIMAPMessageRow> before = m_Rows;
    try {
        TSQLiteTransaction transaction(m_Model.Database());
        for (const auto& [rowID, location] : locations)
            Relocate(rowID, location);
        transaction.Commit();
    } catch (...) {
        m_Rows = std::move(before);
        throw;
    }
}

void TTessivarIMAPMessages::UserMoved(int64_t rowID, const TIMAPLocation& location) {
    m_Model.CheckThread();
    const auto found = m_Rows.find(rowID);
    if (found == m_Rows.end())
        return;
    TTessivarEmail* email = FindEmail(found->second.EmailID);
    Relocate(rowID, location);
    if (!email || IMAPPlaceFolder(IMAPPlaceOf(*email)) == location.Folder)
        return;
    if (location.Folder == IMAPInboxFolder) {
        Debug("IMAP: the user moved message " + std::string(email->MessageID()) + " to the inbox: approved once.");
        email->ApproveOnce();
    } else if (location.Folder == IMAPBlockedFolder) {
        Debug("IMAP: the user moved message " + std::string(email->MessageID()) +
              " to the blocked folder: blocked once.");
        email->BlockOnce();
    }
}

void TTessivarIMAPMessages::Vanished(int64_t rowID) {
    m_Model.CheckThread();
    const auto found = m_Rows.find(rowID);
    if (found == m_Rows.end())
        return;
    TTessivarEmail* email = FindEmail(found->second.EmailID);
    Relocate(rowID, {});
    if (email && !email->Deleted()) {
        Debug("IMAP: message " + std::string(email->MessageID()) +
              " was removed from the server by another mail program.");
        email->Delete();
    }
}

std::optional<TIMAPLocation> TTessivarIMAPMessages::LocationOf(int32_t emailID) const {
    m_Model.CheckThread();
    for (const auto& [id, row] : m_Rows)
        if (row.EmailID == emailID && emailID != 0)
            return row.Location;
    return std::nullopt;
}

int TTessivarIMAPMessages::AddListener(std::function<void()> listener) {
    m_Model.CheckThread();
    m_Listeners.emplace(m_NextListener, std::move(listener));
    return m_NextListener++;
}

void TTessivarIMAPMessages::RemoveListener(int id) {
    m_Model.CheckThread();
    m_Listeners.erase(id);
}

void TTessivarIMAPMessages::ModelChanged() const {
    for (const auto& [id, listener] : m_Listeners)
        listener();
}
