// The main window's life: start, tray menu and clicks, the footer, locking, closing, threaded calls
// served while a modal window is open, and the stop.

#include "core/USQLite.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "core/UTessivarLogItem.h"
#include "core/UThreadedCalls.h"
#include "service/UTessivarSynchronizationRetry.h"
#include "tests/base/TraceCapture.h"
#include "tests/ui/MainWindowFixture.h"
#include "ui/UTessivarWebPages.h"
#include "ui/UfrmSetupWizard.h"
#include "ui/UMessageBox.h"
#include "ui/UTessivarFrame.h"
#include "ui/UTessivarLists.h"
#include "ui/UTessivarPages.h"
#include "ui/UTessivarTray.h"

#include <QAction>
#include <QPushButton>
#include <QDialog>
#include <QSignalSpy>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

namespace {

std::vector<std::string> Details(const TLogItemGrid& grid) {
    std::vector<std::string> details;
    for (TTessivarLogItem* item : grid.Records())
        details.push_back(item->Details());
    return details;
}

} // namespace

TEST_F(TMainWindowTest, StartsInTheTrayWithTheStartShownInTheListsAndTheFooter) {
    EXPECT_FALSE(Main().isVisible());
    // At least the window's own minimum; more where its pages need it to show every button whole.
    EXPECT_GE(Main().minimumWidth(), 596);
    EXPECT_GE(Main().minimumHeight(), 370);
    const auto details = Details(Main().Views().ActivityLog());
    for (const char* expected : {"Starting up...", "Startup complete."})
        EXPECT_NE(std::find(details.begin(), details.end(), expected), details.end()) << expected;
    EXPECT_EQ(Main().Footer().Text(), QStringLiteral("Startup complete."));
    EXPECT_TRUE(Main().StatusTextTimer().isActive());
    EXPECT_EQ(Main().StatusTextTimer().interval(), 3000);
    EXPECT_EQ(Main().ServerSyncTimer().interval(), 5000);
    EXPECT_EQ(Main().Tray().OpenAction().text(), QStringLiteral("Open"));
    EXPECT_TRUE(Main().Tray().ExitAction().isVisible());
    EXPECT_EQ(Main().Tray().ExitAction().text(), QStringLiteral("E&xit"));
    EXPECT_EQ(VersionCaption(), QStringLiteral("v01.02"));
    // No mail awaits authorization, so the first refresh stopped the animation on the resting frame.
    EXPECT_FALSE(Main().Tray().Animating());
    EXPECT_EQ(Main().Tray().Frame(), 1);
    EXPECT_EQ(Main().Pages().currentIndex(), int(TTessivarPages::PendingMailPage));
    EXPECT_EQ(Main().Pages().PendingTabs().currentIndex(), int(TTessivarPages::AwaitingDeliveryPage));
    EXPECT_EQ(Main().Pages().PendingTabs().tabText(1), QStringLiteral("Mail Awaiting Authorization"));
    EXPECT_EQ(Main().Pages().tabText(0), QStringLiteral("Pending\nMail"));
}

TEST_F(TMainWindowTest, WithoutAnAccountOpeningLeadsToTheSetupWizardAgainAndAgain) {
    ASSERT_TRUE(Model().SetupRequired());
    QWidget& wizard = m_Windows->SetupWizard();
    m_Windows->ShowAtStart();
    EXPECT_TRUE(wizard.isVisible());
    EXPECT_FALSE(Main().isVisible());
    wizard.hide();
    // "Open" in the tray menu leads to the wizard again.
    Main().Tray().OpenAction().trigger();
    EXPECT_TRUE(wizard.isVisible());
    EXPECT_FALSE(Main().isVisible());
    wizard.hide();
}

TEST_F(TMainWindowTest, TheFooterKeepsTheLatestItemForThreeSecondsThenGoesBlank) {
    Model().AddLogItem("first", 0);
    ProcessUntil([] { return false; }, 1200);
    Model().AddLogItem("second went wrong", 1);
    EXPECT_EQ(Main().Footer().Text(), QStringLiteral("second went wrong"));
    EXPECT_EQ(Main().Footer().Kind(), 1);
    // Restarted by the second item: the three seconds count from it (from the first, at most 1.8 s
    // would be left).
    EXPECT_GT(Main().StatusTextTimer().remainingTime(), 2200);
    ASSERT_TRUE(ProcessUntil([this] { return Main().Footer().Text().isEmpty(); }, 5000));
    EXPECT_EQ(Main().Footer().Kind(), -1);
    EXPECT_FALSE(Main().StatusTextTimer().isActive());
}

TEST_F(TMainWindowTest, TrayClicksASingleClickWaitsForTheDoubleClickTimeADoubleClickOpens) {
    Model().SetUsername("me@example.test");
    Model().SetPassword("secret");
    TTessivarTray& tray = Main().Tray();
    tray.LeftButtonReleased(QPoint(300, 5));
    EXPECT_TRUE(tray.LeftClickTimer().isActive());
    EXPECT_EQ(tray.PopupPoint(), QPoint(300, 5));
    // The second press of a double click: the menu never comes, the window opens.
    tray.LeftButtonDoubleClicked();
    EXPECT_FALSE(tray.LeftClickTimer().isActive());
    EXPECT_TRUE(Main().isVisible());
    // The release that ends the double click starts no timer.
    tray.LeftButtonReleased(QPoint(300, 5));
    EXPECT_FALSE(tray.LeftClickTimer().isActive());
    // A later single click does.
    tray.LeftButtonReleased(QPoint(310, 5));
    EXPECT_TRUE(tray.LeftClickTimer().isActive());
    ASSERT_TRUE(ProcessUntil([&tray] { return tray.Menu().isVisible(); }, 3000));
    tray.Menu().hide();
    // A right click pops the menu up at once.
    tray.RightButtonReleased(QPoint(320, 5));
    EXPECT_TRUE(tray.Menu().isVisible());
    tray.Menu().hide();
}

TEST_F(TMainWindowTest, WithTheLockOnClosingLocksAndOnlyTheRightPasswordOpensAgain) {
    Model().SetUsername("me@example.test");
    Model().SetPassword("secret");
    Main().OpenMainWindow();
    ASSERT_TRUE(Main().isVisible());
    Model().SetLockAccess(true);
    Model().SetUnlockPassword("open sesame");
    // Turning the lock on does not lock an open window; closing it does.
    EXPECT_FALSE(Main().Locked());
    Main().close();
    EXPECT_FALSE(Main().isVisible());
    EXPECT_TRUE(Main().Locked());
    EXPECT_EQ(Main().Tray().OpenAction().text(), QStringLiteral("Unlock"));
    EXPECT_FALSE(Main().Tray().ExitAction().isVisible());

    int prompts = 0;
    bool answer = false;
    TMainWindowPeers peers;
    peers.UnlockWindow = [&] {
        ++prompts;
        // A second "Unlock" while the unlock window is up asks nothing more.
        Main().OpenMainWindow();
        return answer;
    };
    Main().SetPeers(peers);
    Main().OpenMainWindow();
    EXPECT_EQ(prompts, 1);
    EXPECT_FALSE(Main().isVisible());
    EXPECT_TRUE(Main().Locked());
    EXPECT_EQ(Main().Tray().OpenAction().text(), QStringLiteral("Unlock"));

    answer = true;
    Main().OpenMainWindow();
    EXPECT_EQ(prompts, 2);
    EXPECT_TRUE(Main().isVisible());
    EXPECT_FALSE(Main().Locked());
    EXPECT_EQ(Main().Tray().OpenAction().text(), QStringLiteral("Open"));
    EXPECT_TRUE(Main().Tray().ExitAction().isVisible());
}

TEST_F(TMainWindowTest, ClosingHidesAndWritesTheRectangleInDebugModeItEndsTheProgram) {
    Model().SetUsername("me@example.test");
    Model().SetPassword("secret");
    QSignalSpy exits(&Main(), &TfrmTessivar::ExitRequested);
    Main().OpenMainWindow();
    Main().close();
    EXPECT_FALSE(Main().isVisible());
    EXPECT_EQ(exits.count(), 0);
    std::ifstream registry(m_Dir + "HKEY_CURRENT_USER.reg");
    const std::string text((std::istreambuf_iterator<char>(registry)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\"StartupRememberPositionWidth\"=dword:"), std::string::npos) << text;

    TTraceCapture debugMode;
    Main().OpenMainWindow();
    Main().close();
    EXPECT_FALSE(Main().isVisible());
    EXPECT_EQ(exits.count(), 1);
}

TEST_F(TMainWindowTest, WorkersAreServedWhileAModalWindowIsOpenAndStoppingRefusesThem) {
    TTessivarAccount& account = Model().AddAccount("me@example.test", "me", "pop.example.test", 110);
    Main().Preferences().NewMessageAnimateTrayIcon = true;
    Main().PreferencesChanged();
    std::atomic<bool> stored{false};
    std::thread worker;
    QDialog dialog;
    // The modal window's own event loop must serve the worker's call; it closes once the mail shows.
    QTimer::singleShot(0, &dialog, [&] {
        worker = std::thread([&] {
            stored = InsertEmail(Model(), account, "<1@example.com>", {"From: a@b.example", "", "Hi"}, Now(), "Hi",
                                 "a@b.example", "", "me@example.test", "") != nullptr;
        });
    });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &dialog, [&] {
        if (Main().Views().AwaitingAuthorization().rowCount() == 1)
            dialog.accept();
    });
    poll.start(10);
    QTimer::singleShot(10000, &dialog, &QDialog::reject);
    EXPECT_EQ(dialog.exec(), QDialog::Accepted);
    worker.join();
    EXPECT_TRUE(stored);
    // New mail awaits a decision: the tray animates.
    EXPECT_TRUE(Main().Tray().Animating());

    EXPECT_TRUE(Main().Stop());
    EXPECT_EQ(Main().Views().AwaitingAuthorization().rowCount(), 0);
    // After the stop a worker's call returns at once, unrun.
    std::thread late([&] {
        stored = InsertEmail(Model(), account, "<2@example.com>", {"From: a@b.example", "", "Hi"}, Now(), "Hi",
                             "a@b.example", "", "me@example.test", "") != nullptr;
    });
    late.join();
    EXPECT_FALSE(stored);
}

TEST_F(TMainWindowTest, ACommandOfTheAccountPageThatIsNotKnownIsAnAlert) {
    TMessageBox::PresetAnswer(QMessageBox::Ok);
    m_Windows->ExecuteCommand("reload");
    const auto asked = TMessageBox::TakeAsked();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].Text, QStringLiteral("Unknown Command: reload"));
    EXPECT_EQ(asked[0].Title, QStringLiteral("Alert"));
    EXPECT_EQ(asked[0].Icon, QMessageBox::Information);
}

// With windows as without: a synchronisation that fails while a sender waits to be challenged is
// tried again a minute later, and the next failure waits twice as long.
TEST_F(TMainWindowTest, AFailedSynchronizationIsTriedAgainWhileASenderWaitsInTheQueue) {
    Model().SetUsername("me@example.com");
    Model().SetPassword("secret");
    Model().Database().Insert(
        "EmailAddressesRequiringAuthorization",
        {"FromEmailAddress", "FromDisplayName", "ToEmailAddress", "ToDisplayName", "Subject", "Received", "SyncID"},
        {"stranger@example.org", "", "me@example.com", "", "Hello", TSQLValue::DateTime(46000.5), -1});
    ASSERT_NE(Main().SyncRetry(), nullptr);
    EXPECT_FALSE(Main().SyncRetry()->Armed());
    Model().Synchronize(true); // the service's port refuses
    ASSERT_TRUE(ProcessUntil([&] { return Main().SyncRetry()->Armed(); }));
    EXPECT_EQ(Main().SyncRetry()->NextDelay(), std::chrono::minutes(2));
}

TEST(InPageCommand, OnlyTheProgramsOwnSchemeAsWrittenIsACommandWithoutItsQuery) {
    EXPECT_EQ(InPageCommand("tessivar:changepreferences?x=1"), std::optional<std::string>("changepreferences"));
    EXPECT_EQ(InPageCommand("tessivar:ChangePassword"), std::optional<std::string>("ChangePassword"));
    EXPECT_EQ(InPageCommand("TESSIVAR:changepassword"), std::nullopt);
    EXPECT_EQ(InPageCommand("https://example.com/tessivar:x"), std::nullopt);
    EXPECT_EQ(InPageCommand("tessivar:"), std::optional<std::string>(""));
}

TEST_F(TMainWindowTest, WithoutANotificationAreaTheWindowIsShownAndClosingMinimisesIt) {
    Main().Stop();
    m_Windows.reset();
    m_Windows = std::make_unique<TTessivarWindows>(*m_Loop, false);
    Main().FormCreate();
    Model().SetUsername("me@example.test");
    Model().SetPassword("secret");
    m_Windows->ShowAtStart();
    EXPECT_TRUE(Main().isVisible());
    // Without the tray's menu, the caption offers the way out.
    EXPECT_FALSE(Main().Caption().ExitButton().isHidden());
    Model().SetLockAccess(true);
    Model().SetUnlockPassword("open sesame");
    Main().close();
    // Still on the task bar, locked, and nothing of the mail on show.
    EXPECT_TRUE(Main().isVisible());
    EXPECT_TRUE(Main().isMinimized());
    EXPECT_TRUE(Main().Locked());
    EXPECT_FALSE(Main().Pages().isVisible());
    EXPECT_TRUE(Main().Caption().ExitButton().isHidden());
}

TEST_F(TMainWindowTest, ButtonsFollowTheSelectionAndTheToggleReadsBlockForAnApprovedRecord) {
    TTessivarPages& pages = Main().Pages();
    TTessivarAccount& account = Model().AddAccount("me@example.test", "me", "pop.example.test", 110);
    Model().InsertEmail(account, "<1@far.example>", {"From: a@far.example", "", "Hi"}, Now(), "Hi", "a@far.example",
                        "", "me@example.test", "");
    Model().FindEmailAddress("a@far.example")->Approve();
    Settle();
    QPushButton* bySender = pages.Button(QStringLiteral("AwaitingDeliveryBlockBySender"));
    QPushButton* deleteAll = pages.Button(QStringLiteral("BlockedMailDeleteAll"));
    QPushButton* toggle = pages.Button(QStringLiteral("SendersToggle"));
    ASSERT_TRUE(bySender && deleteAll && toggle);
    EXPECT_FALSE(bySender->isEnabled());
    EXPECT_FALSE(deleteAll->isEnabled());
    EXPECT_FALSE(toggle->isEnabled());
    ASSERT_NE(pages.Button(QStringLiteral("SendersImport")), nullptr);
    EXPECT_TRUE(pages.Button(QStringLiteral("SendersImport"))->isEnabled());

    Main().Views().AwaitingDelivery().SetSelectedIndex(0);
    EXPECT_TRUE(bySender->isEnabled());
    Main().Views().Senders().SetSelectedIndex(0);
    EXPECT_TRUE(toggle->isEnabled());
    EXPECT_EQ(toggle->text(), QStringLiteral("Block"));
    // Blocking the sender moves the mail to the blocked list, where "Delete All" then has work.
    toggle->click();
    Settle();
    EXPECT_EQ(toggle->text(), QStringLiteral("Approve"));
    EXPECT_EQ(Main().Views().BlockedMail().rowCount(), 1);
    EXPECT_TRUE(deleteAll->isEnabled());
}

// Mail arriving faster than the lists are rebuilt is shown by refreshes put off while it keeps
// coming; once it stops, every message is listed in the list's order soon, with nothing put off left.
TEST_F(TMainWindowTest, MailArrivingInABurstIsListedWholeSoonAfterItStops) {
    TTessivarAccount& account = Model().AddAccount("me@example.test", "me", "pop.example.test", 110);
    Settle();
    TEmailGrid& awaiting = Main().Views().AwaitingAuthorization();
    constexpr int Count = 40;
    QElapsedTimer clock;
    for (int i = 0; i < Count; ++i) {
        Model().InsertEmail(account, "<" + std::to_string(i) + "@far.example>",
                            {"From: a" + std::to_string(i) + "@far.example", "", "Hi"},
                            EncodeDateTime(2026, 1, 1, 0, 0, 0) + i / 1440.0, "Hi " + std::to_string(i),
                            "a" + std::to_string(i) + "@far.example", "", "me@example.test", "");
        // A pass stores several messages between two turns of the event loop.
        if (i % 5 == 4) {
            clock.start();
            ProcessUntil([] { return false; }, 10);
        }
    }
    Settle();
    EXPECT_LT(clock.elapsed(), 450) << "the end of the burst waited for the whole gap between refreshes";
    ASSERT_EQ(awaiting.rowCount(), Count);
    for (int row = 0; row < Count; ++row)
        EXPECT_EQ(awaiting.Rows(row).Subject(), "Hi " + std::to_string(Count - 1 - row)) << "newest first";
}
