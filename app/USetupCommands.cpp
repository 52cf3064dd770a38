#include "app/USetupCommands.h"

#include <iostream>

#include "app/UConsole.h"
#include "app/UIMAPCommands.h"
#include "app/USetupSession.h"
#include "core/UIMAPAccountSetup.h"
#include "core/UIMAPPasswords.h"
#include "mail/UIMAPMailbox.h"
#include "base/LStrings.h"
#include "base/UDebug.h"
#include "base/UWindows.h"
#include "core/UMessageLoop.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarIMAPMessages.h"
#include "service/UTessivarAccountRequests.h"

namespace {

// The words that switch behaviour on wherever they stand (see HasParam).
bool IsSwitch(const std::string& word) {
    for (const char* name : {"debug", "log", "local", "show", "headless"})
        if (SameText(word, name))
            return true;
    return false;
}

const char* const HelpText =
    "usage: tessivar [SWITCH...]                     screen mail until Ctrl-C, SIGTERM or SIGHUP\n"
    "       tessivar [SWITCH...] COMMAND [WORD...]   set up, then exit\n"
    "\n"
    "Switches (whole words, in any letter case, before the command or after its words):\n"
    "  headless                          run without windows\n"
    "  show                              show the main window at start (ignored without windows)\n"
    "  debug                             write trace entries to standard output\n"
    "  log                               with debug: write them to Logs/ in the data folder as well\n"
    "  local                             use the web service on this machine (127.0.0.1:8085)\n"
    "\n"
    "Commands (none of them screens mail or changes a mail program's settings):\n"
    "  account create ADDRESS PASSWORD   create a Tessivar web account (refused while one is set up\n"
    "                                    here: \"account create --replace ...\" uses the new one instead)\n"
    "  account join ADDRESS PASSWORD     use an existing web account and take over its data\n"
    "  account password OLD NEW          change the web account's password\n"
    "  accounts                          list the mail program and IMAP accounts and which are\n"
    "                                    screened, and the Thunderbird IMAP accounts that can be\n"
    "                                    added (with the command that adds each)\n"
    "  enable ADDRESS                    screen the account(s) with this address\n"
    "  disable ADDRESS                   stop screening them (IMAP mail stays where it is)\n"
    "  imap add ADDRESS HOST[:PORT] USER [--starttls] [--approve-existing-senders]\n"
    "                                    screen an IMAP mailbox on its server (port 993 with TLS,\n"
    "                                    or 143 with --starttls); asks for the password (or reads\n"
    "                                    it from standard input) and checks the login first\n"
    "  imap remove ADDRESS               stop screening the IMAP mailbox and forget its password\n"
    "  help                              this text (also --help and -h)\n"
    "\n"
    "While screening, each activity log item is written to standard output as one line.\n"
    "\n"
    "Exit status: 0 after a clean stop or a command that succeeded; 1 when start-up or a command\n"
    "failed, or screening ended on an error (the reason is on standard error); 2 for a usage error.\n";

bool IsHelp(const std::string& word) {
    return SameText(word, "help") || word == "--help" || word == "-h";
}

int UsageError(const std::string& problem) {
    std::cerr << "tessivar: " << problem << "\n\n" << HelpText << std::flush;
    return ExitUsage;
}

// The rules of the windows that choose an account password.
std::string PasswordProblem(const std::string& password) {
    if (password.empty())
        return "You must enter the password you wish to use with your Tessivar account.";
    if (password.size() <= 3)
        return "Passwords must be at least four characters long. Eight or more would be better.";
    return {};
}

// Creating an account while another is set up would quietly put the data kept here under the new
// account and leave the old one's on the service: only done when the user asks for it by name.
int CreateAccount(const std::string& address, const std::string& password, bool replace) {
    if (!IsWholeAddress(address))
        return Fail("\"" + address + "\" does not appear to be a valid email address.");
    if (const std::string problem = PasswordProblem(password); !problem.empty())
        return Fail(problem);
    TSetupSession session;
    const std::string current = session.Model().SetupRequired() ? std::string() : session.Model().Username();
    if (!current.empty() && !replace)
        return Fail("The Tessivar account " + current + " is already set up here. To create a new account and use "
                    "it instead, run \"tessivar account create --replace ADDRESS PASSWORD\"; to use another existing "
                    "account, \"tessivar account join ADDRESS PASSWORD\".");
    TAccountAnswer availability = TAccountAnswer::Failed;
    RequestAccountAvailability(session.Model(), address, [&](TAccountAnswer answer) {
        availability = answer;
        session.Finish();
    });
    if (!session.Wait())
        return Fail("Interrupted.");
    if (availability == TAccountAnswer::Failed)
        return Fail("A server error occurred while trying to verify the availability of this email address. Please "
                    "try again shortly.");
    if (availability == TAccountAnswer::AccountExists)
        return Fail("There is already an account set up for this email address. Use \"tessivar account join\" for "
                    "it, or create an account using a different email address.");
    bool created = false;
    RequestAccountCreate(session.Model(), address, password, [&](bool succeeded) {
        created = succeeded;
        session.Finish();
    });
    if (!session.Wait())
        return Fail("Interrupted.");
    if (!created)
        return Fail("An error occurred while attempting to create your account. Please try again shortly.");
    std::cout << "Created the Tessivar account " << address
              << (current.empty() ? std::string(".") : "; it replaces " + current + " here.") << std::endl;
    return 0;
}

int JoinAccount(const std::string& address, const std::string& password) {
    TSetupSession session;
    TAccountAnswer outcome = TAccountAnswer::Failed;
    RequestExistingAccount(session.Model(), address, password, nullptr, [&](TAccountAnswer answer) {
        outcome = answer;
        session.Finish();
    });
    if (!session.Wait())
        return Fail("Interrupted.");
    if (outcome == TAccountAnswer::Failed)
        return Fail("A server error occurred while trying to verify your account.");
    if (outcome == TAccountAnswer::NoAccount)
        return Fail("An account corresponding to this email address and password could not be found. Check your "
                    "details and try again.");
    if (!session.Closed().empty())
        return Fail(session.Closed());
    TTessivarBusinessLogic& model = session.Model();
    model.SetUsername(address);
    model.SetPassword(password);
    std::cout << "Now using the Tessivar account " << address << ": " << model.EmailAddressCount() << " senders and "
              << model.DomainNameCount() << " domain names." << std::endl;
    return 0;
}

int ChangePassword(const std::string& current, const std::string& next) {
    TSetupSession session;
    TTessivarBusinessLogic& model = session.Model();
    if (model.SetupRequired())
        return Fail("No Tessivar account is set up yet: use \"tessivar account create\" or \"tessivar account join\".");
    if (current != model.Password())
        return Fail("Your current password is not correct.");
    if (const std::string problem = PasswordProblem(next); !problem.empty())
        return Fail(problem);
    bool changed = false;
    RequestPasswordChange(model, next, [&](bool succeeded) {
        changed = succeeded;
        session.Finish();
    });
    if (!session.Wait())
        return Fail("Interrupted.");
    if (!changed)
        return Fail("There was a problem updating your password.");
    std::cout << "Password change request complete." << std::endl;
    return 0;
}

int ListAccounts() {
    TSetupSession session;
    const auto enabled = [](const TTessivarAccount& account) {
        return std::string(account.Enabled() ? "enabled" : "disabled");
    };
    const TTable rows = MailProgramAccounts(session.Model(), enabled);
    const TTable imap = IMAPAccountRows(session.Model(), enabled);
    if (rows.size() == 1 && imap.size() == 1)
        std::cout << "No mail program or IMAP accounts were found." << std::endl;
    if (rows.size() > 1)
        std::cout << TableText(rows, "");
    if (imap.size() > 1)
        std::cout << (rows.size() > 1 ? "\n" : "") << TableText(imap, "");
    if (const std::string offers = ThunderbirdIMAPOffers(session.Model()); !offers.empty())
        std::cout << "\n" << offers;
    std::cout << std::flush;
    return 0;
}

int SetScreening(const std::string& address, bool enabled) {
    TSetupSession session;
    TTessivarBusinessLogic& model = session.Model();
    int found = 0;
    for (int i = 0; i < model.AccountCount(); ++i) {
        TTessivarAccount& account = model.Accounts(i);
        if ((account.HasMailClientAccounts() || account.IsIMAP()) && SameText(account.EmailAddress(), address)) {
            ++found;
            // One mailbox screened both through the mail program and on its server would have its
            // mail taken twice and its senders challenged twice: the way screened first stays.
            if (enabled && !account.Enabled() && ScreenedTheOtherWay(model, account)) {
                std::cout << "Not enabled for " << account.EmailAddress() << " ("
                          << (account.IsIMAP() ? "IMAP, " : "") << account.RemoteServer() << ":"
                          << account.RemotePort() << "): the same address is screened "
                          << (account.IsIMAP() ? "through the mail program" : "on its IMAP server")
                          << " already; disable that first." << std::endl;
                continue;
            }
            // Enabled anew, an IMAP account leaves the mail of its pause in INBOX.
            if (enabled && !account.Enabled() && account.IsIMAP())
                model.IMAPMessages().ForgetInboxPosition(account.ID());
            model.StoreAccountEnabled(account, enabled);
            std::cout << "Screening " << (enabled ? "enabled" : "disabled") << " for " << account.EmailAddress() << " ("
                      << (account.IsIMAP() ? "IMAP, " : "") << account.RemoteServer() << ":" << account.RemotePort()
                      << ")." << std::endl;
            if (account.IsIMAP() && !enabled)
                std::cout << IMAPDisabledText(account);
            if (account.IsIMAP() && enabled && !ReadIMAPPassword(account.IMAPServer()))
                std::cout << "No password is kept for it: \"" << IMAPAddCommandText(account.IMAPServer())
                          << "\" asks for it again.\n";
        }
    }
    if (found == 0)
        return Fail("No mail program or IMAP account has the address " + address +
                    "; \"tessivar accounts\" lists them.");
    std::cout << "A running tessivar takes the change at its next start." << std::endl;
    return 0;
}

} // namespace

int RunCommand(const std::vector<std::string>& arguments) {
    std::vector<std::string> switches;
    std::vector<std::string> words;
    for (const std::string& argument : arguments) {
        // Switches stand before the command or after its arguments; a password may be any word.
        if (words.empty() && IsSwitch(argument))
            switches.push_back(argument);
        else
            words.push_back(argument);
    }
    if (words.empty())
        return -1;
    if (IsHelp(words[0])) {
        std::cout << HelpText << std::flush;
        return 0;
    }
    const std::string command = LowerCase(words[0]);
    if (command == "imap") {
        // Trailing switches, but never one of the words the command needs.
        const size_t needed = words.size() > 1 && LowerCase(words[1]) == "remove" ? 3 : 5;
        while (words.size() > needed && IsSwitch(words.back())) {
            switches.insert(switches.begin(), words.back());
            words.pop_back();
        }
        SetCommandLine(switches);
        InitializeDebugLog();
        try {
            return RunIMAPCommand({words.begin() + 1, words.end()}, ConnectIMAP);
        } catch (const std::exception& error) {
            Report(error);
            return ExitFailure;
        }
    }
    // "account create --replace ADDRESS PASSWORD": the option stands right after "create", where
    // it cannot be taken for a password.
    const bool replace =
        command == "account" && words.size() > 2 && LowerCase(words[1]) == "create" && words[2] == "--replace";
    if (replace)
        words.erase(words.begin() + 2);
    size_t count = 0;
    if (command == "account")
        count = 3;
    else if (command == "accounts")
        count = 0;
    else if (command == "enable" || command == "disable")
        count = 1;
    else
        return UsageError("\"" + words[0] + "\" is neither a switch nor a command.");
    while (words.size() > count + 1 && IsSwitch(words.back())) {
        switches.insert(switches.begin(), words.back());
        words.pop_back();
    }
    // Only the switches count as switches: a password that reads "debug" turns nothing on.
    SetCommandLine(switches);
    InitializeDebugLog();
    if (words.size() != count + 1)
        return UsageError("\"" + command + "\" takes " +
                          (count == 0 ? std::string("no words") : std::to_string(count) + " words") + " after it.");
    try {
        if (command == "accounts")
            return ListAccounts();
        if (command == "enable" || command == "disable")
            return SetScreening(words[1], command == "enable");
        const std::string action = LowerCase(words[1]);
        if (action == "create")
            return CreateAccount(words[2], words[3], replace);
        if (action == "join")
            return JoinAccount(words[2], words[3]);
        if (action == "password")
            return ChangePassword(words[2], words[3]);
        return UsageError("\"account\" is followed by create, join or password, not \"" + words[1] + "\".");
    } catch (const std::exception& error) {
        Report(error);
        return ExitFailure;
    }
}
