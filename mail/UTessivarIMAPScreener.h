#pragma once
// The IMAP screener of one enabled IMAP account: a worker thread that keeps the account's INBOX on
// its server screened in place. Each new message is stored and classified as the POP3 checker
// stores one; approved mail stays in INBOX, held mail moves to the Awaiting or the Blocked folder,
// and moves back when its sender becomes approved or authenticated. A message the user moves
// between those folders with another mail program is approved or blocked once; one deleted there
// is marked deleted here.
//
// Exactly once: how far INBOX was screened and where every stored message is on the server are
// kept with the stored email, in its transaction (TTessivarIMAPMessages). A move is owed whenever
// a message's folder differs from where its email's classification puts it, so a run cut short at
// any point finishes its moves at the next start, and a moved message is never screened again.
//
// Thread contract: construct and destroy on the model's thread (TTessivarAccount::Protect and
// Unprotect do). RunsFinished, WaitForRuns and Wake may be called from any thread. The worker
// reaches the model only through threaded calls; the destructor ends a running operation with
// TIMAPMailbox::Abort (or the abort signal of a connection being made) and keeps serving the
// worker's calls while it waits for it, so it returns promptly however the worker was busy.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "base/UException.h"
#include "core/UIMAPSettings.h"
#include "mail/UIMAPMailbox.h"

class TAbortSignal;
class TTessivarAccount;
class TTessivarBusinessLogic;

// No password is kept for the account (see core/UIMAPPasswords.h).
TESSIVAR_EXCEPTION(ETessivarIMAPNoPassword, Exception);
// The model's thread no longer runs the screener's calls: the program is stopping.
TESSIVAR_EXCEPTION(ETessivarIMAPScreenerStopped, Exception);
// The model could not do what the screener asked (e.g. store a message); the run ends and is tried
// again.
TESSIVAR_EXCEPTION(ETessivarIMAPScreenerException, Exception);

// How long a connection attempt may take.
inline constexpr int IMAPConnectTimeoutMs = 30 * 1000;

// Selects INBOX and says how far it reaches now (its UIDVALIDITY and the highest UID it has or had):
// the point from which an account that is set up or enabled screens mail.
struct TIMAPFolderPosition;
TIMAPFolderPosition InboxEnd(TIMAPMailbox& mailbox);
// The held folders are looked at this often (and whenever INBOX changes), for the user's moves.
inline constexpr std::chrono::seconds IMAPHeldFolderPoll{120};
// The longest wait for a change of INBOX before the screener looks at the moves it owes again; a
// connection that supports TIMAPMailbox::Wake makes them at once anyway.
inline constexpr std::chrono::seconds IMAPLongestWait{30};
// Reconnecting after a failure waits this long first, doubling up to the longest.
inline constexpr std::chrono::seconds IMAPFirstRetry{5};
inline constexpr std::chrono::seconds IMAPLongestRetry{300};

class TTessivarIMAPScreener {
public:
    // Makes a logged-in connection; raises as ConnectIMAP does, and ESocketAborted as soon as the
    // signal is raised (the screener is being destroyed) while it connects.
    using TConnector = std::function<std::unique_ptr<TIMAPMailbox>(const std::shared_ptr<TAbortSignal>& abort)>;

    // The connector of the program: the account's server, its password from the password store
    // (ETessivarIMAPNoPassword when none is kept) and the trusted certificates of the settings
    // folder.
    static TConnector DefaultConnector(const TIMAPServer& server);

    // The model and the account must outlive the screener. The worker starts at once.
    TTessivarIMAPScreener(TTessivarBusinessLogic& model, TTessivarAccount& account, TConnector connector);
    ~TTessivarIMAPScreener();
    TTessivarIMAPScreener(const TTessivarIMAPScreener&) = delete;
    TTessivarIMAPScreener& operator=(const TTessivarIMAPScreener&) = delete;

    // Any thread: the number of screening runs finished (each run finishes the moves owed, looks at
    // the held folders when due and screens INBOX's new mail).
    uint64_t RunsFinished() const;
    // Any thread: asks for a run as soon as possible, e.g. because a held message's sender was
    // approved.
    void Wake();
    // Any thread: asks for a run that also looks at the held folders for the user's moves, as the
    // regular poll does.
    void LookAtHeldFolders();

private:
    class TSession;

    void Execute();
    bool Terminated() const;
    // One connection: connects, then runs and waits until it fails or the screener ends.
    void Serve();
    // Waits before the next connection attempt; false when the screener ends meanwhile.
    bool WaitToRetry();
    // Tells the activity log why the connection failed, once per reason in this run.
    void ReportFailure(const std::exception& error);
    void LogOnce(const std::string& key, const std::string& details);
    bool WorkerFinished() const;

    // Constant after construction.
    TTessivarBusinessLogic& m_Model;
    TTessivarAccount& m_Account;
    const TIMAPServer m_Server;
    const TConnector m_Connector;
    int m_ListenerID = 0; // the model's thread only

    // Used by the worker only.
    std::set<std::string> m_ReportedFailures;
    std::chrono::seconds m_Retry = IMAPFirstRetry;

    // Guarded by m_Lock.
    mutable std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::shared_ptr<TAbortSignal> m_Abort; // ends the worker's connection attempt
    TIMAPMailbox* m_Mailbox = nullptr;     // the worker's connection, for Abort and Wake
    bool m_WakeRequested = false;
    bool m_HeldLookRequested = false;
    bool m_Terminated = false;
    bool m_Finished = false;
    uint64_t m_RunsFinished = 0;

    std::thread m_Thread; // last: started when everything above exists
};
