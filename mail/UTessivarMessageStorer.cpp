#include "mail/UTessivarMessageStorer.h"

#include "base/UDebug.h"
#include "core/UTessivarAccount.h"
#include "core/UThreadedCalls.h"
#include "mail/UMessageHeaders.h"
#include "mail/UTessivarIncomingMail.h"
#include "mail/UTessivarPOP3Checker.h"

namespace {

const char* const StorerClass = "TTessivarMessageStorer";
// A long pass flushes what it stored this often, so that its messages can leave the real server
// while it runs and a crash of the system late in the pass has less to take again.
constexpr int FlushEveryMessages = 500;
constexpr std::chrono::seconds FlushInterval{10};

} // namespace

TScreenedMessage ScreenMessage(TTessivarBusinessLogic& model, TTessivarAccount& account, const TStringArray& lines,
                               const std::string& remoteID) {
    const TParsedMessage message = ReadIncomingHeaders(lines);
    switch (IncomingMailKind(message, lines)) {
    case TIncomingMailKind::ReturnedRequest:
        HandleNotice(model, TIncomingMailKind::ReturnedRequest, message, lines);
        return TScreenedMessage::ReturnedRequest;
    case TIncomingMailKind::SelfAuthenticationNotice:
        HandleNotice(model, TIncomingMailKind::SelfAuthenticationNotice, message, lines);
        return TScreenedMessage::SelfAuthentication;
    case TIncomingMailKind::Mail:
        break;
    }
    if (!InsertEmail(model, account, message.MessageId, lines, message.Date, message.Subject, message.FromAddress,
                     message.FromName, account.EmailAddress(), account.RecipientName(), remoteID))
        throw ETessivarPOP3CheckerException("The message " + message.MessageId + " could not be stored.");
    return TScreenedMessage::Stored;
}

TTessivarMessageStorer::TTessivarMessageStorer(TTessivarBusinessLogic& model, TTessivarAccount& account)
    : m_Model(model), m_Account(account), m_LastFlush(std::chrono::steady_clock::now()),
      m_Thread([this] { Execute(); }) {}

TTessivarMessageStorer::~TTessivarMessageStorer() {
    Cancel();
}

std::size_t TTessivarMessageStorer::Cost(const TMessage& message) {
    std::size_t bytes = 0;
    for (const std::string& line : message.Lines)
        bytes += line.capacity() + sizeof(std::string);
    return bytes;
}

void TTessivarMessageStorer::Add(TMessage message) {
    const std::size_t bytes = Cost(message);
    std::unique_lock lock(m_Lock);
    m_Changed.wait(lock, [&] {
        return m_Finishing || m_Cancelled || m_Queue.empty() ||
               (m_Queue.size() < MaximumQueuedMessages && m_QueuedBytes + bytes <= MaximumQueuedBytes);
    });
    if (m_Finishing || m_Cancelled)
        return;
    m_Queue.push_back({std::move(message), bytes});
    m_QueuedBytes += bytes;
    m_Changed.notify_all();
}

std::vector<int> TTessivarMessageStorer::TakeDurable() {
    std::lock_guard lock(m_Lock);
    return std::exchange(m_Durable, {});
}

bool TTessivarMessageStorer::Finish() {
    {
        std::lock_guard lock(m_Lock);
        m_Finishing = true;
    }
    m_Changed.notify_all();
    if (m_Thread.joinable())
        m_Thread.join();
    std::lock_guard lock(m_Lock);
    return m_Flushed;
}

void TTessivarMessageStorer::Cancel() {
    {
        std::lock_guard lock(m_Lock);
        m_Cancelled = true;
        m_Queue.clear();
        m_QueuedBytes = 0;
    }
    m_Changed.notify_all();
    if (m_Thread.joinable())
        m_Thread.join();
}

void TTessivarMessageStorer::Execute() {
    std::unique_lock lock(m_Lock);
    for (;;) {
        m_Changed.wait(lock, [this] { return m_Cancelled || m_Finishing || !m_Queue.empty(); });
        if (m_Cancelled)
            return;
        if (m_Queue.empty())
            break; // finishing, and everything is handled
        TMessage message = std::move(m_Queue.front().Message);
        m_QueuedBytes -= m_Queue.front().Bytes;
        m_Queue.pop_front();
        lock.unlock();
        m_Changed.notify_all();
        Handle(message);
        FlushNowAndThen();
        lock.lock();
    }
    lock.unlock();
    const bool flushed = Flush();
    lock.lock();
    m_Flushed = flushed;
}

// A failure ends only this message, which stays on the server for the next pass.
void TTessivarMessageStorer::Handle(const TMessage& message) {
    try {
        if (message.StoredBefore)
            Debug("POP3Checker: Message " + std::to_string(message.Number) + " was stored by an earlier pass.");
        else if (ScreenMessage(m_Model, m_Account, message.Lines, message.RemoteID) == TScreenedMessage::Stored)
            ++m_Unflushed;
        m_Handled.push_back(message.Number);
    } catch (const std::exception& error) {
        DebugException(StorerClass, error);
    }
}

void TTessivarMessageStorer::FlushNowAndThen() {
    if (m_Unflushed >= FlushEveryMessages ||
        (m_Unflushed > 0 && std::chrono::steady_clock::now() - m_LastFlush >= FlushInterval))
        Flush();
}

bool TTessivarMessageStorer::Flush() {
    if (m_Unflushed > 0) {
        if (!FlushStore(m_Model)) {
            Debug("POP3Checker: The stored messages could not be flushed to the disk.");
            return false;
        }
        m_Unflushed = 0;
        m_LastFlush = std::chrono::steady_clock::now();
    }
    std::lock_guard lock(m_Lock);
    m_Durable.insert(m_Durable.end(), m_Handled.begin(), m_Handled.end());
    m_Handled.clear();
    return true;
}
