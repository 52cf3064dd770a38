// Maintenance of the database and the message store: the cleanup at every start and the data reset
// of the setup wizard.

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "base/UFileUtils.h"
#include "base/UWindows.h"
#include "core/USQLite.h"
#include "core/USQLiteTransaction.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarLogItem.h"

#include <sys/stat.h>
#include <unistd.h>

// The steps run in this order so that each delete sees the references the earlier ones left:
// senders without domain name, emails without sender, deleted emails with their files, then
// senders and domain names that nothing refers to any more.
void TTessivarBusinessLogic::Cleanup() {
    AddLogItem("Cleanup started...", 0);
    {
        TUpdateScope<TTessivarBusinessLogic> scope(*this);
        TSQLiteLock lock(*m_Database);

        // A damaged row may hold no reference at all; NULL is never "NOT IN" anything, so it is
        // asked for by itself.
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

        // One scan of the emails finds both the emails without a sender (marked deleted first, as
        // any deleted email) and those already deleted; without either, nothing is deleted and the
        // table is not scanned again.
        Debug("Removing emails with invalid from addresses.");
        const std::string withoutSender =
            "(Emails.FromEmailAddressID IS NULL OR "
            "Emails.FromEmailAddressID NOT IN (SELECT EmailAddresses.ID FROM EmailAddresses))";
        // A deleted email of an IMAP account stays until its message is in the server's trash.
        std::string movingToTrash;
        if (m_Database->Query("SELECT name FROM sqlite_master WHERE type='table' AND name='IMAPMessages'") > 0)
            movingToTrash = " AND Emails.ID NOT IN (SELECT EmailID FROM IMAPMessages)";
        TSQLiteResultSet emails;
        m_Database->Query("SELECT Emails.MessageID, Emails.ID, " + withoutSender +
                              " FROM Emails WHERE (Emails.Deleted=1 OR " + withoutSender + ")" + movingToTrash,
                          &emails);
        for (; !emails.Eof(); emails.Next()) {
            if (!emails.AsBoolean(2u))
                continue;
            Debug(">>> WARNING!!! Deleting email with bad from address \"" + emails.Value(emails.Cursor(), 0) +
                  "\" from database.");
            m_Database->Update("Emails", {"Deleted"}, "ID=" + std::to_string(emails.AsInteger(1u)), {1});
        }

        Debug("Removing deleted emails.");
        const std::string store = StorePath();
        // A file that is already gone, or cannot be removed, does not stop the cleanup.
        for (emails.MoveBy(-emails.RowCount()); !emails.Eof(); emails.Next())
            ::unlink((store + IntToHex(static_cast<uint32_t>(emails.AsInteger(1u)), 8) + ".eml").c_str());
        if (emails.RowCount() > 0)
            m_Database->Execute("DELETE FROM Emails WHERE Deleted=1" + movingToTrash);
        RestrictStore(store);

        Debug("Removing deleted email addresses.");
        m_Database->Execute("DELETE FROM EmailAddresses WHERE (Deleted=1 OR ApprovalStatus='?') AND "
                            "AuthenticationStatus='?' AND ID NOT IN (SELECT FromEmailAddressID FROM Emails)");

        Debug("Removing deleted domain names.");
        m_Database->Execute("DELETE FROM DomainNames WHERE (Deleted=1 OR ApprovalStatus='?') AND ID NOT IN "
                            "(SELECT DomainNameID FROM EmailAddresses)");
    }
    AddLogItem("Cleanup complete.", 0);
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
        for (const auto& email : m_DetachedEmails)
            offered += (offered.empty() ? "" : ",") + std::to_string(email->ID());
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
