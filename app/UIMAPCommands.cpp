#include "app/UIMAPCommands.h"

#include <cctype>
#include <iostream>
#include <optional>

#include "app/UConsole.h"
#include "app/UPasswordInput.h"
#include "app/USetupSession.h"
#include "base/LStrings.h"
#include "base/UDebug.h"
#include "base/UFileUtils.h"
#include "clients/UThunderbirdIMAPAccounts.h"
#include "core/UIMAPAccountSetup.h"
#include "core/UIMAPPasswords.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarIMAPExisting.h"
#include "core/UTessivarIMAPMessages.h"
#include "mail/UIMAPMailbox.h"
#include "mail/UTessivarIMAPScreener.h"
#include "mail/UTessivarPOP3Checker.h"

namespace {

// "HOST" or "HOST:PORT", or "[ADDRESS]" and "[ADDRESS]:PORT" for an IPv6 address. Port 0 when none
// is given; false when the text is not one of those.
bool ParseHostPort(const std::string& text, std::string& host, int& port) {
    std::string rest;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos)
            return false;
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
    } else {
        const size_t colon = text.find(':');
        // Several colons without brackets: an IPv6 address without a port.
        if (colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
            host = text.substr(0, colon);
            rest = text.substr(colon);
        } else {
            host = text;
        }
    }
    port = 0;
    if (!rest.empty()) {
        if (rest[0] != ':' || rest.size() < 2 || rest.size() > 6)
            return false;
        for (size_t i = 1; i < rest.size(); ++i) {
            if (rest[i] < '0' || rest[i] > '9')
                return false;
            port = port * 10 + (rest[i] - '0');
        }
        if (port < 1 || port > 65535)
            return false;
    }
    if (host.empty())
        return false;
    for (const char c : host)
        if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '@' || c == '[' || c == ']')
            return false;
    return true;
}

std::string ShellWord(const std::string& word) {
    bool plain = !word.empty();
    for (const char c : word)
        if (!(std::isalnum(static_cast<unsigned char>(c)) ||
              std::string_view("@%+=:,./_-").find(c) != std::string_view::npos))
            plain = false;
    if (plain)
        return word;
    std::string quoted = "'";
    for (const char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string Describe(const TIMAPServer& server) {
    return server.EmailAddress + " (IMAP, " + server.Username + " at " + server.Host + ":" +
           std::to_string(server.Port) + ", " + IMAPSecurityText(server.Security) + ")";
}

} // namespace

std::string IMAPSecurityText(TIMAPSecurity security) {
    return security == TIMAPSecurity::STARTTLS ? "STARTTLS" : "IMAPS (TLS)";
}

std::string IMAPTrustedCertificatesFile() {
    return SettingsDirectory() + std::string(TrustedCertificatesFileName);
}

std::string ParseIMAPAdd(const std::vector<std::string>& words, TIMAPAddRequest& request) {
    std::vector<std::string> positional;
    bool startTLS = false;
    for (const std::string& word : words) {
        if (word == "--starttls")
            startTLS = true;
        else if (word == "--approve-existing-senders")
            request.ApproveExistingSenders = true;
        else if (word.rfind("--", 0) == 0)
            return "\"imap add\" takes --starttls and --approve-existing-senders, not \"" + word + "\".";
        else
            positional.push_back(word);
    }
    if (positional.size() != 3)
        return "\"imap add\" takes ADDRESS HOST[:PORT] USER.";
    TIMAPServer& server = request.Server;
    server.EmailAddress = positional[0];
    if (!IsWholeAddress(server.EmailAddress))
        return "\"" + server.EmailAddress + "\" does not appear to be a valid email address.";
    if (!ParseHostPort(positional[1], server.Host, server.Port))
        return "\"" + positional[1] + "\" is not a server name with an optional port (HOST or HOST:PORT).";
    server.Security = startTLS ? TIMAPSecurity::STARTTLS : TIMAPSecurity::ImplicitTLS;
    if (server.Port == 0)
        server.Port = DefaultIMAPPort(server.Security);
    server.Username = positional[2];
    if (server.Username.empty())
        return "The user name is empty.";
    return {};
}

std::string IMAPAddCommandText(const TIMAPServer& server) {
    const bool bracketed = server.Host.find(':') != std::string::npos;
    std::string host = bracketed ? "[" + server.Host + "]" : server.Host;
    if (server.Port != DefaultIMAPPort(server.Security) || bracketed)
        host += ":" + std::to_string(server.Port);
    return "tessivar imap add " + ShellWord(server.EmailAddress) + " " + ShellWord(host) + " " +
           ShellWord(server.Username) + (server.Security == TIMAPSecurity::STARTTLS ? " --starttls" : "");
}

int AddIMAPAccountChecked(TTessivarBusinessLogic& model, const TIMAPAddRequest& request, const std::string& password,
                          const TIMAPConnector& connect, std::ostream& out) {
    const TIMAPServer& server = request.Server;
    if (POP3AccountScreening(model, server.EmailAddress))
        return Fail("The mail program account " + server.EmailAddress +
                    " is screened through POP3 already; screening the same mailbox twice would take mail away "
                    "from under the mail program. Disable it first (\"tessivar disable " +
                    server.EmailAddress + "\").");
    // Where INBOX ends at this login: the mail that is there now is the user's, and what arrives
    // from now on is screened, even when it arrives before the program runs.
    std::optional<TIMAPFolderPosition> inboxEnd;
    try {
        std::unique_ptr<TIMAPMailbox> mailbox =
            connect(server, password, IMAPTrustedCertificatesFile(), IMAPLoginCheckTimeoutMs, nullptr);
        if (mailbox) {
            inboxEnd = InboxEnd(*mailbox);
            mailbox->Logout();
        }
    } catch (const std::exception& error) {
        DebugException("imap add", error);
        return Fail("could not log in: " + std::string(error.what()));
    }

    TTessivarAccount* account = nullptr;
    TIMAPPasswordPlace place = TIMAPPasswordPlace::File;
    try {
        const TKeptIMAPAccount kept = KeepIMAPAccount(model, server, password);
        account = kept.Account;
        place = kept.PasswordPlace;
        const bool screenedBefore = account->Enabled();
        model.StoreAccountEnabled(*account, true);
        if (inboxEnd && !screenedBefore)
            model.IMAPMessages().SetPosition(account->ID(), std::string(IMAPInboxFolder), *inboxEnd);
    } catch (const std::exception& error) {
        Report(error);
        return Fail(account ? "The account was added but could not be enabled." : "Nothing was kept.");
    }
    out << "Screening enabled for " << Describe(account->IMAPServer()) << ".\n"
        << "The password is kept in " << IMAPPasswordPlaceText(place) << ".\n"
        << "Mail already in INBOX stays where it is; from now on, mail from senders who are not approved moves to "
           "\""
        << IMAPAwaitingFolder << "\" or \"" << IMAPBlockedFolder << "\" on the server.\n";
    int status = 0;
    if (request.ApproveExistingSenders) {
        try {
            const int before = model.EmailAddressCount();
            ApproveExistingIMAPSenders(model, *account);
            out << "Approved " << (model.EmailAddressCount() - before)
                << " new senders of the last 90 days' mail in INBOX.\n";
        } catch (const std::exception& error) {
            DebugException("imap add", error);
            Fail("The senders of the mail in INBOX could not be approved: " + std::string(error.what()) +
                 ". The account is screened all the same.");
            status = ExitFailure;
        }
    }
    out << "A running tessivar takes the change at its next start." << std::endl;
    return status;
}

int RemoveIMAPAccount(TTessivarBusinessLogic& model, const std::string& address, std::ostream& out) {
    int found = 0;
    for (int i = 0; i < model.AccountCount(); ++i) {
        TTessivarAccount& account = model.Accounts(i);
        if (!account.IsIMAP() || !SameText(account.EmailAddress(), address))
            continue;
        model.StoreAccountEnabled(account, false);
        ForgetIMAPPassword(account.IMAPServer());
        out << "Screening stopped for " << Describe(account.IMAPServer()) << "; its password is forgotten.\n"
            << IMAPDisabledText(account);
        ++found;
    }
    if (found == 0)
        return Fail("No IMAP account has the address " + address + "; \"tessivar accounts\" lists them.");
    out << "A running tessivar takes the change at its next start." << std::endl;
    return 0;
}

std::string IMAPDisabledText(const TTessivarAccount& account) {
    return "Every message stays where it is on " + account.RemoteServer() +
           ". Mail that Tessivar held is in the folders \"" + std::string(IMAPAwaitingFolder) + "\" and \"" +
           std::string(IMAPBlockedFolder) +
           "\": move what you want back to INBOX with any mail program; the folders can then be deleted.\n";
}

std::string ThunderbirdIMAPOffers(const TTessivarBusinessLogic& model) {
    std::string text;
    for (const TThunderbirdIMAPAccount& found : FindThunderbirdIMAPAccounts()) {
        bool added = false;
        for (int i = 0; i < model.AccountCount() && !added; ++i) {
            const TTessivarAccount& account = model.Accounts(i);
            added = account.IsIMAP() && SameText(account.EmailAddress(), found.Server.EmailAddress) &&
                    SameText(account.RemoteServer(), found.Server.Host) && account.Username() == found.Server.Username;
        }
        if (!added)
            text += "  " + found.Server.EmailAddress + " (Thunderbird profile " + found.Profile + "):\n    " +
                    IMAPAddCommandText(found.Server) + "\n";
    }
    if (text.empty())
        return text;
    return "Thunderbird's IMAP accounts can be screened on their server (Thunderbird's settings stay as they are):\n" +
           text;
}

int RunIMAPCommand(const std::vector<std::string>& words, const TIMAPConnector& connect) {
    const std::string action = words.empty() ? std::string() : LowerCase(words[0]);
    const std::vector<std::string> rest(words.begin() + (words.empty() ? 0 : 1), words.end());
    if (action == "add") {
        TIMAPAddRequest request;
        if (const std::string problem = ParseIMAPAdd(rest, request); !problem.empty()) {
            std::cerr << "tessivar: " << problem << "\n"
                      << "usage: tessivar imap add ADDRESS HOST[:PORT] USER [--starttls] [--approve-existing-senders]"
                      << std::endl;
            return ExitUsage;
        }
        TSetupSession session;
        const auto password = ReadPassword(
            "Password for " + request.Server.Username + " at " + request.Server.Host + ": ", IMAPPasswordMaximumLength);
        if (!password)
            return Fail("No password was read.");
        if (password->empty())
            return Fail("The password is empty.");
        return AddIMAPAccountChecked(session.Model(), request, *password, connect, std::cout);
    }
    if (action == "remove") {
        if (rest.size() != 1) {
            std::cerr << "tessivar: usage: tessivar imap remove ADDRESS" << std::endl;
            return ExitUsage;
        }
        TSetupSession session;
        return RemoveIMAPAccount(session.Model(), rest[0], std::cout);
    }
    std::cerr << "tessivar: \"imap\" is followed by add or remove." << std::endl;
    return ExitUsage;
}
