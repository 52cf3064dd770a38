// Maintenance of the database and the message store: the cleanup at every start and the data reset
// of the setup wizard.

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "base/UFileUtils.h"
#include "base/UWindows.h"
#include "core/USQLite.h"
#include "core/USQLiteTransaction.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "core/UTessivarLogItem.h"

#include <algorithm>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace {
// Of the rows of `table` with these `ids`, deletes those meeting `condition` in one transaction and
// gives their IDs. The IDs go in bounded lists, whatever their number.
std::unordered_set<int32_t> DeleteRowsWhere(TSQLite& database, const std::string& table, const std::string& condition,
                                            const std::vector<int32_t>& ids) {
    constexpr size_t ListSize = 500;
    std::unordered_set<int32_t> deleted;
    if (ids.empty())
        return deleted;
    TSQLiteTransaction transaction(database);
    for (size_t first = 0; first < ids.size(); first += ListSize) {
        std::string list;
        for (size_t i = first; i < std::min(ids.size(), first + ListSize); ++i) {
            if (!list.empty())
                list += ',';
            list += std::to_string(ids[i]);
        }
        const std::string where = " WHERE " + condition + " AND ID IN (" + list + ")";
        TSQLiteResultSet rows;
        if (database.Query("SELECT ID FROM " + table + where, &rows) < 1)
            continue;
        for (; !rows.Eof(); rows.Next())
            deleted.insert(static_cast<int32_t>(rows.AsInteger(0u)));
        database.Execute("DELETE FROM " + table + where);
    }
    transaction.Commit();
    return deleted;
}

} // namespace

// The steps run in this order so that each delete sees the references the earlier ones left:
// senders without domain name (before the load), emails without sender and deleted emails with
// their files (found by the load), then senders and domain names that nothing refers to any more.
void TTessivarBusinessLogic::RemoveDomainlessSenders() {
    TUpdateScope<TTessivarBusinessLogic> scope(*this);
    TSQLiteLock lock(*m_Database);
    // A damaged row may hold no reference at all; NULL is never "NOT IN" anything, so it is asked
    // for by itself. The domain names are found by their row IDs, one lookup per sender.
    Debug("Removing domainless email addresses.");
    TSQLiteResultSet senders;
    m_Database->Query("SELECT EmailAddresses.Username, EmailAddresses.ID FROM EmailAddresses WHERE "
                      "EmailAddresses.DomainNameID IS NULL OR "
                      "EmailAddresses.DomainNameID NOT IN (SELECT DomainNames.ID FROM DomainNames)",
                      &senders);
    // By position: the engine may name the columns with or without their table.
    for (; !senders.Eof(); senders.Next()) {
        Debug(">>> WARNING!!! Deleting domainless email address \"" + senders.Value(senders.Cursor(), 0) +
              "@\" from database.");
        m_Database->Delete("EmailAddresses", "ID=" + std::to_string(senders.AsInteger(1u)));
    }
}

// The rows go under the conditions the load found them by, so that a row changed since is kept. A
// file goes before its row: a kill in between leaves a row that the next start removes again, never
// a message file that nothing refers to.
TTessivarBusinessLogic::TUIDLHolders
TTessivarBusinessLogic::RemoveBrokenAndDeletedEmails(const std::vector<TRemovableEmail>& emails) {
    TUIDLHolders removedIDs;
    TUpdateScope<TTessivarBusinessLogic> scope(*this);
    TSQLiteLock lock(*m_Database);

    Debug("Removing emails with invalid from addresses.");
    for (const TRemovableEmail& email : emails)
        if (email.WithoutSender)
            Debug(">>> WARNING!!! Deleting email with bad from address \"" + email.MessageID + "\" from database.");

    Debug("Removing deleted emails.");
    const std::string store = StorePath();
    std::vector<int32_t> ids;
    ids.reserve(emails.size());
    // A file that is already gone, or cannot be removed, does not stop the cleanup. The ids the rows
    // held stay taken for the UIDLs still to be given.
    for (const TRemovableEmail& email : emails) {
        ::unlink((store + IntToHex(static_cast<uint32_t>(email.ID), 8) + ".eml").c_str());
        removedIDs[{email.AccountID, email.MessageID}] += 1;
        if (!email.UIDL.empty())
            removedIDs[{email.AccountID, email.UIDL}] += 1;
        ids.push_back(email.ID);
    }
    std::string removable = "Deleted=1";
    if (m_Database->Query("SELECT name FROM sqlite_master WHERE type='table' AND name='IMAPMessages'") > 0)
        removable = "(Deleted=1 AND ID NOT IN (SELECT EmailID FROM IMAPMessages))";
    DeleteRowsWhere(*m_Database, "Emails",
                    "(" + removable +
                        " OR FromEmailAddressID IS NULL OR "
                        "FromEmailAddressID NOT IN (SELECT EmailAddresses.ID FROM EmailAddresses))",
                    ids);
    RestrictStore(store);
    return removedIDs;
}

// Works on the loaded records, which are every row of their tables: the references are counted in
// memory instead of by subqueries over whole tables, and the rows are deleted by their IDs under
// the conditions they are stored with.
void TTessivarBusinessLogic::RemoveUnusedSendersAndDomainNames() {
    TUpdateScope<TTessivarBusinessLogic> scope(*this);
    TSQLiteLock lock(*m_Database);

    Debug("Removing deleted email addresses.");
    std::unordered_set<const TTessivarEmailAddress*> usedSenders;
    usedSenders.reserve(m_EmailAddresses.size());
    for (const auto& email : m_Emails)
        usedSenders.insert(email->FromEmailAddress());
    // Only a sender stored with AuthenticationStatus '?' can qualify; the statement decides.
    std::vector<int32_t> unusedSenders;
    for (const auto& sender : m_EmailAddresses)
        if (sender->AuthenticationStatus() == TAuthenticationStatus::Undefined && !usedSenders.contains(sender.get()))
            unusedSenders.push_back(sender->ID());
    usedSenders.clear();
    const auto removedSenders = DeleteRowsWhere(
        *m_Database, "EmailAddresses", "(Deleted=1 OR ApprovalStatus='?') AND AuthenticationStatus='?'", unusedSenders);
    DropRecords(removedSenders, {});

    Debug("Removing deleted domain names.");
    std::unordered_set<const TTessivarDomainName*> usedDomainNames;
    for (const auto& sender : m_EmailAddresses)
        usedDomainNames.insert(sender->DomainName());
    std::vector<int32_t> unusedDomainNames;
    for (const auto& domainName : m_DomainNames)
        if (!usedDomainNames.contains(domainName.get()))
            unusedDomainNames.push_back(domainName->ID());
    const auto removedDomainNames =
        DeleteRowsWhere(*m_Database, "DomainNames", "(Deleted=1 OR ApprovalStatus='?')", unusedDomainNames);
    DropRecords({}, removedDomainNames);
}

// The store at start, before any message is written: messages whose writing was killed before the
// rename left their temporary files, which nothing would ever remove; and a store made by an older
// version under a permissive umask is narrowed to its owner, so that nobody else can replace the
// messages in it.
void TTessivarBusinessLogic::RestrictStore(const std::string& store) {
    Debug("Removing stranded temporary files.");
    if (const int removed = RemoveStrandedTemporaryFiles(store); removed > 0)
        Debug(">>> WARNING!!! Removed " + std::to_string(removed) + " unfinished message files from the store.");
    struct stat info {};
    if (::stat(store.c_str(), &info) == 0 && (info.st_mode & 077) != 0 && ::chmod(store.c_str(), 0700) != 0)
        Debug(">>> WARNING!!! The store could not be made private: " + LastErrorMessage());
}

// Runs inside a bracket, unlike a bare reset: the views hold the records freed here and must be
// rebuilt before they touch them again.
//
// Emails that a live session still offers keep their rows, marked deleted (the next cleanup removes
// them with their files): the engine gives a new row the next ID after the highest one left, so no
// new email takes the ID, and with it the file, of one a mail program may still fetch or delete.
void TTessivarBusinessLogic::ResetData() {
    CheckThread();
    TUpdateScope<TTessivarBusinessLogic> scope(*this);
    ClearEmails();
    if (m_DetachedEmails.empty()) {
        m_Database->Execute("DELETE FROM Emails");
    } else {
        std::string offered;
        for (const auto& email : m_DetachedEmails) {
            if (!offered.empty())
                offered += ',';
            offered += std::to_string(email->ID());
        }
        TSQLiteTransaction transaction(*m_Database);
        m_Database->Execute("DELETE FROM Emails WHERE ID NOT IN (" + offered + ")");
        m_Database->Execute("UPDATE Emails SET Deleted=1");
        transaction.Commit();
    }
    ClearEmailAddresses();
    m_Database->Execute("DELETE FROM EmailAddresses");
    ClearDomainNames();
    m_Database->Execute("DELETE FROM DomainNames");
    m_LogItems.clear();
    m_SynchronizationRequired = true;
    m_DataVersion = 0;
    m_Database->Update("Configuration", {"DataVersion"}, "", {0});
    m_Modified = false;
    m_SettingsSyncID = 0;
}
