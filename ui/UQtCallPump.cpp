#include "ui/UQtCallPump.h"

#include "core/UMessageLoop.h"

TQtCallPump::TQtCallPump(TMessageLoop& loop, QObject* parent)
    : QObject(parent), m_Loop(loop), m_Notifier(loop.WakeHandle(), QSocketNotifier::Read) {
    m_TimerWake.setSingleShot(true);
    connect(&m_Notifier, &QSocketNotifier::activated, this, &TQtCallPump::Pump);
    connect(&m_TimerWake, &QTimer::timeout, this, &TQtCallPump::Pump);
    // Calls queued before the pump existed wake nobody; serve them once the event loop runs.
    QTimer::singleShot(0, this, &TQtCallPump::Pump);
}

void TQtCallPump::Pump() {
    // Cleared first: a call queued while the calls below run wakes the notifier again. A call may
    // open a modal dialog whose event loop comes back here; each pass takes only what is queued.
    m_Loop.ClearWake();
    m_Loop.ProcessPending();
    if (m_Loop.QuitRequested()) {
        if (!m_QuitAnnounced) {
            m_QuitAnnounced = true;
            emit QuitRequested();
        }
        return;
    }
    if (const int wait = m_Loop.TimeToNextTimer(); wait >= 0)
        m_TimerWake.start(wait);
}
