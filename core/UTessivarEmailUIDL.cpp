// The local server's unique id of each stored email (UIDL). The message id cannot serve: it is
// missing, too long or holds blanks in real mail, and list copies and re-sent mail repeat it. Each
// email gets a random version-4 UUID when it is stored instead, kept in the column "UIDL" of its
// row: valid for POP3, the same in every session, and (122 random bits) never given to another
// message later, where a row ID may be handed out again once the newest rows were deleted.

#include "core/UTessivarBusinessLogic.h"

#include "base/UDebug.h"
#include "base/UWindows.h"
#include "core/USQLite.h"
#include "core/USQLiteTransaction.h"
#include "core/UTessivarEmail.h"

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

bool IsValidUIDL(std::string_view id) {
    if (id.empty() || id.size() > 70)
        return false;
    for (const char c : id)
        if (c < 0x21 || c > 0x7E)
            return false;
    return true;
}

std::string NewEmailUIDL() {
    return NewGUID();
}

// A database written before the column existed gets it; its rows get their ids from
// FillEmailUIDLs. At start-up the load finds the rows without id; a model that stores mail without
// having started (a tool) looks for them here.
void TTessivarBusinessLogic::AddEmailUIDLColumn() {
    TSQLiteResultSet columns;
    m_Database->Query("PRAGMA table_info(Emails)", &columns);
    const int nameColumn = columns.FieldIndex("name");
    for (; nameColumn >= 0 && !columns.Eof(); columns.Next())
        if (columns.Value(columns.Cursor(), static_cast<unsigned>(nameColumn)) == "UIDL")
            return;
    Debug("Adding the column UIDL to the table Emails.");
    m_Database->Execute("ALTER TABLE Emails ADD COLUMN UIDL VARCHAR");
}

void TTessivarBusinessLogic::CreateEmailUIDLColumn() {
    if (m_EmailUIDLColumn)
        return;
    AddEmailUIDLColumn();
    TSQLiteResultSet rows;
    m_Database->Query("SELECT ID, AccountID, MessageID FROM Emails WHERE UIDL IS NULL OR UIDL = ''", &rows);
    if (rows.RowCount() > 0) {
        std::unordered_map<int32_t, TTessivarEmail*> loaded;
        for (const auto& email : m_Emails)
            loaded.try_emplace(email->ID(), email.get());
        std::vector<TEmailWithoutUIDL> emails;
        for (; !rows.Eof(); rows.Next()) {
            const auto id = static_cast<int32_t>(rows.AsInteger(0u));
            const auto found = loaded.find(id);
            emails.push_back({id, rows.Value(rows.Cursor(), 1), rows.Value(rows.Cursor(), 2),
                              found == loaded.end() ? nullptr : found->second});
        }
        FillEmailUIDLs(emails, {});
    }
    m_EmailUIDLColumn = true;
}

namespace {
// (AccountID, id) texts, viewing texts that outlive the count.
using TIDKey = std::pair<std::string_view, std::string_view>;
struct TIDKeyHash {
    size_t operator()(const TIDKey& key) const noexcept {
        const size_t first = std::hash<std::string_view>()(key.first);
        return first ^
               (std::hash<std::string_view>()(key.second) + 0x9e3779b97f4a7c15ULL + (first << 6) + (first >> 2));
    }
};
} // namespace

std::string_view TTessivarBusinessLogic::TEmailWithoutUIDL::MessageIDText() const {
    return Email ? Email->MessageID() : std::string_view(MessageID);
}

// Each email gets the message id where it is a valid id and no other row of the account holds it
// as its message id or its UIDL (so that a mail program keeping mail on the server does not take
// those messages again), else a new one; its loaded record carries the id stored. Only the ids the
// emails could keep are counted, over one streamed read of the table: a database of 100,000 emails
// without ids is filled with little more memory than its records.
void TTessivarBusinessLogic::FillEmailUIDLs(const std::vector<TEmailWithoutUIDL>& emails, const TUIDLHolders& removed) {
    std::unordered_map<TIDKey, int, TIDKeyHash> holders;
    for (const TEmailWithoutUIDL& email : emails)
        if (IsValidUIDL(email.MessageIDText()))
            holders.try_emplace(TIDKey(email.AccountID, email.MessageIDText()), 0);
    if (!holders.empty()) {
        for (const auto& [key, count] : removed)
            if (const auto holder = holders.find(TIDKey(key.first, key.second)); holder != holders.end())
                holder->second += count;
        const auto count = [&](std::string_view accountID, std::string_view id) {
            if (const auto holder = holders.find(TIDKey(accountID, id)); holder != holders.end())
                ++holder->second;
        };
        m_Database->QueryRows("SELECT AccountID, MessageID, UIDL FROM Emails", [&](const TSQLiteRow& row) {
            count(row.Text(0), row.Text(1));
            if (const std::string_view uidl = row.Text(2); !uidl.empty())
                count(row.Text(0), uidl);
        });
    }

    TSQLiteTransaction transaction(*m_Database);
    std::vector<std::string> uidls;
    uidls.reserve(emails.size());
    for (const TEmailWithoutUIDL& email : emails) {
        const auto holder = holders.find(TIDKey(email.AccountID, email.MessageIDText()));
        uidls.push_back(holder != holders.end() && holder->second == 1 ? std::string(email.MessageIDText())
                                                                       : NewEmailUIDL());
        m_Database->Update("Emails", {"UIDL"}, "ID=" + std::to_string(email.ID), {uidls.back()});
    }
    transaction.Commit();
    for (size_t i = 0; i < emails.size(); ++i)
        if (TTessivarEmail* record = emails[i].Email)
            record->SetTexts(record->FromDisplayName(), record->MessageID(), uidls[i], record->Subject());
}
