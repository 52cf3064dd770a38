#include "mail/UTessivarPOP3CheckerPass.h"

#include <tuple>
#include <utility>

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
// Commands a server that announces PIPELINING gets ahead of their answers. A few keep the next
// message coming while one is read; the commands are short, so the server's input buffer never
// fills while it writes its answers.
constexpr std::size_t PipelineWindow = 8;

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
      m_Username(std::move(login.first)), m_Password(std::move(login.second)) {}

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
            RetrieveMessages(count);
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

void TTessivarPOP3Checker::TPass::RetrieveMessages(int count) {
    m_Window = m_Client.OffersPipelining() ? PipelineWindow : 1;
    Debug("POP3Checker: " + std::string(m_Window > 1 ? "Pipelining commands." : "One command at a time."));
    m_Storer.emplace(m_Model, m_Account);
    int next = 1;
    while (next <= count || !m_Unanswered.empty()) {
        SendDeletions();
        for (; next <= count && m_Unanswered.size() < m_Window; ++next) {
            const auto id = m_IDs.find(next);
            const std::string remoteID = id == m_IDs.end() ? std::string() : id->second;
            if (!remoteID.empty() && m_Remembered.count(remoteID)) {
                // Durable already; it leaves the server in order with the others.
                m_Storer->Add({next, remoteID, {}, true});
                continue;
            }
            Debug("POP3Checker: Retrieving message " + std::to_string(next) + "...");
            m_Client.SendRetrieve(next);
            m_Unanswered.push_back({true, next});
        }
        if (!m_Unanswered.empty())
            ReadAnswer();
    }
    // Everything retrieved is stored and flushed before the pass says it has processed it.
    m_Storer->Finish();
}

void TTessivarPOP3Checker::TPass::SendDeletions() {
    for (const int number : m_Storer->TakeDurable())
        m_Deletable.push_back(number);
    while (!m_Deletable.empty() && m_Unanswered.size() < m_Window) {
        const int number = m_Deletable.front();
        m_Deletable.pop_front();
        Debug("POP3Checker: Removing message " + std::to_string(number) + " from the server.");
        m_Client.SendDelete(number);
        m_Unanswered.push_back({false, number});
    }
}

void TTessivarPOP3Checker::TPass::ReadAnswer() {
    const TCommand command = m_Unanswered.front();
    m_Unanswered.pop_front();
    const int number = command.Number;
    try {
        if (!command.Retrieve) {
            if (m_Client.ReceiveDeleted())
                m_Deleted.insert(number);
            else
                Debug("POP3Checker: The server refused to delete message " + std::to_string(number) + ".");
            return;
        }
        TStringArray lines;
        if (!m_Client.ReceiveRetrieved(lines))
            throw ETessivarPOP3CheckerException("The server refused to send message " + std::to_string(number) + ".");
        const auto id = m_IDs.find(number);
        m_Storer->Add({number, id == m_IDs.end() ? std::string() : id->second, std::move(lines)});
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

void TTessivarPOP3Checker::TPass::DeleteRest() {
    if (!m_Storer)
        return;
    for (;;) {
        SendDeletions();
        if (m_Unanswered.empty())
            return;
        ReadAnswer();
    }
}

void TTessivarPOP3Checker::TPass::EndSession() {
    if (m_Cancelled) {
        // The program is stopping: what was stored stays remembered, and stays on the server until
        // the next pass, which skips it.
        if (m_Storer)
            m_Storer->Cancel();
        m_Client.Abandon();
        return;
    }
    if (m_Storer && !m_Storer->Finish()) {
        // Nothing stored since the last flush is durable: the server keeps it, deleted or not.
        m_Client.Abandon();
        m_Checker.MarkStored();
        return;
    }
    m_Checker.MarkStored();
    if (!m_Client.Connected())
        return;
    try {
        DeleteRest();
        if (!m_Client.Quit()) {
            Debug("POP3Checker: The server did not confirm QUIT.");
            return;
        }
    } catch (const ESocketAborted&) {
        Debug("POP3Checker: Check cancelled.");
        m_Client.Abandon();
        return;
    } catch (const std::exception& error) {
        DebugException(CheckerClass, error);
        m_Client.Abandon();
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
