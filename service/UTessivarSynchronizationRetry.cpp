#include "service/UTessivarSynchronizationRetry.h"

#include <algorithm>
#include <string>

#include "base/UDebug.h"
#include "core/USQLite.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmailAddress.h"

bool SynchronizationPending(TTessivarBusinessLogic& model) {
    if (model.Modified())
        return true;
    for (int i = 0; i < model.DomainNameCount(); ++i)
        if (model.DomainNames(i).Modified())
            return true;
    for (int i = 0; i < model.EmailAddressCount(); ++i)
        if (model.EmailAddresses(i).Modified())
            return true;
    TSQLiteResultSet rows;
    model.Database().Query("SELECT 1 FROM EmailAddressesRequiringAuthorization LIMIT 1", &rows);
    return rows.RowCount() > 0;
}

TSynchronizationRetry::TSynchronizationRetry(TMessageLoop& loop, TTessivarBusinessLogic& model,
                                             TSynchronizationRetryDelays delays)
    : m_Loop(loop), m_Model(model), m_Delays(delays), m_NextDelay(delays.First) {
    m_Model.OnSynchronizationDone = [this](bool merged) { SynchronizationDone(merged); };
}

TSynchronizationRetry::~TSynchronizationRetry() {
    m_Model.OnSynchronizationDone = nullptr;
    Disarm();
}

void TSynchronizationRetry::SynchronizationDone(bool merged) {
    if (merged) {
        // What the request carried is acknowledged; a change made meanwhile has its own timer.
        Disarm();
        m_NextDelay = m_Delays.First;
        return;
    }
    // A retry already waiting keeps its time, so that failures in quick succession (a change
    // synchronised while the service is away) do not put it off.
    if (Armed() || !Pending())
        return;
    Debug("Synchronization failed: trying again in " + std::to_string(m_NextDelay.count()) + " ms.");
    m_Timer = m_Loop.StartTimer(m_NextDelay, [this] { Retry(); });
    m_NextDelay = std::min(m_NextDelay * 2, m_Delays.Longest);
}

void TSynchronizationRetry::Retry() {
    m_Timer = 0;
    try {
        m_Model.Synchronize(true);
    } catch (const std::exception& error) {
        // No request went out: it is tried again as after a failed one.
        DebugException("TSynchronizationRetry", error);
        SynchronizationDone(false);
    }
}

bool TSynchronizationRetry::Pending() const noexcept {
    try {
        return SynchronizationPending(m_Model);
    } catch (const std::exception& error) {
        // A database that cannot say has not lost what it holds: better one request too many.
        DebugException("TSynchronizationRetry", error);
        return true;
    }
}

void TSynchronizationRetry::Disarm() {
    if (m_Timer != 0)
        m_Loop.StopTimer(m_Timer);
    m_Timer = 0;
}
