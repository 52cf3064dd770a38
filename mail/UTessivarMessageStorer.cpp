#include "mail/UTessivarMessageStorer.h"

#include "base/UDebug.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarMailRobots.h"
#include "core/UThreadedCalls.h"
#include "mail/UMessageHeaders.h"
#include "mail/UTessivarPOP3Checker.h"

namespace {

const char* const StorerClass = "TTessivarMessageStorer";
// A long pass flushes what it stored this often, so that its messages can leave the real server
// while it runs and a crash of the system late in the pass has less to take again.
constexpr int FlushEveryMessages = 500;
constexpr std::chrono::seconds FlushInterval{10};

// Headers that cannot be read in full would fail again at every pass and keep the message on the
// real server, out of the user's sight, for ever; it is stored with what can be read instead.
TParsedMessage ReadHeaders(const TStringArray& lines) {
    try {
        return ParseMessageHeaders(lines);
    } catch (const EMessageParseException& error) {
        DebugException(StorerClass, error);
        Debug("POP3Checker: Reading the message with the headers that could be read.");
        return ParseMessageHeadersTolerant(lines);
    }
}

// Anybody can write a bounce: it only names the request it returns, and the service says whether
// this account sent that request, and to whom.
void HandleBounce(TTessivarBusinessLogic& model, const TStringArray& lines) {
    const std::string recipient = ReturnedRequestRecipient(lines);
    const std::string requestId = ReturnedRequestMessageId(lines);
    Debug("Delivery failure notice received from " + recipient);
    if (requestId.empty()) {
        Debug("POP3Checker: The bounce names no authentication request: nothing changes.");
        return;
    }
    Undeliverable(model, recipient, requestId);
}

} // namespace

TScreenedMessage ScreenMessage(TTessivarBusinessLogic& model, TTessivarAccount& account, const TStringArray& lines,
                               const std::string& remoteID) {
    TParsedMessage message = ReadHeaders(lines);
    if (message.MessageId.empty())
        message.MessageId = NewCheckerMessageId();
    // Our own authentication request returned by a mail robot names an address that cannot take
    // mail; any other message of a robot (a bounce of the user's own mail, say) is mail for the user.
    if (IsMailRobotAddress(message.FromAddress) && HoldsAuthenticationRequestMarker(lines)) {
        Debug("CHECKING FOR BOUNCE!");
        HandleBounce(model, lines);
        return TScreenedMessage::ReturnedRequest;
    }
    if (SameText(message.Headers.Values("X-Tessivar"), "Self-Authentication-Notification")) {
        // Only a hint: the model synchronises at once, and the service's answer says whether the
        // sender authenticated. The notice itself is never stored.
        Debug("Self Authentication received from " + message.FromAddress);
        SelfAuthentication(model, message.FromAddress);
        return TScreenedMessage::SelfAuthentication;
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
