#pragma once
// The user's presentation and start-up preferences, kept in the registry of the current user under
// "\Software\Tessivar" (32-bit integers; booleans 0 and 1), and the main window's rectangle beside
// them. Registry failures never reach the user: reading failures are traced, writing failures are
// ignored, and the caller keeps the values it holds. Thread contract: the user-interface thread.

#include <cstdint>

class QWidget;

struct TTessivarPreferences {
    bool NewMessageAnimateTrayIcon = false;
    bool NewMessageNotificationWindow = false;
    bool NewMessageNotificationSound = false;
    bool StartupAutomatic = false;
    bool StartupRememberPosition = false;
    bool AutomaticallyDeleteBlockedMail = false;
    int32_t AutomaticallyDeleteBlockedMailDays = 0;
};

// Smallest size of the main window.
inline constexpr int MinimumWindowWidth = 596;
inline constexpr int MinimumWindowHeight = 370;
// Range of the deletion age in days.
inline constexpr int32_t MinimumDeleteDays = 1;
inline constexpr int32_t MaximumDeleteDays = 90;

// Reads the seven values, each missing or non-integer one as its default, and passes the start-up
// value through SetStartupAutomatic. False (and "Could not open registry to read preferences." in
// the debug log) when the key cannot be opened; preferences is then unchanged.
bool ReadPreferences(TTessivarPreferences& preferences);
// Writes the seven values, creating the key when needed.
void WritePreferences(const TTessivarPreferences& preferences);
// Stores the value and writes (true) or removes (false) the autostart entry of this program.
void SetStartupAutomatic(TTessivarPreferences& preferences, bool value);
// Sizes and places the window: at its stored rectangle when the position is to be remembered,
// else at the minimum size centred on the desktop. Never below the minimum size; never shows it.
void RestoreWindowPosition(QWidget& window, const TTessivarPreferences& preferences);
// Writes the window's left, top (of its frame), width and height, creating the key when needed.
void SaveWindowPosition(const QWidget& window);

// Moves the window so that its frame is centred in the primary screen's available area.
void CentreOnDesktop(QWidget& window);
