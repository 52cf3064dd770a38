#include "mail/UTessivarPOP3Checker.h"

#include "base/UDebug.h"
#include "base/UWindows.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarClassification.h"
#include "core/UThreadedCallTarget.h"
#include "mail/UMessageHeaders.h"
#include "mail/UPOP3Client.h"
#include "mail/UTessivarPOP3CheckerPass.h"

#include <chrono>

namespace {

// How long the destructor keeps serving the threaded calls of a pass that is being ended.
constexpr std::chrono::seconds TerminationWait{4};
// Login answers kept for logins that wait for them (a few passes are plenty: a login waits for one).
constexpr std::size_t KeptLoginReports = 8;

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

// The header block holding line `marker`: from the line after the nearest empty line above it (or
// the first line) to the next empty line (or the end).
TMessageHeaderList HeaderBlockAround(const TStringArray& lines, size_t marker) {
    size_t start = marker;
    while (start > 0 && !lines[start - 1].empty())
        --start;
    TMessageHeaderList block;
    for (size_t i = start; i < lines.size() && !lines[i].empty(); ++i)
        block.Add(lines[i]);
    return block;
}

} // namespace

bool HoldsAuthenticationRequestMarker(const TStringArray& lines) {
    return FindMarkerLine(lines) != lines.size();
}

std::string ReturnedRequestRecipient(const TStringArray& lines) {
    const size_t marker = FindMarkerLine(lines);
    if (marker == lines.size())
        return {};
    const TMessageHeaderList block = HeaderBlockAround(lines, marker);
    const TEmailAddressParts recipient = Internet::SplitEmailAddress(block.Values("To"));
    if (recipient.User.empty() && recipient.Domain.empty())
        return {};
    return recipient.User + "@" + recipient.Domain;
}

// The first <id> of the text (or the text itself without brackets) whose domain is the marker
// domain of the service's authentication requests; empty when there is none.
std::string RequestIdIn(std::string_view text) {
    const std::string marker = "@" + std::string(AuthenticationRequestMarkerDomain);
    size_t start = 0;
    while (start < text.size()) {
        const size_t open = text.find('<', start);
        const size_t close = open == std::string_view::npos ? std::string_view::npos : text.find('>', open);
        const std::string_view id =
            close == std::string_view::npos ? text.substr(start) : text.substr(open + 1, close - open - 1);
        const std::string bare = Trim(id);
        if (bare.size() > marker.size() &&
            SameText(std::string_view(bare).substr(bare.size() - marker.size()), marker) &&
            bare.find_first_of(" \t<") == std::string::npos)
            return bare;
        if (close == std::string_view::npos)
            break;
        start = close + 1;
    }
    return {};
}

std::string ReturnedRequestMessageId(const TStringArray& lines) {
    const size_t marker = FindMarkerLine(lines);
    if (marker == lines.size())
        return {};
    const TMessageHeaderList block = HeaderBlockAround(lines, marker);
    TMessageHeaderList own;
    for (size_t i = 0; i < lines.size() && !lines[i].empty() && lines[i] != "."; ++i)
        own.Add(lines[i]);
    for (const std::string& candidate :
         {block.Values("Message-Id"), own.Values("In-Reply-To"), own.Values("References")})
        if (std::string id = RequestIdIn(candidate); !id.empty())
            return id;
    return {};
}

std::string NewCheckerMessageId() {
    return NewGUID() + "@" + std::string(CheckerMessageIdDomain);
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
    m_Stored.notify_all();
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
        m_Storing = true;
        m_Requested = true;
    }
    m_Wake.notify_one();
}

uint64_t TTessivarPOP3Checker::RequestLogin(const std::string& username, const std::string& password) {
    uint64_t pass;
    {
        std::lock_guard lock(m_CheckLock);
        pass = RequestLoginLocked(username, password);
    }
    m_Wake.notify_one();
    return pass;
}

uint64_t TTessivarPOP3Checker::RequestLoginLocked(const std::string& username, const std::string& password) {
    if (m_PassRunning && !m_Requested && m_PassLogin == AccountLoginFingerprint(username, password))
        return m_PassNumber;
    m_RequestedLogin.emplace(username, password);
    m_Busy = true;
    m_Storing = true;
    m_Requested = true;
    return m_PassNumber + 1;
}

const TTessivarPOP3Checker::TLoginReport* TTessivarPOP3Checker::FindReport(uint64_t pass) const {
    for (const TLoginReport& report : m_Reports)
        if (report.Pass == pass)
            return &report;
    return nullptr;
}

TRemoteLoginResult TTessivarPOP3Checker::WaitForLogin(uint64_t& pass, const std::string& username,
                                                      const std::string& password, std::chrono::milliseconds timeout) {
    const TLoginFingerprint login = AccountLoginFingerprint(username, password);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(m_CheckLock);
    for (;;) {
        if (m_Terminated)
            return TRemoteLoginResult::Pending;
        if (const TLoginReport* report = FindReport(pass)) {
            if (report->Login == login)
                return report->Result;
            // Another login's credentials took that pass: ask for one with these.
            pass = RequestLoginLocked(username, password);
            m_Wake.notify_one();
        } else if (m_PassNumber > pass || (m_PassNumber == pass && !m_PassRunning && pass != 0)) {
            // Its answer is no longer kept (or it never came): ask again.
            pass = RequestLoginLocked(username, password);
            m_Wake.notify_one();
        }
        if (m_Stored.wait_until(lock, deadline) == std::cv_status::timeout && !FindReport(pass))
            return TRemoteLoginResult::Pending;
    }
}

bool TTessivarPOP3Checker::WaitForPassStored(uint64_t pass, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_CheckLock);
    return m_Stored.wait_for(lock, timeout, [&] { return m_StoredPass >= pass || m_Terminated; }) && !m_Terminated;
}

void TTessivarPOP3Checker::ReportLogin(TRemoteLoginResult result) {
    {
        std::lock_guard lock(m_CheckLock);
        if (FindReport(m_PassNumber))
            return;
        m_Reports.push_back({m_PassNumber, m_PassLogin, result});
        if (m_Reports.size() > KeptLoginReports)
            m_Reports.pop_front();
    }
    m_Stored.notify_all();
}

bool TTessivarPOP3Checker::WaitForStoredMail(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_CheckLock);
    return m_Stored.wait_for(lock, timeout, [this] { return !m_Storing || m_Terminated; }) && !m_Terminated;
}

void TTessivarPOP3Checker::MarkStored() {
    {
        std::lock_guard lock(m_CheckLock);
        m_Storing = m_Requested;
        m_StoredPass = m_PassNumber;
    }
    m_Stored.notify_all();
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
        std::pair<std::string, std::string> login = m_RequestedLogin ? std::move(*m_RequestedLogin) : m_Account.Login();
        m_RequestedLogin.reset();
        ++m_PassNumber;
        m_PassLogin = AccountLoginFingerprint(login.first, login.second);
        m_PassRunning = true;
        lock.unlock();
        try {
            TPass(*this, m_Model, m_Account, *m_Client, std::move(login)).Run();
        } catch (const std::exception& error) {
            DebugException("TTessivarPOP3Checker", error);
        }
        // A pass that ended before its login was answered (a failure before it connected) reached
        // no server.
        ReportLogin(TRemoteLoginResult::Unreachable);
        lock.lock();
        m_PassRunning = false;
        m_StoredPass = m_PassNumber;
        // A login with other credentials asked during the pass: the next pass is due at once.
        m_Busy = m_Requested;
        m_Storing = m_Requested;
        m_Stored.notify_all();
    }
    m_Finished = true;
    lock.unlock();
    Debug("Pop3Checker: Terminated.");
}
