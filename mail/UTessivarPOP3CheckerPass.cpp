#include "mail/UTessivarPOP3CheckerPass.h"

#include <tuple>

#include "base/UDebug.h"
#include "base/UFileUtils.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UThreadedCalls.h"
#include "mail/UMessageHeaders.h"
#include "mail/UPOP3Client.h"
#include "mail/USockets.h"
#include "mail/UTLSFailure.h"
#include "mail/UTessivarIncomingMail.h"

namespace {

const char* const CheckerClass = "TTessivarPOP3Checker";
constexpr int ConnectTimeoutMs = 30000;
// A long pass flushes what it stored this often, so that a crash of the system late in the pass
// has less to take again; nothing leaves the server before the flush at its end anyway.
constexpr int FlushEveryMessages = 500;
constexpr std::chrono::seconds FlushInterval{10};

// Passwords never reach the trace; an empty one stays visible as empty.
std::string MaskedPassword(const std::string& password) {
    return password.empty() ? std::string() : std::string("********");
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

} // namespace

TTessivarPOP3Checker::TPass::TPass(TTessivarPOP3Checker& checker, TTessivarBusinessLogic& model,
                                   TTessivarAccount& account, TPOP3Client& client,
                                   std::pair<std::string, std::string> login)
    : m_Checker(checker), m_Model(model), m_Account(account), m_Client(client), m_Host(account.RemoteServer()),
      m_Username(std::move(login.first)), m_Password(std::move(login.second)),
      m_LastFlush(std::chrono::steady_clock::now()) {}

void TTessivarPOP3Checker::TPass::Run() {
    const int port = m_Account.RemotePort();
    Debug("POP3Checker: Checking: " + m_Host + ":" + std::to_string(port) + " " + m_Username + "/" +
          MaskedPassword(m_Password));
    m_Client.SetHost(m_Host);
    m_Client.SetPort(port);
    m_Client.SetUsername(m_Username);
    m_Client.SetPassword(m_Password);
    m_Client.SetSecurity(m_Account.ConnectionSecurity());
    m_Client.SetTrustedCertificatesFile(SettingsDirectory() + std::string(TrustedCertificatesFileName));
    LogForAccount("Checking mail for ", 0);
    try {
        try {
            m_Client.Connect(ConnectTimeoutMs);
        } catch (...) {
            ReportIgnoredTrustFile();
            ReportLoginInClear();
            ReportLoginFailure(std::current_exception());
            throw;
        }
        ReportIgnoredTrustFile();
        ReportLoginInClear();
        m_Checker.ReportLogin(TRemoteLoginResult::Accepted);
        if (m_Client.Encrypted())
            Debug("POP3Checker: Connected over " + m_Client.EncryptionDescription() + ".");
        const int count = m_Client.Stat();
        Debug("POP3Checker: " + std::to_string(count) + " messages available.");
        if (count < 1) {
            LogForAccount("No new messages for ", 0);
        } else {
            ReadUniqueIDs();
            for (int number = 1; number <= count; ++number)
                ProcessMessage(number);
            LogForAccount(count == 1 ? std::string("Processed a new message for ")
                                     : "Processed " + std::to_string(count) + " new messages for ",
                          0);
        }
    } catch (const ESocketAborted&) {
        // The checker is being destroyed: cancellation, not a failure.
        Debug("POP3Checker: Check cancelled.");
        m_Cancelled = true;
    } catch (const std::exception& error) {
        DebugException(CheckerClass, error);
        ReportConnectFailure(error);
    }
    Debug("POP3Checker: Disconnecting.");
    EndSession();
}

void TTessivarPOP3Checker::TPass::ReadUniqueIDs() {
    m_IDs = m_Client.UniqueIDs();
    if (m_IDs.empty())
        return;
    if (const auto remembered = RetrievedMessageIDs(m_Model, m_Account))
        m_Remembered.insert(remembered->begin(), remembered->end());
}

// A failure ends only this message, which stays on the server for the next pass. Cancellation and a
// lost connection end the pass: no later message could be reached.
void TTessivarPOP3Checker::TPass::ProcessMessage(int number) {
    try {
        const auto id = m_IDs.find(number);
        const std::string remoteID = id == m_IDs.end() ? std::string() : id->second;
        if (!remoteID.empty() && m_Remembered.count(remoteID)) {
            Debug("POP3Checker: Message " + std::to_string(number) + " was stored by an earlier pass.");
            DeleteMessage(number);
            return;
        }

        Debug("POP3Checker: Retrieving message " + std::to_string(number) + "...");
        TStringArray lines;
        if (!m_Client.RetrieveRaw(number, lines))
            throw ETessivarPOP3CheckerException("The server refused to send message " + std::to_string(number) + ".");
        const TParsedMessage message = ReadIncomingHeaders(lines);
        if (const TIncomingMailKind kind = IncomingMailKind(message, lines); kind != TIncomingMailKind::Mail)
            HandleNotice(m_Model, kind, message, lines);
        else
            StoreMessage(message, lines, remoteID);
        DeleteMessage(number);
        FlushNowAndThen();
    } catch (const EPOP3MessageTooLarge& error) {
        DebugException(CheckerClass, error);
        LogForAccount("Message " + std::to_string(number) + " (" + std::to_string(error.Size) +
                          " bytes) is larger than the limit of " + std::to_string(POP3MaximumMessageSize) +
                          " bytes and stays on the server for ",
                      1);
    } catch (const std::exception& error) {
        if (dynamic_cast<const ESocketAborted*>(&error) || !m_Client.Connected())
            throw;
        DebugException(CheckerClass, error);
    }
}

void TTessivarPOP3Checker::TPass::StoreMessage(const TParsedMessage& message, const TStringArray& lines,
                                               const std::string& remoteID) {
    const TTessivarEmail* stored =
        InsertEmail(m_Model, m_Account, message.MessageId, lines, message.Date, message.Subject, message.FromAddress,
                    message.FromName, m_Account.EmailAddress(), m_Account.RecipientName(), remoteID);
    if (!stored)
        throw ETessivarPOP3CheckerException("The message " + message.MessageId + " could not be stored.");
    ++m_Unflushed;
}

void TTessivarPOP3Checker::TPass::DeleteMessage(int number) {
    Debug("POP3Checker: Removing message " + std::to_string(number) + " from the server.");
    m_Client.Delete(number);
    m_Deleted.insert(number);
}

void TTessivarPOP3Checker::TPass::FlushNowAndThen() {
    if (m_Unflushed >= FlushEveryMessages ||
        (m_Unflushed > 0 && std::chrono::steady_clock::now() - m_LastFlush >= FlushInterval))
        Flush();
}

bool TTessivarPOP3Checker::TPass::Flush() {
    if (m_Unflushed == 0)
        return true;
    if (!FlushStore(m_Model)) {
        Debug("POP3Checker: The stored messages could not be flushed to the disk.");
        return false;
    }
    m_Unflushed = 0;
    m_LastFlush = std::chrono::steady_clock::now();
    return true;
}

void TTessivarPOP3Checker::TPass::EndSession() {
    if (m_Cancelled) {
        // The program is stopping: what was deleted stays on the server until the next pass, which
        // skips what the model remembers having stored.
        m_Client.Abandon();
        return;
    }
    if (!Flush()) {
        m_Client.Abandon();
        m_Checker.MarkStored();
        return;
    }
    m_Checker.MarkStored();
    if (!m_Client.Connected())
        return;
    try {
        if (!m_Client.Quit()) {
            Debug("POP3Checker: The server did not confirm QUIT.");
            return;
        }
    } catch (const ESocketAborted&) {
        Debug("POP3Checker: Check cancelled.");
        return;
    }
    if (m_IDs.empty())
        return;
    // The messages deleted in this session are gone now; so is every remembered one the server no
    // longer lists. What is still there is remembered on.
    std::vector<std::string> keep;
    for (const auto& [number, id] : m_IDs)
        if (!m_Deleted.count(number))
            keep.push_back(id);
    ForgetRetrievedMessages(m_Model, m_Account, std::move(keep));
}

void TTessivarPOP3Checker::TPass::ReportLoginInClear() {
    if (!m_Client.LoginInClear() || m_Checker.m_ReportedLoginInClear)
        return;
    m_Checker.m_ReportedLoginInClear = true;
    const std::string why = m_Client.Security() == TConnectionSecurity::Plain
                                ? "No secure connection is set up for this account"
                                : "The server offers no secure connection";
    LogForAccount(why + ": the password travels unencrypted for ", 0);
}

// Why a secure connection failed is told once per reason in a run: an expired certificate must
// not look like an outage, and the same reason at every pass would bury everything else.
void TTessivarPOP3Checker::TPass::ReportConnectFailure(const std::exception& error) {
    const auto* failure = dynamic_cast<const ETLSFailure*>(&error);
    if (failure && m_Checker.m_ReportedFailureReasons.insert(failure->Reason()).second) {
        InsertLogItem(m_Model,
                      "Could not connect to server for " + Quoted(m_Username) + " at " + Quoted(m_Host) + ": " +
                          failure->Reason() + ".",
                      1);
        return;
    }
    LogForAccount("Could not connect to server for ", 1);
}

void TTessivarPOP3Checker::TPass::ReportLoginFailure(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const EPOP3LoginRefused&) {
        m_Checker.ReportLogin(TRemoteLoginResult::Refused);
    } catch (const ESocketAborted&) {
        // The checker is going away; nobody waits for the answer.
    } catch (...) {
        m_Checker.ReportLogin(TRemoteLoginResult::Unreachable);
    }
}

void TTessivarPOP3Checker::TPass::ReportIgnoredTrustFile() {
    const std::string problem = m_Client.IgnoredTrustFile();
    if (problem == m_Checker.m_ReportedTrustProblem)
        return;
    m_Checker.m_ReportedTrustProblem = problem;
    if (!problem.empty())
        InsertLogItem(m_Model,
                      "Ignored the trusted certificates in " +
                          Quoted(SettingsDirectory() + std::string(TrustedCertificatesFileName)) + " because " +
                          problem + ": they are trusted only in a file of your own (or root's) that nobody else "
                                    "may write to.",
                      1);
}

void TTessivarPOP3Checker::TPass::LogForAccount(const std::string& what, int kind) {
    InsertLogItem(m_Model, what + Quoted(m_Username) + " at " + Quoted(m_Host) + ".", kind);
}
