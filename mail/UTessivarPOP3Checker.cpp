#include "mail/UTessivarPOP3Checker.h"

#include "base/UDebug.h"
#include "base/UWindows.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UThreadedCallTarget.h"
#include "core/UThreadedCalls.h"
#include "mail/UMessageHeaders.h"
#include "mail/UPOP3Client.h"
#include "mail/USockets.h"

#include <chrono>
#include <tuple>

namespace {

const char* const CheckerClass = "TTessivarPOP3Checker";
constexpr int ConnectTimeoutMs = 30000;
// How long the destructor keeps serving the threaded calls of a pass that is being ended.
constexpr std::chrono::seconds TerminationWait{4};

// Passwords never reach the trace; an empty one stays visible as empty.
std::string MaskedPassword(const std::string& password) {
    return password.empty() ? std::string() : std::string("********");
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

bool OnModelThread(const TTessivarBusinessLogic& model) {
    try {
        model.CheckThread();
        return true;
    } catch (const TTessivarBusinessLogicInvalidThreadException&) {
        return false;
    }
}

// The index of the first line that is exactly the marker; lines.size() when there is none.
size_t FindMarkerLine(const TStringArray& lines) {
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i] == AuthenticationRequestMarker)
            return i;
    return lines.size();
}

} // namespace

bool IsMailRobotAddress(std::string_view address) {
    static const TStringArray robots = {"postmaster@", "mailer-daemon@", std::string(AutoReplySenderAddress)};
    return StartsWithAnyText(robots, address, false);
}

std::string ReturnedRequestRecipient(const TStringArray& lines) {
    const size_t marker = FindMarkerLine(lines);
    if (marker == lines.size())
        return {};
    // The header block holding the marker starts after the nearest empty line above it.
    size_t start = marker;
    while (start > 0 && !lines[start - 1].empty())
        --start;
    TMessageHeaderList block;
    for (size_t i = start; i < lines.size() && !lines[i].empty(); ++i)
        block.Add(lines[i]);
    const TEmailAddressParts recipient = Internet::SplitEmailAddress(block.Values("To"));
    if (recipient.User.empty() && recipient.Domain.empty())
        return {};
    return recipient.User + "@" + recipient.Domain;
}

std::string NewCheckerMessageId() {
    return NewGUID() + "@" + std::string(CheckerMessageIdDomain);
}

// One pass over the real mailbox with the login values of its start.
class TTessivarPOP3Checker::TPass {
public:
    TPass(TTessivarBusinessLogic& model, TTessivarAccount& account, TPOP3Client& client)
        : m_Model(model), m_Account(account), m_Client(client), m_Host(account.RemoteServer()) {
        std::tie(m_Username, m_Password) = account.Login();
    }

    void Run();

private:
    void ProcessMessage(int number);
    static TParsedMessage ReadHeaders(const TStringArray& lines);
    void HandleBounce(const TStringArray& lines);
    void StoreMessage(const TParsedMessage& message, const TStringArray& lines);
    // `what` followed by the user name and host, both quoted, and a full stop.
    void LogForAccount(const std::string& what, int kind);

    TTessivarBusinessLogic& m_Model;
    TTessivarAccount& m_Account;
    TPOP3Client& m_Client;
    const std::string m_Host;
    std::string m_Username;
    std::string m_Password;
};

void TTessivarPOP3Checker::TPass::Run() {
    const int port = m_Account.RemotePort();
    Debug("POP3Checker: Checking: " + m_Host + ":" + std::to_string(port) + " " + m_Username + "/" +
          MaskedPassword(m_Password));
    m_Client.SetHost(m_Host);
    m_Client.SetPort(port);
    m_Client.SetUsername(m_Username);
    m_Client.SetPassword(m_Password);
    LogForAccount("Checking mail for ", 0);
    try {
        m_Client.Connect(ConnectTimeoutMs);
        const int count = m_Client.Stat();
        Debug("POP3Checker: " + std::to_string(count) + " messages available.");
        if (count < 1) {
            LogForAccount("No new messages for ", 0);
        } else {
            for (int number = 1; number <= count; ++number)
                ProcessMessage(number);
            LogForAccount(count == 1 ? std::string("Processed a new message for ")
                                     : "Processed " + std::to_string(count) + " new messages for ",
                          0);
        }
    } catch (const ESocketAborted&) {
        // The checker is being destroyed: cancellation, not a failure.
        Debug("POP3Checker: Check cancelled.");
    } catch (const std::exception& error) {
        DebugException(CheckerClass, error);
        LogForAccount("Could not connect to server for ", 1);
    }
    Debug("POP3Checker: Disconnecting.");
    m_Client.Disconnect();
}

// A failure ends only this message, which stays on the server for the next pass. Cancellation and a
// lost connection end the pass: no later message could be reached.
void TTessivarPOP3Checker::TPass::ProcessMessage(int number) {
    try {
        Debug("POP3Checker: Retrieving message " + std::to_string(number) + "...");
        TStringArray lines;
        if (!m_Client.RetrieveRaw(number, lines))
            throw ETessivarPOP3CheckerException("The server refused to send message " + std::to_string(number) + ".");
        TParsedMessage message = ReadHeaders(lines);
        if (message.MessageId.empty())
            message.MessageId = NewCheckerMessageId();

        if (IsMailRobotAddress(message.FromAddress)) {
            Debug("CHECKING FOR BOUNCE!");
            HandleBounce(lines);
        } else if (SameText(message.Headers.Values("X-Tessivar"), "Self-Authentication-Notification")) {
            Debug("Self Authentication received from " + message.FromAddress);
            SelfAuthentication(m_Model, message.FromAddress);
        } else {
            StoreMessage(message, lines);
        }

        Debug("POP3Checker: Removing message " + std::to_string(number) + " from the server.");
        m_Client.Delete(number);
    } catch (const std::exception& error) {
        if (dynamic_cast<const ESocketAborted*>(&error) || !m_Client.Connected())
            throw;
        DebugException(CheckerClass, error);
    }
}

// Headers that cannot be read in full would fail again at every pass and keep the message on the
// real server, out of the user's sight, for ever; it is stored with what can be read instead.
TParsedMessage TTessivarPOP3Checker::TPass::ReadHeaders(const TStringArray& lines) {
    try {
        return ParseMessageHeaders(lines);
    } catch (const EMessageParseException& error) {
        DebugException(CheckerClass, error);
        Debug("POP3Checker: Reading the message with the headers that could be read.");
        return ParseMessageHeadersTolerant(lines);
    }
}

void TTessivarPOP3Checker::TPass::HandleBounce(const TStringArray& lines) {
    const std::string recipient = ReturnedRequestRecipient(lines);
    if (recipient.empty())
        return;
    Debug("Delivery failure notice received from " + recipient);
    Undeliverable(m_Model, recipient);
}

void TTessivarPOP3Checker::TPass::StoreMessage(const TParsedMessage& message, const TStringArray& lines) {
    const TTessivarEmail* stored =
        InsertEmail(m_Model, m_Account, message.MessageId, lines, message.Date, message.Subject, message.FromAddress,
                    message.FromName, m_Account.EmailAddress(), m_Account.RecipientName());
    if (!stored)
        throw ETessivarPOP3CheckerException("The message " + message.MessageId + " could not be stored.");
}

void TTessivarPOP3Checker::TPass::LogForAccount(const std::string& what, int kind) {
    InsertLogItem(m_Model, what + Quoted(m_Username) + " at " + Quoted(m_Host) + ".", kind);
}

// ---- The worker ------------------------------------------------------------------------------------

TTessivarPOP3Checker::TTessivarPOP3Checker(TTessivarBusinessLogic& model, TTessivarAccount& account)
    : m_Model(model), m_Account(account), m_Client(std::make_unique<TPOP3Client>()), m_Thread([this] { Execute(); }) {}

TTessivarPOP3Checker::~TTessivarPOP3Checker() {
    {
        std::lock_guard lock(m_CheckLock);
        m_Terminated = true;
    }
    m_Client->Abort();
    m_Wake.notify_all();
    // A pass may be waiting for the model's thread (InsertEmail); when that is this thread, serve it.
    if (OnModelThread(m_Model))
        m_Model.OwnerWindow().ServeSentCallsUntil([this] { return WorkerFinished(); }, TerminationWait);
    m_Thread.join();
}

void TTessivarPOP3Checker::StartCheck() {
    {
        std::lock_guard lock(m_CheckLock);
        if (m_Busy || m_Terminated)
            return;
        m_Busy = true;
        m_Requested = true;
    }
    m_Wake.notify_one();
}

bool TTessivarPOP3Checker::Busy() const {
    std::lock_guard lock(m_CheckLock);
    return m_Busy;
}

bool TTessivarPOP3Checker::WorkerFinished() const {
    std::lock_guard lock(m_CheckLock);
    return m_Finished;
}

void TTessivarPOP3Checker::Execute() {
    std::unique_lock lock(m_CheckLock);
    for (;;) {
        // Clearing Busy and waiting are one step under the lock: a StartCheck that finds Busy false
        // leaves m_Requested set, which this wait sees even if it comes late.
        m_Wake.wait(lock, [this] { return m_Requested || m_Terminated; });
        if (m_Terminated)
            break;
        m_Requested = false;
        lock.unlock();
        try {
            TPass(m_Model, m_Account, *m_Client).Run();
        } catch (const std::exception& error) {
            DebugException(CheckerClass, error);
        }
        lock.lock();
        m_Busy = false;
    }
    m_Finished = true;
    lock.unlock();
    Debug("Pop3Checker: Terminated.");
}
