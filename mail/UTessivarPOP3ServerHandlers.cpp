// The command handlers of the local POP3 server. Each runs on the thread of the connection it
// serves; the connection's delivery session is used by that thread alone between the threaded
// calls that create and release it.

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>

#include "base/UDebug.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarEmail.h"
#include "core/UThreadedCalls.h"
#include "mail/UPOP3ServerEngine.h"
#include "mail/UTessivarAccountSession.h"
#include "mail/UTessivarPOP3Checker.h"
#include "mail/UTessivarPOP3Server.h"

namespace {

// What a connection keeps in its Data: the session it holds, if any, and whether a refused login
// of this connection has been logged. The connection's data must be copyable, hence the shared
// holder; only the connection's thread touches it.
struct TConnectionSession {
    std::unique_ptr<TTessivarAccountSession> Session;
    bool ReportedRefusal = false;
};
using TConnectionSessionHolder = std::shared_ptr<TConnectionSession>;

TConnectionSession* HeldSession(TPOP3ServerConnection& connection) {
    auto* holder = std::any_cast<TConnectionSessionHolder>(&connection.Data());
    return holder ? holder->get() : nullptr;
}

TTessivarAccountSession* SessionOf(TPOP3ServerConnection& connection) {
    TConnectionSession* held = HeldSession(connection);
    return held ? held->Session.get() : nullptr;
}

// A login waiting for its pass looks this often whether the server is stopping.
constexpr auto PassWaitSlice = std::chrono::milliseconds(100);

// Trace entries show at most this many lines of a multi-line answer.
constexpr std::size_t TracedResponseLines = 11;

// The stored message as lines: split at LF, a CR before the LF removed; a last line without line
// end is kept. Raises when the file cannot be read, which ends the connection without a reply.
TStringArray ReadMessageLines(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary | std::ios::ate);
    if (!in)
        throw ETessivarPOP3ServerException("Cannot open file \"" + fileName + "\".");
    std::string text(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
    in.seekg(0);
    if (!in.read(text.data(), static_cast<std::streamsize>(text.size())))
        throw ETessivarPOP3ServerException("Cannot read file \"" + fileName + "\".");
    TStringArray lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const std::size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos)
            end = text.size();
        else if (end > start && text[end - 1] == '\r')
            --end;
        lines.emplace_back(text, start, end - start);
        start = next;
    }
    return lines;
}

// Keeps the header block, its closing empty line and the first `bodyLines` lines after it; a
// message without an empty line is kept whole.
void CutAfterHeaderBlock(TStringArray& lines, int bodyLines) {
    const auto blank = std::find_if(lines.begin(), lines.end(), [](const std::string& line) { return line.empty(); });
    if (blank == lines.end())
        return;
    const std::size_t keep = static_cast<std::size_t>(blank - lines.begin()) + 1 + static_cast<std::size_t>(bodyLines);
    if (keep < lines.size())
        lines.resize(keep);
}

// The line as traced: the password of a PASS command is not written to the trace.
std::string TracedLine(const std::string& line) {
    if (MatchPOP3Command(line) != TPOP3CommandKind::PASS)
        return line;
    return line.substr(0, 4) + " ********";
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

} // namespace

// ---- Login and end of connection -----------------------------------------------------------------

void TTessivarPOP3Server::CheckUser(TPOP3ServerConnection& connection) {
    const auto deadline = std::chrono::steady_clock::now() + PassWaitLimit();
    if (!HeldSession(connection))
        connection.Data() = std::make_shared<TConnectionSession>();
    TConnectionSession& held = *HeldSession(connection);
    // A repeated login ends the session it replaces as the end of the connection would: its
    // deletions are applied and its messages become free again, so the new session offers them
    // again, unless they were deleted, and never two sessions hold the same message. Until the new
    // login succeeds, the connection serves nothing.
    ReleaseHeldSession(connection);
    connection.SetState(TPOP3State::AuthorizationState);
    uint64_t pass = 0;
    switch (Authenticate(connection, deadline, pass)) {
    case TLoginVerdict::Accepted:
        break;
    case TLoginVerdict::Refused:
        RefuseLogin(connection, held.ReportedRefusal);
        return;
    case TLoginVerdict::TryLater:
        connection.SetLoginFailureReply(TemporaryFailureReply);
        return;
    case TLoginVerdict::Throttled:
        connection.SetLoginFailureReply(ThrottledLoginReply);
        return;
    }
    // A server that stops closes this connection anyway; refusing the login builds no session for it.
    if (connection.Stopping())
        return;
    m_Account.SetLogin(connection.Username(), connection.Password());
    if (pass != 0)
        WaitForPass(connection, pass, deadline);
    if (connection.Stopping())
        return;
    held.Session = CreateAccountSession(m_Model, m_Account);
    InsertLogItem(m_Model,
                  "Delivering pending mail for " + Quoted(connection.Username()) + " at " +
                      Quoted(m_Account.RemoteServer()) + " to inbox.",
                  0);
    connection.SetState(TPOP3State::TransactionState);
}

// The pass stores each message through the model's thread; this connection's thread only waits, so
// the model's thread stays free to serve it. A real server that answers slowly holds the login up
// until the deadline at most; what was stored by then is delivered, the rest at the next login.
void TTessivarPOP3Server::WaitForPass(TPOP3ServerConnection& connection, uint64_t pass,
                                      std::chrono::steady_clock::time_point deadline) {
    while (!connection.Stopping()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= std::chrono::milliseconds::zero()) {
            Debug("The pass for " + m_Account.EmailAddress() + " has not stored its mail within " +
                  std::to_string(PassWaitLimit().count()) + " ms; the session offers what is stored.");
            return;
        }
        if (m_Checker->WaitForPassStored(pass, std::min(left, PassWaitSlice)))
            return;
    }
}

void TTessivarPOP3Server::Disconnect(TPOP3ServerConnection& connection) {
    Debug("SERVER: DISCONNECT");
    ReleaseHeldSession(connection);
    connection.Data().reset();
    Debug("SERVER: Disconnected");
}

void TTessivarPOP3Server::ReleaseHeldSession(TPOP3ServerConnection& connection) {
    if (TConnectionSession* held = HeldSession(connection); held && held->Session)
        ReleaseAccountSession(m_Model, std::move(held->Session));
}

// ---- Commands --------------------------------------------------------------------------------------

TTessivarAccountSession* TTessivarPOP3Server::SessionFor(TPOP3Command& command) {
    TTessivarAccountSession* session = SessionOf(command.Connection);
    if (!session)
        command.Reply = {"-ERR No session current."};
    return session;
}

TTessivarAccountSessionItem* TTessivarPOP3Server::MessageFor(TPOP3Command& command, int number) {
    TTessivarAccountSession* session = SessionFor(command);
    if (!session)
        return nullptr;
    if (number < 1 || number > session->Count()) {
        command.Reply = {"-ERR No such message."};
        return nullptr;
    }
    return &session->Items(number - 1);
}

void TTessivarPOP3Server::HandleSTAT(TPOP3Command& command) {
    if (const TTessivarAccountSession* session = SessionOf(command.Connection))
        command.Reply = {"+OK " + std::to_string(session->Count()) + " " + std::to_string(session->TotalSize())};
    else
        command.Reply = {"+OK 0 0"};
    TraceServed(command);
}

// LIST and UIDL: -1 asks for the whole list, any other number for one message.
void TTessivarPOP3Server::HandleLIST(TPOP3Command& command, int number) {
    ServeListing(command, number, [](const TTessivarAccountSessionItem& item) { return std::to_string(item.Size()); });
}

void TTessivarPOP3Server::HandleUIDL(TPOP3Command& command, int number) {
    ServeListing(command, number, [](const TTessivarAccountSessionItem& item) { return std::string(item.Email().UIDL()); });
}

void TTessivarPOP3Server::ServeListing(TPOP3Command& command, int number, const TItemText& text) {
    if (number != -1) {
        if (const TTessivarAccountSessionItem* item = MessageFor(command, number))
            command.Reply = {"+OK " + std::to_string(number) + " " + text(*item)};
    } else if (const TTessivarAccountSession* session = SessionFor(command)) {
        command.Reply = {"+OK " + std::to_string(session->Count()) + " messages in session."};
        if (session->Count() == 0)
            command.Reply.push_back(".");
        for (int i = 0; i < session->Count(); ++i)
            command.Response.push_back(std::to_string(i + 1) + " " + text(session->Items(i)));
    }
    TraceServed(command);
}

void TTessivarPOP3Server::HandleRETR(TPOP3Command& command, int number) {
    if (const TTessivarAccountSessionItem* item = MessageFor(command, number)) {
        command.Response = ReadMessageLines(item->Email().FileName());
        command.Reply = {"+OK"};
    }
    TraceServed(command);
}

void TTessivarPOP3Server::HandleTOP(TPOP3Command& command, int number, int lines) {
    if (const TTessivarAccountSessionItem* item = MessageFor(command, number)) {
        command.Response = ReadMessageLines(item->Email().FileName());
        CutAfterHeaderBlock(command.Response, lines);
        command.Reply = {"+OK"};
    }
    TraceServed(command);
}

void TTessivarPOP3Server::HandleDELE(TPOP3Command& command, int number) {
    if (TTessivarAccountSessionItem* item = MessageFor(command, number)) {
        item->MarkForDeletion();
        command.Reply = {"+OK"};
    }
    TraceServed(command);
}

void TTessivarPOP3Server::HandleRSET(TPOP3Command& command) {
    // The reply stays the engine's "+OK Reset", also without a session.
    if (TTessivarAccountSession* session = SessionOf(command.Connection))
        session->ResetDeletions();
    TraceServed(command);
}

// The session is released before the reply goes out, so that the deletions have been applied, and
// the other messages are free for the next login, once the mail program reads "+OK"; a mail program
// that logs in again at once is offered them. Connections that end without QUIT release theirs
// when they end.
void TTessivarPOP3Server::HandleQUIT(TPOP3Command& command, TPOP3ServerConnection& connection) {
    connection.SetState(TPOP3State::UpdateState);
    command.Reply = {"+OK"};
    InsertLogItem(m_Model, "Messages successfully delivered.", 0);
    TraceServed(command);
    ReleaseHeldSession(connection);
}

// ---- Trace -----------------------------------------------------------------------------------------

std::string TTessivarPOP3Server::TraceHeader(TPOP3ServerConnection& connection) const {
    std::string header = "TTessivarPOP3Server\r\n";
    if (SessionOf(connection))
        header += "\t" + m_Account.EmailAddress() + "\r\n";
    return header;
}

void TTessivarPOP3Server::BeforeCommand(TPOP3ServerConnection& connection, const std::string& line) {
    if (!DebugMode())
        return;
    Debug(TraceHeader(connection) + "\tAttempting: " + TracedLine(line) + "\r\n");
}

void TTessivarPOP3Server::TraceServed(const TPOP3Command& command) const {
    if (!DebugMode())
        return;
    std::string entry = TraceHeader(command.Connection) + "\t" + TracedLine(command.Line) + "\r\n\t";
    for (const std::string& line : command.Reply)
        entry += line + "\r\n";
    const std::size_t shown = std::min(command.Response.size(), TracedResponseLines);
    for (std::size_t i = 0; i < shown; ++i)
        entry += "\r\n\t" + command.Response[i];
    if (command.Response.size() > TracedResponseLines)
        entry += "\r\n\t...";
    Debug(entry);
}
