#pragma once
// Where the messages of the IMAP accounts live on their servers, and how far each screened folder
// has been read. Every stored email of an IMAP account has a row here with the folder, UIDVALIDITY
// and UID of its message, written in the same transaction as the email itself; the folder it
// belongs in follows from the email's classification (approved: INBOX, blocked: the Blocked folder,
// deleted: the server's trash, else the Awaiting folder). A row whose folder differs from that is a
// move the screener owes, so a move is never lost, whenever the program stops.
// The tables are created at first use: a database made by an earlier version opens unchanged.
// Thread contract: the model's thread only (the screeners reach it through threaded calls).

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class TTessivarAccount;
class TTessivarBusinessLogic;
class TTessivarEmail;
struct TParsedMessage;

// A message on the server: its folder ("/" between levels; empty: no longer anywhere we know), the
// folder's UIDVALIDITY and its UID there.
struct TIMAPLocation {
    std::string Folder;
    uint32_t UIDValidity = 0;
    uint32_t UID = 0;

    bool operator==(const TIMAPLocation&) const = default;
};

// Where an email's message belongs on the server.
enum class TIMAPPlace { Inbox, Awaiting, Blocked, Trash };

// The folder of a place ("INBOX", the two held folders); empty for the trash, whose name the server
// tells.
std::string IMAPPlaceFolder(TIMAPPlace place);
// The place of an email as its classification stands; the trash for a deleted email.
TIMAPPlace IMAPPlaceOf(const TTessivarEmail& email);

// The message of one stored email. A deleted email keeps its row (and the cleanup keeps the email)
// until its message is in the trash.
struct TIMAPMessageRow {
    int64_t RowID = 0;
    int32_t EmailID = 0;
    int32_t AccountID = 0;
    std::string MessageID;
    int64_t Size = 0;
    TIMAPLocation Location;
};

// A move the screener owes: the row and where its message belongs.
struct TIMAPMove {
    TIMAPMessageRow Row;
    TIMAPPlace Target = TIMAPPlace::Inbox;
};

// How far a folder has been screened: everything up to LastUID under UIDValidity.
struct TIMAPFolderPosition {
    uint32_t UIDValidity = 0;
    uint32_t LastUID = 0;
};

class TTessivarIMAPMessages {
public:
    // Creates the tables when missing and loads the rows.
    explicit TTessivarIMAPMessages(TTessivarBusinessLogic& model);
    TTessivarIMAPMessages(const TTessivarIMAPMessages&) = delete;
    TTessivarIMAPMessages& operator=(const TTessivarIMAPMessages&) = delete;

    std::optional<TIMAPFolderPosition> Position(int32_t accountID, const std::string& folder) const;
    void SetPosition(int32_t accountID, const std::string& folder, TIMAPFolderPosition position);
    // Forgets how far the account's INBOX was screened: the next screening starts at what arrives
    // from then on (an account that is enabled anew leaves the mail of its pause alone).
    void ForgetInboxPosition(int32_t accountID);

    // Stores and classifies the message (the model's InsertEmail, with the headers as read) with
    // its row, and moves INBOX's position to its UID, all in one transaction.
    TTessivarEmail& StoreMessage(TTessivarAccount& account, const std::vector<std::string>& lines,
                                 const TParsedMessage& message, int64_t size, const TIMAPLocation& location);

    // The rows of the account whose message is not where it belongs, oldest first.
    std::vector<TIMAPMove> PendingMoves(int32_t accountID) const;
    // The account's rows in the folder.
    std::vector<TIMAPMessageRow> RowsIn(int32_t accountID, const std::string& folder) const;
    // The account's rows of messages with this Message-ID (and this size, when not negative).
    std::vector<TIMAPMessageRow> RowsWithMessageID(int32_t accountID, const std::string& messageId, int64_t size) const;
    // Some row of the account is at this location.
    bool Known(int32_t accountID, const TIMAPLocation& location) const;
    // The message was found (or moved) at `location`; an empty folder forgets the row.
    void Relocate(int64_t rowID, const TIMAPLocation& location);
    // Relocate for many rows, in one transaction.
    void RelocateAll(const std::vector<std::pair<int64_t, TIMAPLocation>>& locations);
    // The user moved the message to `location` with another mail program: the email is approved
    // (INBOX) or blocked (the Blocked folder) once, unless its classification already puts it there.
    void UserMoved(int64_t rowID, const TIMAPLocation& location);
    // The message is gone from every folder we watch: the user deleted it elsewhere. The email is
    // marked deleted and the row forgotten.
    void Vanished(int64_t rowID);
    // The location of the email's message; nullopt when it has none.
    std::optional<TIMAPLocation> LocationOf(int32_t emailID) const;

    // Listeners told (on the model's thread) after each change of the model, which may have changed
    // where messages belong. They must be quick: a screener only wakes its worker.
    int AddListener(std::function<void()> listener);
    void RemoveListener(int id);
    void ModelChanged() const;

private:
    TTessivarEmail* FindEmail(int32_t emailID) const;
    void InsertRow(TIMAPMessageRow& row);
    void UpdatePosition(int32_t accountID, const std::string& folder, TIMAPFolderPosition position);

    TTessivarBusinessLogic& m_Model;
    std::map<int64_t, TIMAPMessageRow> m_Rows;
    std::map<std::pair<int32_t, std::string>, TIMAPFolderPosition> m_Positions;
    std::map<int, std::function<void()>> m_Listeners;
    int m_NextListener = 1;
};
