#include "app/UConsole.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <iostream>

#include "base/UDebug.h"
#include "clients/UTessivarClientDriver.h"
#include "core/UMessageLoop.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"

namespace {

TMessageLoop* SignalledLoop = nullptr;

extern "C" void QuitOnSignal(int) {
    SignalledLoop->QuitFromSignal();
}

// The signals that end the program the orderly way, pointing the mail programs back at their real
// servers: interrupt, termination, and the hang-up of a logout or a closed terminal.
constexpr int QuitSignals[] = {SIGINT, SIGTERM, SIGHUP};

} // namespace

TQuitOnSignals::TQuitOnSignals(TMessageLoop& loop) {
    SignalledLoop = &loop;
    struct sigaction action {};
    action.sa_handler = QuitOnSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : QuitSignals)
        sigaction(signal, &action, nullptr);
}

TQuitOnSignals::~TQuitOnSignals() {
    for (int signal : QuitSignals)
        std::signal(signal, SIG_DFL);
}

void Report(const std::exception& error) {
    std::cerr << "tessivar: " << error.what() << std::endl;
    DebugException("main", error);
}

int Fail(const std::string& text) {
    std::cerr << "tessivar: " << text << std::endl;
    return ExitFailure;
}

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

TTable IMAPAccountRows(const TTessivarBusinessLogic& model,
                       const std::function<std::string(const TTessivarAccount&)>& screening) {
    TTable rows{{"IMAP MAILBOX", "SERVER", "SECURITY", "USER", "SCREENING"}};
    for (int i = 0; i < model.AccountCount(); ++i) {
        const TTessivarAccount& account = model.Accounts(i);
        if (!account.IsIMAP())
            continue;
        const TIMAPServer server = account.IMAPServer();
        rows.push_back({server.EmailAddress, server.Host + ":" + std::to_string(server.Port),
                        server.Security == TIMAPSecurity::STARTTLS ? "STARTTLS" : "TLS", server.Username,
                        screening(account)});
    }
    return rows;
}

bool IsWholeAddress(const std::string& address) {
    const size_t at = address.find('@');
    return at != std::string::npos && at > 0 && at + 1 < address.size() &&
           address.find('@', at + 1) == std::string::npos;
}
