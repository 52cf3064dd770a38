#include "mail/UPOP3ServerEngine.h"

#include <poll.h>

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

// One connection thread. Everything but Thread and Close is guarded by the engine's m_Lock.
struct TPOP3ServerEngine::TSlot {
    enum class TPhase { NotLoggedIn, LoggingIn, LoggedIn };

    std::thread Thread;
    // Raised to close this connection alone (its stream watches it) or, with all others, at a stop.
    std::shared_ptr<TAbortSignal> Close;
    std::string PeerAddress;
    TPhase Phase = TPhase::NotLoggedIn;
    bool Evicted = false; // closed to make room; no longer counted against the limit
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
    CloseConnections();
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
    CloseConnections();
    const bool allFinished = WaitForConnections(StopWaitTime);
    ReapFinished();
    if (!allFinished)
        throw EPOP3Exception("Terminate Thread Timeout");
}

void TPOP3ServerEngine::CloseConnections() {
    std::lock_guard lock(m_Lock);
    for (const auto& slot : m_Slots) {
        if (!slot->Finished && slot->Close)
            slot->Close->Raise();
    }
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
        // Each connection gets a signal of its own, so that it can be closed alone.
        std::shared_ptr<TAbortSignal> closeSignal;
        try {
            closeSignal = std::make_shared<TAbortSignal>();
        } catch (const ESocketException& error) {
            // Out of descriptors: pause instead of spinning; pending clients wait in the queue.
            TraceFailure(error);
            pollfd abort{listening.Abort->Handle(), POLLIN, 0};
            if (::poll(&abort, 1, 100) > 0 || listening.Abort->Raised())
                return;
            continue;
        }
        std::unique_ptr<TSocketStream> stream;
        try {
            stream = listening.Socket->Accept(listening.Abort, closeSignal);
        } catch (const std::exception& error) {
            TraceFailure(error);
            return;
        }
        if (!stream)
            return;
        ReapFinished();
        Admit(listening, std::move(stream), std::move(closeSignal));
    }
}

bool TPOP3ServerEngine::EvictIdleLogin(const std::string& newcomer) {
    // m_Slots is in the order the connections came in.
    const auto oldest = std::find_if(m_Slots.begin(), m_Slots.end(), [](const auto& slot) {
        return !slot->Finished && !slot->Evicted && slot->Phase == TSlot::TPhase::NotLoggedIn;
    });
    if (oldest == m_Slots.end())
        return false;
    TSlot& slot = **oldest;
    slot.Evicted = true;
    slot.Close->Raise();
    Debug("TPOP3ServerEngine: " + slot.PeerAddress + " had not logged in; closed to make room for " + newcomer + ".");
    return true;
}

void TPOP3ServerEngine::Admit(TListening& listening, std::unique_ptr<TSocketStream> stream,
                              std::shared_ptr<TAbortSignal> closeSignal) {
    std::unique_lock lock(m_Lock);
    const auto serving = std::count_if(m_Slots.begin(), m_Slots.end(),
                                       [](const auto& slot) { return !slot->Finished && !slot->Evicted; });
    if (static_cast<std::size_t>(serving) >= m_MaxConnections && !EvictIdleLogin(stream->PeerAddress())) {
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
    stream->SetReadTimeout(static_cast<int>(m_LoginIdleTimeout.count()));
    stream->EnableKeepAlive();
    TSlot* slot = m_Slots.emplace_back(std::make_unique<TSlot>()).get();
    slot->Close = std::move(closeSignal);
    slot->PeerAddress = stream->PeerAddress();
    auto channel = std::make_unique<TPOP3Channel>(std::move(stream));
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
    const auto setPhase = [this, &slot](TSlot::TPhase phase) {
        std::lock_guard lock(m_Lock);
        slot.Phase = phase;
    };
    try {
        channel->WriteLine(m_Greeting);
        std::string line;
        while (channel->ReadLine(line)) {
            if (line.empty())
                continue;
            // A login in progress waits for the real server; it must not be taken for an idle one.
            if (MatchPOP3Command(line) == TPOP3CommandKind::PASS)
                setPhase(TSlot::TPhase::LoggingIn);
            const bool more = ServeLine(connection, *channel, line);
            const bool loggedIn = connection.State() != TPOP3State::AuthorizationState;
            setPhase(loggedIn ? TSlot::TPhase::LoggedIn : TSlot::TPhase::NotLoggedIn);
            if (!more)
                break;
            channel->Stream().SetReadTimeout(static_cast<int>((loggedIn ? m_IdleTimeout : m_LoginIdleTimeout).count()));
        }
    } catch (const ESocketAborted&) {
        // The engine is stopping, or this connection made room for another; not a fault of it.
    } catch (const ESocketTimedOut&) {
        const auto limit = connection.State() == TPOP3State::AuthorizationState ? m_LoginIdleTimeout : m_IdleTimeout;
        Debug("TPOP3ServerEngine: " + connection.PeerAddress() + " sent nothing for " +
              std::to_string(limit.count() / 1000) + " seconds; connection closed.");
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
