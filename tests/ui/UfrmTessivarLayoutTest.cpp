// The main window as a user first meets it: readable at its first size, exact captions, no
// announcement of the mail already waiting at start, a locked program that can always be reached
// again, bands that keep their heights, the lists' layout remembered, and what a screen reader sees.

#include "core/UTessivarAccount.h"
#include "tests/ui/MainWindowFixture.h"
#include "ui/UDesktopNotifications.h"
#include "ui/UDialogSupport.h"
#include "ui/UMessageBox.h"
#include "ui/UMessagePreviewPane.h"
#include "ui/UTessivarFrame.h"
#include "ui/UTessivarGridView.h"
#include "ui/UTessivarLists.h"
#include "ui/UTessivarPages.h"
#include "ui/UTessivarTray.h"
#include "ui/UfrmChangePassword.h"
#include "ui/UfrmLockAccess.h"
#include "ui/UfrmNotification.h"
#include "ui/UfrmPreferences.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTest>

namespace {

// A desktop without a notification service: the program's own window announces new mail.
class TNoDesktopNotifications : public IDesktopNotifications {
public:
    bool OffersActions() override { return false; }
    uint Notify(const QString&, int, bool) override { return 0; }
};

class UfrmTessivarLayoutTest : public TMainWindowTest {
protected:
    // Stops the windows and starts them again over the same folder, as at the next program start.
    void Restart(bool trayAvailable = true, const std::function<void()>& beforeFormCreate = {}) {
        Main().Stop();
        m_Windows.reset();
        m_Windows = std::make_unique<TTessivarWindows>(*m_Loop, trayAvailable);
        if (beforeFormCreate)
            beforeFormCreate();
        Main().FormCreate();
        Settle();
    }
    void SetUpAccount() {
        Model().SetUsername("me@example.test");
        Model().SetPassword("secret");
    }
};

} // namespace

TEST_F(UfrmTessivarLayoutTest, AtItsFirstSizeEveryButtonShowsItsWholeCaption) {
    SetUpAccount();
    Main().OpenMainWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Main()));
    Main().resize(Main().minimumSize());
    EXPECT_GE(Main().minimumWidth(), 596);
    EXPECT_GE(Main().minimumHeight(), 370);
    TTessivarPages& pages = Main().Pages();
    for (int page = 0; page < pages.PendingTabs().count(); ++page) {
        pages.PendingTabs().setCurrentIndex(page);
        QApplication::processEvents();
        for (QPushButton* button : pages.PendingTabs().currentWidget()->findChildren<QPushButton*>()) {
            if (button->isVisible()) {
                EXPECT_GE(button->width(), button->sizeHint().width()) << button->objectName().toStdString();
            }
        }
    }
}

TEST_F(UfrmTessivarLayoutTest, TheFirstRefreshAfterAStartWithMailWaitingAnnouncesNothing) {
    TTessivarAccount& account = Model().AddAccount("me@example.test", "me", "pop.example.test", 110);
    for (int i = 0; i < 2; ++i)
        Model().InsertEmail(account, "<" + std::to_string(i) + "@far.example>", {"From: a@far.example", "", "Hi"},
                            Now(), "Hi", "a@far.example", "", "me@example.test", "");
    // The preferences exist, so every announcement is on at the next start.
    TTessivarPreferences all;
    all.NewMessageNotificationWindow = all.NewMessageAnimateTrayIcon = all.NewMessageNotificationSound = true;
    WritePreferences(all);
    Restart();
    m_Windows->Notification().SetDesktopNotifications(std::make_unique<TNoDesktopNotifications>());
    EXPECT_TRUE(Main().Preferences().NewMessageNotificationWindow);
    EXPECT_EQ(Main().Views().AwaitingAuthorization().rowCount(), 2);
    EXPECT_EQ(Main().Views().PreviousAwaitingCount(), 2);
    ProcessUntil([] { return false; }, 300);
    EXPECT_EQ(m_Windows->Notification().SlideState(), TfrmNotification::TSlideState::Hidden);
    // A third message is news.
    Model().InsertEmail(Model().Accounts(0), "<3@far.example>", {"From: b@far.example", "", "Hi"},
                        Now(), "Hi", "b@far.example", "", "me@example.test", "");
    Settle();
    EXPECT_NE(m_Windows->Notification().SlideState(), TfrmNotification::TSlideState::Hidden);
}

TEST_F(UfrmTessivarLayoutTest, LockedWithoutANotificationAreaACancelledUnlockLeavesAWindowOnTheTaskBar) {
    Model().SetUsername("me@example.test");
    Model().SetPassword("secret");
    Model().SetLockAccess(true);
    Model().SetUnlockPassword("open sesame");
    Restart(false);
    int prompts = 0;
    TMainWindowPeers peers;
    peers.UnlockWindow = [&] {
        ++prompts;
        return false;
    };
    Main().SetPeers(peers);
    m_Windows->ShowAtStart();
    EXPECT_EQ(prompts, 1);
    // The fault: no window, no tray icon, no task-bar button. Now a locked, minimised window.
    EXPECT_TRUE(Main().isVisible());
    EXPECT_TRUE(Main().Locked());
    EXPECT_FALSE(Main().Pages().isVisible());
    // It says that it is locked and offers the way in, between bands that keep their heights.
    QLabel* text = Main().findChild<QLabel*>(QStringLiteral("lblLocked"));
    ASSERT_NE(text, nullptr);
    EXPECT_FALSE(text->isHidden());
    Main().showNormal();
    ProcessUntil([&] { return prompts == 2; }, 2000);
    EXPECT_EQ(prompts, 2);
    Main().resize(800, 700);
    QApplication::processEvents();
    EXPECT_EQ(Main().Caption().height(), Main().Caption().sizeHint().height());
    EXPECT_EQ(Main().Footer().height(), Main().Footer().sizeHint().height());
}

TEST_F(UfrmTessivarLayoutTest, CaptionsAreExactlyTheWindowsOwnAndNarrowDialogsAreWideEnoughToReadThem) {
    EXPECT_TRUE(QGuiApplication::applicationDisplayName().isEmpty() ||
                QGuiApplication::applicationDisplayName() == QGuiApplication::applicationName());
    EXPECT_EQ(Main().windowTitle(), QStringLiteral("Tessivar"));
    EXPECT_EQ(m_Windows->Preferences().windowTitle(), QStringLiteral("Preferences"));
    TfrmChangePassword& password = m_Windows->ChangePassword();
    EXPECT_EQ(password.windowTitle(), QStringLiteral("Change Password"));
    EXPECT_GE(password.minimumWidth(), CaptionWidth(password));
    EXPECT_GE(password.width(), CaptionWidth(password));
}

TEST_F(UfrmTessivarLayoutTest, TickingLockAccessGivesTheWindowTheHeightItsTextsNeed) {
    TfrmLockAccess& window = m_Windows->LockAccess();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.findChild<QCheckBox*>(QStringLiteral("chkbxLockAccess"))->setChecked(true);
    QApplication::processEvents();
    for (QLabel* label : window.findChildren<QLabel*>()) {
        if (!label->isVisible())
            continue;
        const int needed = label->wordWrap() ? label->heightForWidth(label->width()) : label->sizeHint().height();
        EXPECT_GE(label->height(), needed) << label->text().toStdString();
    }
    window.hide();
}

TEST_F(UfrmTessivarLayoutTest, ColumnWidthsAndThePreviewHeightAreRememberedWithTheRectangle) {
    SetUpAccount();
    WritePreferences([] {
        TTessivarPreferences preferences;
        preferences.StartupRememberPosition = true;
        return preferences;
    }());
    Restart();
    Main().OpenMainWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Main()));
    TTessivarGridView& list = Main().Pages().View(TTessivarPages::PendingMailPage, TTessivarPages::BlockedMailPage);
    list.horizontalHeader()->resizeSection(TEmailGrid::FromColumn, 333);
    // The user closes the preview.
    Main().Pages().PreviewSplitter().setSizes({300, 0});
    Main().close();
    Restart();
    TTessivarGridView& again = Main().Pages().View(TTessivarPages::PendingMailPage, TTessivarPages::BlockedMailPage);
    EXPECT_EQ(again.horizontalHeader()->sectionSize(TEmailGrid::FromColumn), 333);
    EXPECT_EQ(Main().Pages().PreviewSplitter().sizes().value(1), 0);
}

TEST_F(UfrmTessivarLayoutTest, AScreenReaderFindsTheWindowTheListsAndTheFootersText) {
    QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&Main());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->role(), QAccessible::Window);
    EXPECT_EQ(window->text(QAccessible::Name), QStringLiteral("Tessivar"));
    // The footer's text is a label a reader reads, not only paint.
    Model().AddLogItem("Checked 3 messages.", 0);
    QAccessibleInterface* footer = QAccessible::queryAccessibleInterface(
        const_cast<QLabel*>(&Main().Footer().TextLabel()));
    ASSERT_NE(footer, nullptr);
    EXPECT_EQ(footer->role(), QAccessible::StaticText);
    EXPECT_EQ(footer->text(QAccessible::Name), QStringLiteral("Checked 3 messages."));
    // Lists carry their pages' names, and the state column says what its icon means.
    EXPECT_EQ(Main().Pages().View(TTessivarPages::PendingMailPage, TTessivarPages::AwaitingAuthorizationPage)
                  .accessibleName(),
              QStringLiteral("Mail Awaiting Authorization"));
    EXPECT_EQ(Main().Views().ActivityLog().data(Main().Views().ActivityLog().index(0, 0), Qt::AccessibleTextRole),
              QStringLiteral("Information"));
    EXPECT_EQ(Main().Caption().CloseButton().accessibleName(), QStringLiteral("Close"));
}

TEST(OpenInWebBrowser, WithoutABrowserTheUserIsToldTheAddressToOpen) {
    TMessageBox::TakeAsked();
    TMessageBox::PresetAnswer(QMessageBox::Ok);
    EXPECT_FALSE(OpenInWebBrowser(nullptr, QStringLiteral("http://127.0.0.1:1/help/index.html"),
                                  [](const QString&) { return false; }));
    const auto asked = TMessageBox::TakeAsked();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_TRUE(asked[0].Text.contains(QStringLiteral("http://127.0.0.1:1/help/index.html")));
    EXPECT_TRUE(OpenInWebBrowser(nullptr, QStringLiteral("http://x/"), [](const QString&) { return true; }));
    EXPECT_TRUE(TMessageBox::TakeAsked().empty());
}

TEST_F(UfrmTessivarLayoutTest, OpenOnTheDesktopsNotificationShowsTheMailAwaitingAuthorization) {
    SetUpAccount();
    Main().Pages().setCurrentIndex(TTessivarPages::CurrentActivityPage);
    emit m_Windows->Notification().OpenRequested();
    EXPECT_TRUE(Main().isVisible());
    EXPECT_EQ(Main().Pages().currentIndex(), int(TTessivarPages::PendingMailPage));
    EXPECT_EQ(Main().Pages().PendingTabs().currentIndex(), int(TTessivarPages::AwaitingAuthorizationPage));
}

TEST_F(UfrmTessivarLayoutTest, SelectingHeldMailShowsItInThePreviewAndTheFindFieldNarrowsTheLists) {
    TTessivarAccount& account = Model().AddAccount("me@example.test", "me", "pop.example.test", 110);
    Model().InsertEmail(account, "<1@far.example>", {"From: Ann <ann@far.example>", "Subject: Quarterly report", "",
                                                     "The figures are attached."},
                        Now(), "Quarterly report", "ann@far.example", "Ann", "me@example.test", "");
    Model().InsertEmail(account, "<2@near.example>", {"From: bob@near.example", "Subject: Lunch", "", "Noon?"}, Now(),
                        "Lunch", "bob@near.example", "", "me@example.test", "");
    Settle();
    TTessivarPages& pages = Main().Pages();
    pages.SelectAwaitingAuthorization();
    TEmailGrid& held = Main().Views().AwaitingAuthorization();
    pages.FindField().setText(QStringLiteral("QUARTERLY"));
    ASSERT_EQ(held.rowCount(), 1);
    held.SetSelectedIndex(0);
    EXPECT_TRUE(pages.Preview().HeaderText().contains(QStringLiteral("Subject: Quarterly report")));
    EXPECT_TRUE(pages.Preview().BodyText().startsWith(QStringLiteral("The figures are attached.")));
    pages.FindField().clear();
    EXPECT_EQ(held.rowCount(), 2);
}
