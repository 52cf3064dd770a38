#include "ui/UTessivarPreferences.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <functional>

#include "base/UAutostart.h"
#include "base/URegistry.h"
#include "tests/base/TemporaryConfigHome.h"
#include "tests/base/TraceCapture.h"
#include "tests/clients/RegistryTestSupport.h"
#include "ui/UfrmPreferences.h"

namespace {

constexpr const char* Key = "\\Software\\Tessivar";

// Each case has its own registry files and its own autostart folder.
class UTessivarPreferencesTest : public testing::Test {
protected:
    static void OpenKey(TRegistry& registry) { ASSERT_TRUE(registry.OpenKey(Key, true)); }
    static bool KeyExists() { return TRegistry().KeyExists(Key); }

    // Runs the window, doing what answer says once it is shown.
    static bool Edit(TfrmPreferences& window, TTessivarPreferences& preferences,
                     const std::function<void(TfrmPreferences&)>& answer) {
        QTimer::singleShot(0, &window, [&window, answer] { answer(window); });
        return window.EditPreferences(preferences);
    }
    template <typename T> static T* Child(TfrmPreferences& window, const char* name) {
        T* child = window.findChild<T*>(name);
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    static void Click(TfrmPreferences& window, const char* button) { Child<QPushButton>(window, button)->click(); }

    TRegistryTestDirectory m_Registry;
    TTemporaryConfigHome m_Config;
};

} // namespace

TEST_F(UTessivarPreferencesTest, WithoutTheKeyNothingChangesUntilTheFirstCloseCreatesIt) {
    m_Config.WriteAutostart("someone else's entry");
    TTessivarPreferences preferences;
    {
        TTraceCapture trace;
        EXPECT_FALSE(ReadPreferences(preferences));
        EXPECT_NE(trace.Text().find("Could not open registry to read preferences."), std::string::npos);
    }
    EXPECT_FALSE(preferences.NewMessageAnimateTrayIcon);
    EXPECT_FALSE(preferences.StartupAutomatic);
    EXPECT_EQ(m_Config.ReadAutostart(), "someone else's entry");
    EXPECT_FALSE(KeyExists());

    QWidget window;
    window.move(40, 30);
    window.resize(700, 400);
    SaveWindowPosition(window);
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKeyReadOnly(Key));
    EXPECT_EQ(registry.GetValueNames(),
              (TStringArray{"StartupRememberPositionX", "StartupRememberPositionY", "StartupRememberPositionWidth",
                            "StartupRememberPositionHeight"}));
    EXPECT_EQ(registry.ReadInteger("StartupRememberPositionWidth"), 700);

    // The next start finds the key: the defaults apply and the program registers itself.
    ASSERT_TRUE(ReadPreferences(preferences));
    EXPECT_TRUE(preferences.NewMessageAnimateTrayIcon);
    EXPECT_TRUE(preferences.NewMessageNotificationSound);
    EXPECT_TRUE(preferences.StartupAutomatic);
    EXPECT_TRUE(preferences.StartupRememberPosition);
    EXPECT_FALSE(preferences.AutomaticallyDeleteBlockedMail);
    EXPECT_EQ(preferences.AutomaticallyDeleteBlockedMailDays, 7);
    EXPECT_EQ(m_Config.ReadAutostart(), AutostartEntryText(ProgramFileName()));
}

TEST_F(UTessivarPreferencesTest, EveryReadRegistersOrUnregistersTheProgram) {
    TRegistry registry;
    OpenKey(registry);
    TTessivarPreferences preferences;
    ASSERT_TRUE(ReadPreferences(preferences));
    EXPECT_TRUE(m_Config.AutostartExists());

    registry.WriteInteger("StartupAutomatic", 0);
    ASSERT_TRUE(ReadPreferences(preferences));
    EXPECT_FALSE(preferences.StartupAutomatic);
    EXPECT_FALSE(m_Config.AutostartExists());
}

TEST_F(UTessivarPreferencesTest, ValuesOfTheWrongTypeOrOutOfRangeAreNotTakenAsTheyAre) {
    TRegistry registry;
    OpenKey(registry);
    registry.WriteString("NewMessageNotificationSound", "0");
    registry.WriteInteger("NewMessageAnimateTrayIcon", 0);
    registry.WriteInteger("AutomaticallyDeleteBlockedMail", 1);
    // Zero days would delete every blocked message at the next refresh.
    registry.WriteInteger("AutomaticallyDeleteBlockedMailDays", 0);
    TTessivarPreferences preferences;
    ASSERT_TRUE(ReadPreferences(preferences));
    EXPECT_TRUE(preferences.NewMessageNotificationSound);
    EXPECT_FALSE(preferences.NewMessageAnimateTrayIcon);
    EXPECT_TRUE(preferences.AutomaticallyDeleteBlockedMail);
    EXPECT_EQ(preferences.AutomaticallyDeleteBlockedMailDays, 1);
    registry.WriteInteger("AutomaticallyDeleteBlockedMailDays", 5000);
    ASSERT_TRUE(ReadPreferences(preferences));
    EXPECT_EQ(preferences.AutomaticallyDeleteBlockedMailDays, 90);
}

TEST_F(UTessivarPreferencesTest, RestorePlacesTheStoredRectangleNeverBelowTheMinimum) {
    TRegistry registry;
    OpenKey(registry);
    registry.WriteInteger("StartupRememberPositionX", 15);
    registry.WriteInteger("StartupRememberPositionY", 25);
    registry.WriteString("StartupRememberPositionWidth", "900");
    registry.WriteInteger("StartupRememberPositionHeight", 500);
    TTessivarPreferences preferences;
    preferences.StartupRememberPosition = true;
    QWidget window;
    window.resize(650, 380);
    RestoreWindowPosition(window, preferences);
    // The text-typed width reads as the window's current width.
    EXPECT_EQ(window.pos(), QPoint(15, 25));
    EXPECT_EQ(window.size(), QSize(650, 500));

    registry.WriteInteger("StartupRememberPositionWidth", 100);
    registry.WriteInteger("StartupRememberPositionHeight", 50);
    RestoreWindowPosition(window, preferences);
    EXPECT_EQ(window.size(), QSize(596, 370));
    EXPECT_FALSE(window.isVisible());
}

TEST_F(UTessivarPreferencesTest, WithoutRememberingTheWindowOpensSmallestAndCentred) {
    TRegistry registry;
    OpenKey(registry);
    registry.WriteInteger("StartupRememberPositionX", 15);
    registry.WriteInteger("StartupRememberPositionWidth", 900);
    TTessivarPreferences preferences;
    QWidget window;
    window.resize(800, 500);
    RestoreWindowPosition(window, preferences);
    EXPECT_EQ(window.size(), QSize(596, 370));
    const QRect desktop = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(window.geometry().center(), desktop.center());
}

TEST_F(UTessivarPreferencesTest, WritingFailuresAreIgnored) {
    TRegistry registry;
    OpenKey(registry);
    const std::string before = m_Registry.Read();
    QWidget window;
    TTessivarPreferences preferences;
    {
        TFileSizeLimit full(16);
        SaveWindowPosition(window);
        WritePreferences(preferences);
    }
    EXPECT_EQ(m_Registry.Read(), before);
}

TEST_F(UTessivarPreferencesTest, OkTakesTheWindowsValuesAndCancelChangesNothing) {
    TRegistry registry;
    OpenKey(registry);
    registry.WriteInteger("AutomaticallyDeleteBlockedMailDays", 30);
    TfrmPreferences window;
    TTessivarPreferences preferences;

    // The start-up box cleared and Cancel: the entry stays, nothing is written.
    EXPECT_FALSE(Edit(window, preferences, [](TfrmPreferences& w) {
        EXPECT_TRUE(w.isVisible());
        EXPECT_EQ(w.windowTitle(), "Preferences");
        EXPECT_TRUE(w.windowFlags() & Qt::WindowStaysOnTopHint);
        EXPECT_TRUE(Child<QCheckBox>(w, "chkStartupAutomatic")->isChecked());
        EXPECT_FALSE(Child<QSpinBox>(w, "spnDeleteDays")->isEnabled());
        EXPECT_EQ(Child<QSpinBox>(w, "spnDeleteDays")->value(), 30);
        EXPECT_EQ(w.focusWidget(), Child<QPushButton>(w, "btnOk"));
        Child<QCheckBox>(w, "chkStartupAutomatic")->setChecked(false);
        Click(w, "btnCancel");
    }));
    EXPECT_TRUE(m_Config.AutostartExists());
    EXPECT_TRUE(preferences.StartupAutomatic);
    EXPECT_FALSE(registry.ValueExists("StartupAutomatic"));

    // The same with Ok: the entry goes and all seven values are written.
    EXPECT_TRUE(Edit(window, preferences, [](TfrmPreferences& w) {
        Child<QCheckBox>(w, "chkStartupAutomatic")->setChecked(false);
        Child<QCheckBox>(w, "chkAnimateTrayIcon")->setChecked(false);
        Child<QCheckBox>(w, "chkDeleteBlockedMail")->setChecked(true);
        EXPECT_TRUE(Child<QSpinBox>(w, "spnDeleteDays")->isEnabled());
        Child<QSpinBox>(w, "spnDeleteDays")->setValue(12);
        Click(w, "btnOk");
    }));
    EXPECT_FALSE(m_Config.AutostartExists());
    EXPECT_FALSE(preferences.StartupAutomatic);
    EXPECT_FALSE(preferences.NewMessageAnimateTrayIcon);
    EXPECT_TRUE(preferences.AutomaticallyDeleteBlockedMail);
    EXPECT_EQ(preferences.AutomaticallyDeleteBlockedMailDays, 12);
    EXPECT_EQ(registry.GetValueNames().size(), 7u);
    EXPECT_EQ(registry.ReadInteger("StartupAutomatic"), 0);
    EXPECT_EQ(registry.ReadInteger("NewMessageAnimateTrayIcon"), 0);
    EXPECT_EQ(registry.ReadInteger("AutomaticallyDeleteBlockedMail"), 1);
    EXPECT_EQ(registry.ReadInteger("AutomaticallyDeleteBlockedMailDays"), 12);
}
