#include "mail/UPOP3ServerEngine.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "base/UDebug.h"
#include "mail/UPOP3Channel.h"
#include "mail/USockets.h"

namespace {

constexpr const char* ListenAddress = "127.0.0.1";
constexpr int ListenQueueLength = 15;
constexpr auto StopWaitTime = std::chrono::milliseconds(5000);
constexpr const char* TooManyConnectionsReply = "-ERR Too many connections, try again later.\r\n";

void TraceFailure(const std::exception& error) {
    DebugException("TPOP3ServerEngine", error);
}

} // namespace

// One connection thread. `Finished` is guarded by the engine's m_Lock.
struct TPOP3ServerEngine::TSlot {
    std::thread Thread;
    bool Finished = false;
};

// The listening socket of one activation, its accept thread, and the signal that wakes the accept
// thread and every connection accepted during that activation.
struct TPOP3ServerEngine::TListening {
    std::shared_ptr<TAbortSignal> Abort;
    std::unique_ptr<TSocketListener> Socket;
    std::thread Thread;
};

bool TPOP3ServerConnection::Stopping() const {
    return m_Stopping && m_Stopping->Raised();
}

TPOP3Command::TPOP3Command(TPOP3ServerConnection& connection, TPOP3CommandKind kind, std::string line)
    : Connection(connection), Kind(kind), Line(std::move(line)), ParameterText(POP3ParameterText(Line, kind)),
      Parameters(SplitPOP3Parameters(ParameterText)) {}

TPOP3ServerEngine::TPOP3ServerEngine() = default;

TPOP3ServerEngine::~TPOP3ServerEngine() {
    if (m_Listener) {
        m_Listener->Abort->Raise();
        if (m_Listener->Thread.joinable())
            m_Listener->Thread.join();
        m_Listener.reset();
    }
    // Let a custom waiter serve what handlers may be waiting for before the final, unlimited join.
    if (m_StopWaiter && !AllFinished()) {
        try {
            WaitForConnections(StopWaitTime);
        } catch (const std::exception& error) {
            TraceFailure(error);
        }
    }
    std::vector<std::unique_ptr<TSlot>> remaining;
    {
        std::lock_guard lock(m_Lock);
        remaining.swap(m_Slots);
    }
    for (auto& slot : remaining) {
        if (slot->Thread.joinable())
            slot->Thread.join();
    }
}

void TPOP3ServerEngine::SetActive(bool active) {
    if (active && !m_Listener)
        Start();
    else if (!active)
        Stop();
}

int TPOP3ServerEngine::Port() const {
    return m_Listener ? m_Listener->Socket->Port() : 0;
}

std::string TPOP3ServerEngine::BoundAddress() const {
    return m_Listener ? m_Listener->Socket->Address() : std::string();
}

std::size_t TPOP3ServerEngine::ConnectionCount() const {
    std::lock_guard lock(m_Lock);
    return static_cast<std::size_t>(
        std::count_if(m_Slots.begin(), m_Slots.end(), [](const auto& slot) { return !slot->Finished; }));
}

void TPOP3ServerEngine::Start() {
    ReapFinished();
    auto listening = std::make_unique<TListening>();
    listening->Abort = std::make_shared<TAbortSignal>();
    listening->Socket = std::make_unique<TSocketListener>(ListenAddress, m_DefaultPort, ListenQueueLength);
    TListening* raw = listening.get();
    listening->Thread = std::thread([this, raw] { AcceptLoop(*raw); });
    m_Listener = std::move(listening);
}

void TPOP3ServerEngine::Stop() {
    if (m_Listener) {
        m_Listener->Abort->Raise();
        if (m_Listener->Thread.joinable())
            m_Listener->Thread.join();
        m_Listener.reset();
    }
    const bool allFinished = WaitForConnections(StopWaitTime);
    ReapFinished();
    if (!allFinished)
        throw EPOP3Exception("Terminate Thread Timeout");
}

bool TPOP3ServerEngine::AllFinished() const {
    std::lock_guard lock(m_Lock);
    return std::all_of(m_Slots.begin(), m_Slots.end(), [](const auto& slot) { return slot->Finished; });
}

bool TPOP3ServerEngine::WaitForConnections(std::chrono::milliseconds timeout) {
    if (m_StopWaiter)
        return m_StopWaiter([this] { return AllFinished(); }, timeout);
    std::unique_lock lock(m_Lock);
    return m_SlotFinished.wait_for(lock, timeout, [this] {
        return std::all_of(m_Slots.begin(), m_Slots.end(), [](const auto& slot) { return slot->Finished; });
    });
}

void TPOP3ServerEngine::ReapFinished() {
    std::vector<std::unique_ptr<TSlot>> finished;
    {
        std::lock_guard lock(m_Lock);
        auto split =
            std::stable_partition(m_Slots.begin(), m_Slots.end(), [](const auto& slot) { return !slot->Finished; });
        std::move(split, m_Slots.end(), std::back_inserter(finished));
        m_Slots.erase(split, m_Slots.end());
    }
    for (auto& slot : finished) {
        if (slot->Thread.joinable())
            slot->Thread.join();
    }
}

void TPOP3ServerEngine::AcceptLoop(TListening& listening) {
    for (;;) {
        std::unique_ptr<TSocketStream> stream;
        try {
            stream = listening.Socket->Accept(listening.Abort);
        } catch (const std::exception& error) {
            TraceFailure(error);
            return;
        }
        if (!stream)
            return;
        ReapFinished();
        Admit(listening, std::move(stream));
    }
}

void TPOP3ServerEngine::Admit(TListening& listening, std::unique_ptr<TSocketStream> stream) {
    std::unique_lock lock(m_Lock);
    const auto serving =
        std::count_if(m_Slots.begin(), m_Slots.end(), [](const auto& slot) { return !slot->Finished; });
    if (static_cast<std::size_t>(serving) >= m_MaxConnections) {
        lock.unlock();
        Debug("TPOP3ServerEngine: " + std::to_string(serving) + " connections served already; " +
              stream->PeerAddress() + " refused.");
        try {
            // A few bytes into the empty send buffer of a new socket: this never waits.
            stream->Write(TooManyConnectionsReply);
        } catch (const std::exception& error) {
            TraceFailure(error);
        }
        return; // the stream closes here
    }
    stream->SetReadTimeout(static_cast<int>(m_IdleTimeout.count()));
    stream->EnableKeepAlive();
    auto channel = std::make_unique<TPOP3Channel>(std::move(stream));
    TSlot* slot = m_Slots.emplace_back(std::make_unique<TSlot>()).get();
    try {
        slot->Thread = std::thread([this, slot, channel = std::move(channel), stopping = listening.Abort]() mutable {
            Serve(*slot, std::move(channel), std::move(stopping));
        });
    } catch (const std::system_error& error) {
        // No thread for this client: drop it (the channel closes it) and keep listening.
        m_Slots.pop_back();
        TraceFailure(error);
    }
}

void TPOP3ServerEngine::Serve(TSlot& slot, std::unique_ptr<TPOP3Channel> channel,
                              std::shared_ptr<TAbortSignal> stopping) {
    TPOP3ServerConnection connection(channel->Stream().PeerAddress(), std::move(stopping));
    try {
        channel->WriteLine(m_Greeting);
        std::string line;
        while (channel->ReadLine(line)) {
            if (!line.empty() && !ServeLine(connection, *channel, line))
                break;
        }
    } catch (const ESocketAborted&) {
        // The engine is stopping; not a fault of this connection.
    } catch (const ESocketTimedOut&) {
        Debug("TPOP3ServerEngine: " + connection.PeerAddress() + " sent nothing for " +
              std::to_string(m_IdleTimeout.count() / 1000) + " seconds; connection closed.");
    } catch (const std::exception& error) {
        TraceFailure(error);
    } catch (...) {
        Debug("TPOP3ServerEngine: a handler raised an unknown exception; connection closed.");
    }
    channel->Close();
    try {
        if (OnDisconnect)
            OnDisconnect(connection);
    } catch (const std::exception& error) {
        TraceFailure(error);
    } catch (...) {
        Debug("TPOP3ServerEngine: OnDisconnect raised an unknown exception.");
    }
    channel.reset();
    {
        std::lock_guard lock(m_Lock);
        slot.Finished = true;
    }
    m_SlotFinished.notify_all();
}
