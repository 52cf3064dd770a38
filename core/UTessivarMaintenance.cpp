// Maintenance of the database and the message store: the cleanup at every start and the data reset
// of the setup wizard.

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "core/USQLite.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarLogItem.h"

#include <unistd.h>

// The steps run in this order so that each delete sees the references the earlier ones left:
// senders without domain name, emails without sender, deleted emails with their files, then
// senders and domain names that nothing refers to any more.
void TTessivarBusinessLogic::Cleanup() {
    AddLogItem("Cleanup started...", 0);
    {
        TUpdateScope<TTessivarBusinessLogic> scope(*this);
        TSQLiteLock lock(*m_Database);

        Debug("Removing domainless email addresses.");
        TSQLiteResultSet senders;
        m_Database->Query("SELECT EmailAddresses.Username, EmailAddresses.ID FROM EmailAddresses WHERE "
                          "EmailAddresses.DomainNameID NOT IN (SELECT DomainNames.ID FROM DomainNames)",
                          &senders);
        // By position: the engine may name the columns with or without their table.
        for (; !senders.Eof(); senders.Next()) {
            Debug(">>> WARNING!!! Deleting domainless email address \"" + senders.Value(senders.Cursor(), 0) +
                  "@\" from database.");
            m_Database->Delete("EmailAddresses", "ID=" + std::to_string(senders.AsInteger(1u)));
        }

        Debug("Removing emails with invalid from addresses.");
        TSQLiteResultSet emails;
        m_Database->Query("SELECT Emails.MessageID, Emails.ID FROM Emails WHERE Emails.FromEmailAddressID NOT IN "
                          "(SELECT EmailAddresses.ID FROM EmailAddresses)",
                          &emails);
        for (; !emails.Eof(); emails.Next()) {
            Debug(">>> WARNING!!! Deleting email with bad from address \"" + emails.Value(emails.Cursor(), 0) +
                  "\" from database.");
            m_Database->Update("Emails", {"Deleted"}, "ID=" + std::to_string(emails.AsInteger(1u)), {1});
        }

        Debug("Removing deleted emails.");
        TSQLiteResultSet deleted;
        m_Database->Query("SELECT ID FROM Emails WHERE Deleted=1", &deleted);
        if (!deleted.Eof()) {
            const std::string store = StorePath();
            // A file that is already gone, or cannot be removed, does not stop the cleanup.
            for (; !deleted.Eof(); deleted.Next())
                ::unlink((store + IntToHex(static_cast<uint32_t>(deleted.AsInteger(0u)), 8) + ".eml").c_str());
        }
        m_Database->Execute("DELETE FROM Emails WHERE Deleted=1");

        Debug("Removing deleted email addresses.");
        m_Database->Execute("DELETE FROM EmailAddresses WHERE (Deleted=1 OR ApprovalStatus='?') AND "
                            "AuthenticationStatus='?' AND ID NOT IN (SELECT FromEmailAddressID FROM Emails)");

        Debug("Removing deleted domain names.");
        m_Database->Execute("DELETE FROM DomainNames WHERE (Deleted=1 OR ApprovalStatus='?') AND ID NOT IN "
                            "(SELECT DomainNameID FROM EmailAddresses)");
    }
    AddLogItem("Cleanup complete.", 0);
}

// Runs inside a bracket, unlike a bare reset: the views hold the records freed here and must be
// rebuilt before they touch them again.
void TTessivarBusinessLogic::ResetData() {
    CheckThread();
    TUpdateScope<TTessivarBusinessLogic> scope(*this);
    ClearEmails();
    m_Database->Execute("DELETE FROM Emails");
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
