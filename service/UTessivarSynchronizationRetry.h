#pragma once
// Retrying a failed synchronisation. The model sends its local changes and its queue of senders to
// challenge only when something changes locally; after a synchronisation failed (the service could
// not be reached, or its answer could not be stored), this sends them again on its own, first after
// a minute, then after twice the previous delay, up to an hour, for as long as anything is still
// marked or queued. An answer that was merged starts the delays afresh.
// Thread contract: the model's thread only. The loop and the model must outlive the object.

#include <chrono>

#include "core/UMessageLoop.h"

class TTessivarBusinessLogic;

// The delays between retries: the first after a failure, each further one twice the one before, but
// never more than the longest.
struct TSynchronizationRetryDelays {
    std::chrono::milliseconds First = std::chrono::minutes(1);
    std::chrono::milliseconds Longest = std::chrono::hours(1);
};

// Local changes (settings, senders, domain names) still wait for the service to acknowledge them,
// or senders still wait in the authorisation queue.
bool SynchronizationPending(TTessivarBusinessLogic& model);

class TSynchronizationRetry {
public:
    // Takes the model's OnSynchronizationDone until it is destroyed.
    TSynchronizationRetry(TMessageLoop& loop, TTessivarBusinessLogic& model, TSynchronizationRetryDelays delays = {});
    ~TSynchronizationRetry();
    TSynchronizationRetry(const TSynchronizationRetry&) = delete;
    TSynchronizationRetry& operator=(const TSynchronizationRetry&) = delete;

    // A retry is waiting for its time.
    bool Armed() const { return m_Timer != 0; }
    // The delay the next failure waits before its retry.
    std::chrono::milliseconds NextDelay() const { return m_NextDelay; }

private:
    void SynchronizationDone(bool merged);
    void Retry();
    // SynchronizationPending, and true when that cannot be told.
    bool Pending() const noexcept;
    void Disarm();

    // Constant after construction.
    TMessageLoop& m_Loop;
    TTessivarBusinessLogic& m_Model;
    const TSynchronizationRetryDelays m_Delays;

    std::chrono::milliseconds m_NextDelay;
    TMessageLoop::TTimerID m_Timer = 0;
};
