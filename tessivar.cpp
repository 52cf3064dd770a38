// The program's main sequence, without windows: the model runs on the main thread, which serves
// the workers' threaded calls and the synchronisation timer until SIGINT, SIGTERM or SIGHUP, or
// until the web service reports the account closed. Each activity log item is written to standard
// output as it is added, after a summary of what is screened. The set-up commands ("account",
// "accounts", "enable", "disable") run one task each instead, without screening; "help" lists them.
//
// Exit status: 0 after a clean stop or a command that succeeded, 1 when start-up or a command
// failed or screening ended on an error (the reason on standard error), 2 for a usage error.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <exception>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "base/LDates.h"
#include "base/LStrings.h"
#include "base/UDebug.h"
#include "base/UFileUtils.h"
#include "base/URegistry.h"
#include "base/UWindows.h"
#include "clients/UTessivarClientDriver.h"
#include "core/UMessageLoop.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarLogItem.h"
#include "mail/UTessivarPOP3Server.h"
#include "service/UTessivarAccountRequests.h"

namespace {

TMessageLoop* SignalledLoop = nullptr;

extern "C" void QuitOnSignal(int) {
    SignalledLoop->QuitFromSignal();
}

// The signals that end the program the orderly way, pointing the mail programs back at their real
// servers: interrupt, termination, and the hang-up of a logout or a closed terminal.
constexpr int QuitSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The quit signals end the loop's Run while this object lives.
class TQuitOnSignals {
public:
    explicit TQuitOnSignals(TMessageLoop& loop) {
        SignalledLoop = &loop;
        struct sigaction action {};
        action.sa_handler = QuitOnSignal;
        sigemptyset(&action.sa_mask);
        for (int signal : QuitSignals)
            sigaction(signal, &action, nullptr);
    }
    ~TQuitOnSignals() {
        for (int signal : QuitSignals)
            std::signal(signal, SIG_DFL);
    }
    TQuitOnSignals(const TQuitOnSignals&) = delete;
    TQuitOnSignals& operator=(const TQuitOnSignals&) = delete;
};

constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

void Report(const std::exception& error) {
    std::cerr << "tessivar: " << error.what() << std::endl;
    DebugException("main", error);
}

// ---- Standard output -----------------------------------------------------------------------------

// Writes the text whole with unbuffered writes, so that each line reaches a pipe or a file as it is
// written, in one piece beside the trace entries of other threads. A failed write (standard output
// closed, or a pipe whose reader has gone; SIGPIPE is ignored) is dropped: screening goes on.
void WriteOut(const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t count = ::write(STDOUT_FILENO, text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return;
        written += static_cast<size_t>(count);
    }
}

// A standard descriptor that the program was started without (a shell's ">&-", a careless service
// manager) is opened on /dev/null: otherwise the next descriptor opened (the message loop's wake-up
// event, a message file, a socket) would get its number, and the activity lines and the trace meant
// for standard output would be written into it.
void OpenMissingStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lowest free number, which is fd: the lower ones are open.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd)
            ::close(opened);
    }
}

// One line of the activity log: local time, "error" for an error item, and the text, whose control
// characters (a line break in a server's answer, say) become spaces so that each item stays one line.
std::string LogLine(const TTessivarLogItem& item) {
    std::string details = item.Details();
    std::replace_if(
        details.begin(), details.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
    return FormatDateTime("yyyy-mm-dd hh:nn:ss", item.Occurred()) +
           (item.Kind() == TTessivarLogItem::Error ? " error " : " ") + details + "\n";
}

using TTable = std::vector<std::vector<std::string>>;

// The rows in columns two spaces apart, each line after the indent.
std::string TableText(const TTable& rows, const std::string& indent) {
    std::vector<size_t> widths(rows.empty() ? 0 : rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t column = 0; column < row.size() && column < widths.size(); ++column)
            widths[column] = std::max(widths[column], row[column].size());
    std::string text;
    for (const auto& row : rows) {
        text += indent;
        for (size_t column = 0; column + 1 < row.size(); ++column)
            text += row[column] + std::string(widths[column] - row[column].size() + 2, ' ');
        text += (row.empty() ? std::string() : row.back()) + "\n";
    }
    return text;
}

// The mail program accounts found, one row each, with the address and the real server of the
// account that screens them; the caller words the last column.
TTable MailProgramAccounts(const TTessivarBusinessLogic& model,
                           const std::function<std::string(const TTessivarAccount&)>& screening) {
    TTable rows{{"MAIL PROGRAM", "E-MAIL ADDRESS", "SERVER", "SCREENING"}};
    for (int i = 0; i < model.AccountCount(); ++i) {
        const TTessivarAccount& account = model.Accounts(i);
        for (const TMailClientAccount* clientAccount : account.MailClientAccounts())
            rows.push_back({clientAccount->Client ? clientAccount->Client->Name : std::string("?"),
                            account.EmailAddress(), account.RemoteServer() + ":" + std::to_string(account.RemotePort()),
                            screening(account)});
    }
    return rows;
}

// Written once screening has started: where the data lives, the mail program accounts found and
// which of them are screened on which local port, and what to do when none is found or screened.
std::string StartupSummary(const TTessivarBusinessLogic& model) {
    std::string text = "Data folder: " + ProgramDirectory() + "\n";
    bool screened = false;
    const TTable rows = MailProgramAccounts(model, [&screened](const TTessivarAccount& account) {
        if (account.Redirected()) {
            screened = true;
            return "on local port " + std::to_string(account.Server().Port());
        }
        return std::string(account.Enabled() ? "enabled, not running" : "not screened");
    });
    if (rows.size() == 1) {
        const std::string file = RegistryFileName(HKEY_CURRENT_USER);
        text += "No mail program account was found in HKEY_CURRENT_USER.reg or HKEY_LOCAL_MACHINE.reg in " +
                file.substr(0, file.rfind('/')) +
                ".\nSet up your mail program's POP3 account there (see \"Mail programs\" in the README), then "
                "start tessivar again.\n";
    } else {
        text += "Mail program accounts:\n" + TableText(rows, "  ");
        if (!screened)
            text += "None of them is screened: \"tessivar enable ADDRESS\" screens the account with that "
                    "address from the next start (\"tessivar accounts\" lists them).\n";
    }
    if (model.SetupRequired())
        text += "No Tessivar web account is set up, so unknown senders are not asked to authenticate: "
                "\"tessivar account create ADDRESS PASSWORD\" (or \"account join\" for an existing one) sets "
                "it up.\n";
    return text;
}

// Stops screening: each redirected mail program account is pointed back at its real server and its
// local server stopped, while this thread still serves the session releases of open connections
// so that their deletions apply. Then the workers' calls are refused, and the model lets go of its
// records (which ends the mailbox checkers without passing them on to a half-emptied model).
// False when something failed (reported): a mail program may still name a local server.
bool StopScreening(TMessageLoop& loop, TTessivarBusinessLogic& model) {
    bool clean = true;
    // An account whose restore failed is no longer redirected, so each retry goes on with the rest.
    for (int attempt = 0; attempt <= model.AccountCount(); ++attempt) {
        try {
            model.UnprotectAccounts();
            break;
        } catch (const std::exception& error) {
            Report(error);
            clean = false;
        }
    }
    loop.BeginShutdown();
    try {
        model.Shutdown();
    } catch (const std::exception& error) {
        Report(error);
        clean = false;
    }
    return clean;
}

// Screening until a quit signal, or until the web service reports the account closed.
int RunScreening() {
    if (!HasParam("headless"))
        std::cerr << "tessivar: windows are not available yet; running without windows." << std::endl;

    TMessageLoop loop;
    loop.SetQuitBeginsShutdown(false);
    TQuitOnSignals signals(loop);
    int exitCode = 0;
    try {
        TTessivarBusinessLogic model(loop);
        model.OnLogItem = [](TTessivarLogItem& item) { WriteOut(LogLine(item)); };
        // Local changes reach the service five seconds after the change that asked for them.
        TLoopTimer tmrServerSync(loop, std::chrono::milliseconds(5000), [&model] { model.Synchronize(true); });
        model.OnChange = [&tmrServerSync](TTessivarBusinessLogic& changed) {
            if (changed.SynchronizationRequired())
                tmrServerSync.Start();
        };
        model.OnAccountClosed = [&](TAccountStatus, const std::string& title, const std::string& text) {
            std::cerr << "tessivar: " << title << " " << text << std::endl;
            model.AddLogItem(text, 1);
            exitCode = ExitFailure;
            loop.Quit();
        };
        model.OnNewVersion = [&model](const std::string& version) {
            model.AddLogItem("A new version of Tessivar (" + version + ") is available.", 0);
        };
        try {
            model.AddLogItem("Starting up...", 0);
            model.Startup();
            model.AddLogItem("Startup complete.", 0);
            WriteOut(StartupSummary(model));
            loop.Run();
        } catch (const std::exception& error) {
            Report(error);
            exitCode = ExitFailure;
        }
        if (!StopScreening(loop, model))
            exitCode = ExitFailure;
        model.OnChange = nullptr;
        model.OnAccountClosed = nullptr;
    } catch (const std::exception& error) {
        Report(error);
        exitCode = ExitFailure;
    }
    return exitCode;
}

// ---- Set-up commands -----------------------------------------------------------------------------

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
    "  account create ADDRESS PASSWORD   create a Tessivar web account\n"
    "  account join ADDRESS PASSWORD     use an existing web account and take over its data\n"
    "  account password OLD NEW          change the web account's password\n"
    "  accounts                          list the mail program accounts and which are screened\n"
    "  enable ADDRESS                    screen the mail program account(s) with this address\n"
    "  disable ADDRESS                   stop screening them\n"
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

int Fail(const std::string& text) {
    std::cerr << "tessivar: " << text << std::endl;
    return ExitFailure;
}

// The model of a set-up command: loaded, but neither cleaning, screening nor synchronising, so that
// the mail programs stay as they are and a screening run in the same directory is not disturbed.
class TSetupSession {
public:
    TSetupSession() : m_Signals(m_Loop), m_Model(m_Loop) {
        m_Model.OnAccountClosed = [this](TAccountStatus, const std::string& title, const std::string& text) {
            m_Closed = title + " " + text;
        };
        m_Model.Load();
    }
    TTessivarBusinessLogic& Model() { return m_Model; }
    // Serves the model's calls until Finish; false when a quit signal came first.
    bool Wait() {
        m_Finished = false;
        return m_Loop.RunUntil([this] { return m_Finished; });
    }
    void Finish() { m_Finished = true; }
    // The message of a synchronisation that reported the account closed; empty otherwise.
    const std::string& Closed() const { return m_Closed; }

private:
    TMessageLoop m_Loop;
    TQuitOnSignals m_Signals;
    TTessivarBusinessLogic m_Model;
    bool m_Finished = false;
    std::string m_Closed;
};

bool IsWholeAddress(const std::string& address) {
    const size_t at = address.find('@');
    return at != std::string::npos && at > 0 && at + 1 < address.size() &&
           address.find('@', at + 1) == std::string::npos;
}

// The rules of the windows that choose an account password.
std::string PasswordProblem(const std::string& password) {
    if (password.empty())
        return "You must enter the password you wish to use with your Tessivar account.";
    if (password.size() <= 3)
        return "Passwords must be at least four characters long. Eight or more would be better.";
    return {};
}

int CreateAccount(const std::string& address, const std::string& password) {
    if (!IsWholeAddress(address))
        return Fail("\"" + address + "\" does not appear to be a valid email address.");
    if (const std::string problem = PasswordProblem(password); !problem.empty())
        return Fail(problem);
    TSetupSession session;
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
    std::cout << "Created the Tessivar account " << address << "." << std::endl;
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
    const TTable rows = MailProgramAccounts(session.Model(), [](const TTessivarAccount& account) {
        return std::string(account.Enabled() ? "enabled" : "disabled");
    });
    if (rows.size() == 1) {
        std::cout << "No mail program accounts were found." << std::endl;
        return 0;
    }
    std::cout << TableText(rows, "") << std::flush;
    return 0;
}

int SetScreening(const std::string& address, bool enabled) {
    TSetupSession session;
    TTessivarBusinessLogic& model = session.Model();
    int found = 0;
    for (int i = 0; i < model.AccountCount(); ++i) {
        TTessivarAccount& account = model.Accounts(i);
        if (account.HasMailClientAccounts() && SameText(account.EmailAddress(), address)) {
            model.StoreAccountEnabled(account, enabled);
            std::cout << "Screening " << (enabled ? "enabled" : "disabled") << " for " << account.EmailAddress() << " ("
                      << account.RemoteServer() << ":" << account.RemotePort() << ")." << std::endl;
            ++found;
        }
    }
    if (found == 0)
        return Fail("No mail program account has the address " + address + "; \"tessivar accounts\" lists them.");
    std::cout << "A running tessivar takes the change at its next start." << std::endl;
    return 0;
}

// Runs the command of the arguments (help included) or reports a usage error; -1 when they hold
// switches only (a screening run).
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
            return CreateAccount(words[2], words[3]);
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

} // namespace

int main(int argc, char** argv) {
    OpenMissingStandardDescriptors();
    // A write to a pipe or socket whose reader has gone (the trace piped into a pager the user quit,
    // a peer that hung up) fails with EPIPE instead of ending the program with the mail programs
    // still pointing at its local servers.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + std::max(argc, 1));
    if (const int exitCode = RunCommand(arguments); exitCode >= 0)
        return exitCode;
    SetCommandLine(argc, argv);
    InitializeDebugLog();
    return RunScreening();
}
