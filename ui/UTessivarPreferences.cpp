#include "ui/UTessivarPreferences.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

#include "base/UAutostart.h"
#include "base/UDebug.h"
#include "base/URegistry.h"

namespace {

constexpr const char* PreferencesKey = "\\Software\\Tessivar";
constexpr const char* ReadFailure = "Could not open registry to read preferences.";

bool ReadBoolean(const TRegistry& registry, const char* name, bool fallback) {
    return registry.ReadIntegerDefault(name, fallback ? 1 : 0) != 0;
}

void WriteBoolean(TRegistry& registry, const char* name, bool value) {
    registry.WriteInteger(name, value ? 1 : 0);
}

} // namespace

bool ReadPreferences(TTessivarPreferences& preferences) {
    TTessivarPreferences read = preferences;
    bool startupAutomatic = false;
    try {
        TRegistry registry(HKEY_CURRENT_USER);
        if (!registry.OpenKeyReadOnly(PreferencesKey)) {
            Debug(ReadFailure);
            return false;
        }
        read.NewMessageAnimateTrayIcon = ReadBoolean(registry, "NewMessageAnimateTrayIcon", true);
        read.NewMessageNotificationWindow = ReadBoolean(registry, "NewMessageNotificationWindow", true);
        read.NewMessageNotificationSound = ReadBoolean(registry, "NewMessageNotificationSound", true);
        startupAutomatic = ReadBoolean(registry, "StartupAutomatic", true);
        read.StartupRememberPosition = ReadBoolean(registry, "StartupRememberPosition", true);
        read.AutomaticallyDeleteBlockedMail = ReadBoolean(registry, "AutomaticallyDeleteBlockedMail", false);
        // Blocked mail older than this many days is deleted for good: a value edited outside the
        // preferences window (0 or less would delete all blocked mail at once) is held to the
        // window's range.
        read.AutomaticallyDeleteBlockedMailDays = std::clamp(
            registry.ReadIntegerDefault("AutomaticallyDeleteBlockedMailDays", 7), MinimumDeleteDays, MaximumDeleteDays);
    } catch (const ERegistryException& e) {
        DebugException("TTessivarPreferences", e);
        Debug(ReadFailure);
        return false;
    }
    preferences = read;
    SetStartupAutomatic(preferences, startupAutomatic);
    return true;
}

void WritePreferences(const TTessivarPreferences& preferences) {
    try {
        TRegistryBatch batch;
        TRegistry registry(HKEY_CURRENT_USER);
        if (!registry.OpenKey(PreferencesKey, true))
            return;
        WriteBoolean(registry, "NewMessageAnimateTrayIcon", preferences.NewMessageAnimateTrayIcon);
        WriteBoolean(registry, "NewMessageNotificationWindow", preferences.NewMessageNotificationWindow);
        WriteBoolean(registry, "NewMessageNotificationSound", preferences.NewMessageNotificationSound);
        WriteBoolean(registry, "StartupAutomatic", preferences.StartupAutomatic);
        WriteBoolean(registry, "StartupRememberPosition", preferences.StartupRememberPosition);
        WriteBoolean(registry, "AutomaticallyDeleteBlockedMail", preferences.AutomaticallyDeleteBlockedMail);
        registry.WriteInteger("AutomaticallyDeleteBlockedMailDays", preferences.AutomaticallyDeleteBlockedMailDays);
        batch.Commit();
    } catch (const ERegistryException& e) {
        // Not the user's concern: the program goes on with the values it holds.
        DebugException("TTessivarPreferences", e);
    }
}

void SetStartupAutomatic(TTessivarPreferences& preferences, bool value) {
    preferences.StartupAutomatic = value;
    try {
        if (value)
            RegisterAutostart();
        else
            UnregisterAutostart();
    } catch (const Exception& e) {
        DebugException("TTessivarPreferences", e);
    }
}

void RestoreWindowPosition(QWidget& window, const TTessivarPreferences& preferences) {
    const QSize minimum(MinimumWindowWidth, MinimumWindowHeight);
    if (preferences.StartupRememberPosition) {
        try {
            TRegistry registry(HKEY_CURRENT_USER);
            if (registry.OpenKeyReadOnly(PreferencesKey)) {
                const int left = registry.ReadIntegerDefault("StartupRememberPositionX", window.x());
                const int top = registry.ReadIntegerDefault("StartupRememberPositionY", window.y());
                const int width = registry.ReadIntegerDefault("StartupRememberPositionWidth", window.width());
                const int height = registry.ReadIntegerDefault("StartupRememberPositionHeight", window.height());
                window.resize(QSize(width, height).expandedTo(minimum));
                window.move(left, top);
                return;
            }
            Debug(ReadFailure);
        } catch (const ERegistryException& e) {
            DebugException("TTessivarPreferences", e);
            Debug(ReadFailure);
        }
    }
    window.resize(minimum);
    CentreOnDesktop(window);
}

void SaveWindowPosition(const QWidget& window) {
    try {
        TRegistryBatch batch;
        TRegistry registry(HKEY_CURRENT_USER);
        if (!registry.OpenKey(PreferencesKey, true))
            return;
        // Frame position and client size: what move and resize take back at the next start.
        registry.WriteInteger("StartupRememberPositionX", window.x());
        registry.WriteInteger("StartupRememberPositionY", window.y());
        registry.WriteInteger("StartupRememberPositionWidth", window.width());
        registry.WriteInteger("StartupRememberPositionHeight", window.height());
        batch.Commit();
    } catch (const ERegistryException& e) {
        DebugException("TTessivarPreferences", e);
    }
}

void CentreOnDesktop(QWidget& window) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    // Before the first show the frame is not known yet; the window's own size stands for it.
    const QSize frame = window.isVisible() ? window.frameGeometry().size() : window.size();
    const QRect desktop = screen->availableGeometry();
    window.move(desktop.x() + (desktop.width() - frame.width()) / 2,
                desktop.y() + (desktop.height() - frame.height()) / 2);
}
