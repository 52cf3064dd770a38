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

#include <map>
#include <utility>
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

// A database written before the column existed gets it, and its rows get their ids: the message id
// where it is a valid id and no other row of the account holds it (so that a mail program keeping
// mail on the server does not take those messages again), else a new one.
void TTessivarBusinessLogic::CreateEmailUIDLColumn() {
    if (m_EmailUIDLColumn)
        return;
    TSQLiteResultSet columns;
    m_Database->Query("PRAGMA table_info(Emails)", &columns);
    bool present = false;
    const int nameColumn = columns.FieldIndex("name");
    for (; nameColumn >= 0 && !columns.Eof(); columns.Next())
        present = present || columns.Value(columns.Cursor(), static_cast<unsigned>(nameColumn)) == "UIDL";

    TSQLiteTransaction transaction(*m_Database);
    if (!present) {
        Debug("Adding the column UIDL to the table Emails.");
        m_Database->Execute("ALTER TABLE Emails ADD COLUMN UIDL VARCHAR");
    }
    TSQLiteResultSet rows;
    m_Database->Query("SELECT ID, AccountID, MessageID FROM Emails WHERE UIDL IS NULL OR UIDL = ''", &rows);
    if (rows.RowCount() > 0) {
        TSQLiteResultSet taken;
        m_Database->Query("SELECT AccountID, MessageID, COUNT(*) FROM Emails GROUP BY AccountID, MessageID", &taken);
        std::map<std::pair<std::string, std::string>, int> holders;
        for (; !taken.Eof(); taken.Next())
            holders[{taken.Value(taken.Cursor(), 0), taken.Value(taken.Cursor(), 1)}] = taken.AsInteger(2u);
        TSQLiteResultSet used;
        m_Database->Query("SELECT AccountID, UIDL FROM Emails WHERE UIDL IS NOT NULL AND UIDL <> ''", &used);
        for (; !used.Eof(); used.Next())
            holders[{used.Value(used.Cursor(), 0), used.Value(used.Cursor(), 1)}] += 1;
        for (; !rows.Eof(); rows.Next()) {
            const std::string& messageID = rows.Value(rows.Cursor(), 2);
            const bool keep = IsValidUIDL(messageID) && holders[{rows.Value(rows.Cursor(), 1), messageID}] == 1;
            m_Database->Update("Emails", {"UIDL"}, "ID=" + std::to_string(rows.AsInteger(0u)),
                               {keep ? messageID : NewEmailUIDL()});
        }
    }
    transaction.Commit();
    m_EmailUIDLColumn = true;
}
