#pragma once
// Test helper: runs Qt's event loop until a condition holds or the time is up. Main test thread only.

#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>

// Returns the condition as it stands at the end.
inline bool ProcessEventsUntil(const std::function<bool()>& condition, int milliseconds) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > milliseconds)
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}
