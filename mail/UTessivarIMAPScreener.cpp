#include "mail/UTessivarIMAPScreener.h"

#include "base/UDebug.h"
#include "base/UFileUtils.h"
#include "core/UIMAPPasswords.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarIMAPMessages.h"
#include "core/UThreadedCallTarget.h"
#include "core/UThreadedCalls.h"
#include "mail/USockets.h"
#include "mail/UTLSFailure.h"
#include "mail/UTessivarIMAPScreenerSession.h"
#include "mail/UTessivarPOP3Checker.h"

namespace {

const char* const ScreenerClass = "TTessivarIMAPScreener";
// How long the destructor keeps serving the calls of a worker that is being ended.
constexpr std::chrono::seconds TerminationWait{4};

bool OnModelThread(const TTessivarBusinessLogic& model) {
    try {
        model.CheckThread();
        return true;
    } catch (const TTessivarBusinessLogicInvalidThreadException&) {
        return false;
    }
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

} // namespace

TTessivarIMAPScreener::TConnector TTessivarIMAPScreener::DefaultConnector(const TIMAPServer& server) {
    return [server](const std::shared_ptr<TAbortSignal>& abort) -> std::unique_ptr<TIMAPMailbox> {
        const std::optional<std::string> password = ReadIMAPPassword(server);
        if (!password)
            throw ETessivarIMAPNoPassword("No password is kept for " + server.EmailAddress + ".");
        return ConnectIMAP(server, *password, SettingsDirectory() + std::string(TrustedCertificatesFileName),
                           IMAPConnectTimeoutMs, abort);
    };
}

TTessivarIMAPScreener::TTessivarIMAPScreener(TTessivarBusinessLogic& model, TTessivarAccount& account,
                                             TConnector connector)
    : m_Model(model), m_Account(account), m_Server(account.IMAPServer()), m_Connector(std::move(connector)),
      m_ListenerID(model.IMAPMessages().AddListener([this] { Wake(); })), m_Thread([this] { Execute(); }) {}

TTessivarIMAPScreener::~TTessivarIMAPScreener() {
    try {
        m_Model.IMAPMessages().RemoveListener(m_ListenerID);
    } catch (const std::exception& error) {
        DebugException(ScreenerClass, error);
    }
    {
        std::lock_guard lock(m_Lock);
        m_Terminated = true;
        if (m_Abort)
            m_Abort->Raise();
        if (m_Mailbox)
            m_Mailbox->Abort();
    }
    m_Changed.notify_all();
    // The worker may be waiting for the model's thread; when that is this thread, serve it.
    if (OnModelThread(m_Model))
        m_Model.OwnerWindow().ServeSentCallsUntil([this] { return WorkerFinished(); }, TerminationWait);
    m_Thread.join();
}

uint64_t TTessivarIMAPScreener::RunsFinished() const {
    std::lock_guard lock(m_Lock);
    return m_RunsFinished;
}

void TTessivarIMAPScreener::Wake() {
    std::lock_guard lock(m_Lock);
    m_WakeRequested = true;
    if (m_Mailbox)
        m_Mailbox->Wake();
    m_Changed.notify_all();
}

void TTessivarIMAPScreener::LookAtHeldFolders() {
    {
        std::lock_guard lock(m_Lock);
        m_HeldLookRequested = true;
    }
    Wake();
}

bool TTessivarIMAPScreener::Terminated() const {
    std::lock_guard lock(m_Lock);
    return m_Terminated;
}

bool TTessivarIMAPScreener::WorkerFinished() const {
    std::lock_guard lock(m_Lock);
    return m_Finished;
}

void TTessivarIMAPScreener::Execute() {
    while (!Terminated()) {
        try {
            Serve();
        } catch (const ESocketAborted&) {
            Debug("IMAPScreener: Stopped.");
        } catch (const ETessivarIMAPScreenerStopped&) {
            Debug("IMAPScreener: Stopped: the model is going away.");
        } catch (const std::exception& error) {
            DebugException(ScreenerClass, error);
            if (!Terminated())
                ReportFailure(error);
        }
        if (!WaitToRetry())
            break;
    }
    std::lock_guard lock(m_Lock);
    m_Finished = true;
}

void TTessivarIMAPScreener::Serve() {
    Debug("IMAPScreener: Connecting to " + m_Server.Host + ":" + std::to_string(m_Server.Port) + " for " +
          m_Server.EmailAddress + ".");
    std::unique_ptr<TIMAPMailbox> mailbox;
    // The attempt and then the connection stay reachable for Abort exactly as long as they last.
    struct TForget {
        TTessivarIMAPScreener& Screener;
        ~TForget() {
            std::lock_guard lock(Screener.m_Lock);
            Screener.m_Abort.reset();
            Screener.m_Mailbox = nullptr;
        }
    } forget{*this};
    const auto abort = std::make_shared<TAbortSignal>();
    {
        std::lock_guard lock(m_Lock);
        if (m_Terminated)
            return;
        m_Abort = abort;
    }
    mailbox = m_Connector(abort);
    {
        std::lock_guard lock(m_Lock);
        if (m_Terminated)
            return;
        m_Mailbox = mailbox.get();
    }

    TSession session(*this, *mailbox);
    session.Open();
    bool inboxChanged = true;
    for (;;) {
        {
            std::lock_guard lock(m_Lock);
            m_WakeRequested = false;
            inboxChanged = inboxChanged || m_HeldLookRequested;
            m_HeldLookRequested = false;
        }
        session.Run(inboxChanged);
        // A run that succeeded ends the outage: a later one is told again.
        m_ReportedFailures.clear();
        m_Retry = IMAPFirstRetry;
        {
            std::lock_guard lock(m_Lock);
            ++m_RunsFinished;
            if (m_Terminated)
                return;
            if (m_WakeRequested) {
                inboxChanged = false;
                continue;
            }
        }
        m_Changed.notify_all();
        inboxChanged = session.Wait(IMAPLongestWait);
    }
}

bool TTessivarIMAPScreener::WaitToRetry() {
    std::unique_lock lock(m_Lock);
    const bool terminated = m_Changed.wait_for(lock, m_Retry, [this] { return m_Terminated; });
    m_Retry = std::min(m_Retry * 2, IMAPLongestRetry);
    return !terminated;
}

void TTessivarIMAPScreener::ReportFailure(const std::exception& error) {
    const std::string account = Quoted(m_Server.Username) + " at " + Quoted(m_Server.Host);
    if (dynamic_cast<const ETessivarIMAPNoPassword*>(&error)) {
        LogOnce("password",
                "No password is kept for " + account + ": enter it for this account in the \"Mail Accounts\" window.");
    } else if (dynamic_cast<const EIMAPLoginRefused*>(&error)) {
        LogOnce("refused", "The server refused the user name or password for " + account + ".");
    } else if (dynamic_cast<const ETessivarIMAPScreenerException*>(&error)) {
        LogOnce("store", "Could not store the new mail of " + account + ": " + error.what());
    } else if (const auto* failure = dynamic_cast<const ETLSFailure*>(&error)) {
        LogOnce("tls " + failure->Reason(),
                "Could not connect to server for " + account + ": " + failure->Reason() + ".");
    } else {
        LogOnce("connect", "Could not connect to server for " + account + ".");
    }
}

void TTessivarIMAPScreener::LogOnce(const std::string& key, const std::string& details) {
    if (m_ReportedFailures.insert(key).second)
        InsertLogItem(m_Model, details, 1);
}
