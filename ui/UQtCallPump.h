#pragma once
// Drives the model's message loop from Qt's event loop, so that the windows' thread is the model's
// thread: the workers' threaded calls, the loop's timers and a quit asked for by a signal are served
// whenever Qt's loop runs, modal dialogs and open menus included. Thread contract: constructed and
// used on the thread that created the message loop; the loop must outlive the pump.

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

class TMessageLoop;

class TQtCallPump : public QObject {
    Q_OBJECT
public:
    explicit TQtCallPump(TMessageLoop& loop, QObject* parent = nullptr);

    // Serves what is queued now (also called by the pump itself whenever the loop wakes it).
    void Pump();

signals:
    // Quit or QuitFromSignal was called on the loop (once).
    void QuitRequested();

private:
    TMessageLoop& m_Loop;
    QSocketNotifier m_Notifier;
    // Wakes the pump for the loop's next timer.
    QTimer m_TimerWake;
    bool m_QuitAnnounced = false;
};
