#pragma once
// Storing retrieved mail beside its retrieval. A mailbox checker's worker reads the next message
// off the real server while a storer thread hands the last one to the model (parse, classify, write
// the file, insert the row: the model's thread does that part) and flushes the store now and then.
// The worker learns from TakeDurable which messages may leave the real server: only those a flush
// has made durable here, and those that never needed storing (returned authentication requests,
// self-authentication notices) once the calls they caused are on their way.
//
// Memory stays bounded: Add blocks while MaximumQueuedMessages or MaximumQueuedBytes wait to be
// stored (one message over the byte budget is taken on its own, when nothing else waits).
//
// Thread contract: one worker thread uses a storer (Add, TakeDurable, Finish, Cancel, the
// destructor); the storer's own thread reaches the model only through threaded calls.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/LStrings.h"

class TTessivarAccount;
class TTessivarBusinessLogic;

// Messages and bytes that may wait for the storer thread.
inline constexpr std::size_t MaximumQueuedMessages = 32;
inline constexpr std::size_t MaximumQueuedBytes = 16 * 1024 * 1024;

// What became of a screened message.
enum class TScreenedMessage {
    Stored,             // stored and classified (durable after the next FlushStore)
    ReturnedRequest,    // our own authentication request returned by a mail robot; not stored
    SelfAuthentication, // a self-authentication notice; not stored
};

// Any worker thread: stores and classifies one message of `account` through the model's threaded
// calls, or handles it as a returned authentication request or self-authentication notice. A
// non-empty remoteID (the real server's unique id) is remembered with the stored message. Raises
// ETessivarPOP3CheckerException when the model could not store it.
TScreenedMessage ScreenMessage(TTessivarBusinessLogic& model, TTessivarAccount& account, const TStringArray& lines,
                               const std::string& remoteID);

class TTessivarMessageStorer {
public:
    // A message taken off the real server: its number in the session, its unique id (empty when
    // the server gives none) and its lines.
    struct TMessage {
        int Number = 0;
        std::string RemoteID;
        TStringArray Lines;
        // Stored by an earlier pass whose QUIT was not confirmed: nothing to store, only to delete.
        bool StoredBefore = false;
    };

    // Starts the storer thread. The model and the account must outlive the storer.
    TTessivarMessageStorer(TTessivarBusinessLogic& model, TTessivarAccount& account);
    // Cancels, then joins the thread.
    ~TTessivarMessageStorer();
    TTessivarMessageStorer(const TTessivarMessageStorer&) = delete;
    TTessivarMessageStorer& operator=(const TTessivarMessageStorer&) = delete;

    // Queues a message, waiting while the queue is full. Ignored after Finish or Cancel.
    void Add(TMessage message);
    // The numbers of the messages that may leave the server, gathered since the last call, in the
    // order they were added. A message the model failed to store never shows up.
    std::vector<int> TakeDurable();
    // Waits until every queued message is handled and flushes what was stored; true when that flush
    // succeeded (TakeDurable then has the rest). The thread has ended when it returns.
    bool Finish();
    // Drops the queued messages and ends the thread after the message being handled, without a
    // final flush: what was stored stays remembered, and nothing more becomes durable.
    void Cancel();

private:
    void Execute();
    // Stores or handles one message; its number joins m_Handled unless storing failed.
    void Handle(const TMessage& message);
    // Flushes when enough has gathered since the last flush (or FlushInterval has passed).
    void FlushNowAndThen();
    // FlushStore, then the handled messages become durable; false when the flush failed.
    bool Flush();
    static std::size_t Cost(const TMessage& message);

    TTessivarBusinessLogic& m_Model;
    TTessivarAccount& m_Account;

    // The storer thread only.
    std::vector<int> m_Handled; // handled since the last flush
    int m_Unflushed = 0;        // stored since the last flush
    std::chrono::steady_clock::time_point m_LastFlush;

    // Guarded by m_Lock.
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    struct TQueued {
        TMessage Message;
        std::size_t Bytes; // what it holds in memory
    };
    std::deque<TQueued> m_Queue;
    std::size_t m_QueuedBytes = 0;
    std::vector<int> m_Durable;
    bool m_Finishing = false;
    bool m_Cancelled = false;
    bool m_Flushed = false; // the final flush succeeded

    std::thread m_Thread; // last: started when everything above exists
};
