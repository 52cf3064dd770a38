#include "ui/UDesktopNotifications.h"
#include "ui/UfrmNotification.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

using TState = TfrmNotification::TSlideState;

class NotificationTest : public testing::Test {
protected:
    void SetUp() override {
        m_Window.SetPlacesItself(true);
        m_Window.SetPanelSource([this] { return m_Panel; });
    }
    // Runs ticks until the state is left or the count is used up; the ticks run.
    int TickWhile(TState state, int most = 1000) {
        int ticks = 0;
        while (m_Window.SlideState() == state && ticks < most) {
            m_Window.tmrNotificationTimer();
            ++ticks;
        }
        return ticks;
    }

    TDesktopPanel m_Panel{QRect(0, 760, 1280, 40), TDesktopPanel::Bottom};
    TfrmNotification m_Window;
};

} // namespace

// Against a bottom panel the window grows upwards from the panel's top edge, 16 pixels a tick,
// right-aligned with the panel, to just the height of a short text.
TEST_F(NotificationTest, GrowsUpFromABottomPanelToTheTextsHeight) {
    m_Window.ShowNotification(QStringLiteral("You have new mail awaiting authorization."), 5000);
    EXPECT_TRUE(m_Window.NotificationTimer().isActive());
    EXPECT_EQ(m_Window.NotificationTimer().interval(), 100);
    const int full = m_Window.FullHeight();
    ASSERT_GT(full, 16);
    EXPECT_LT(full, 216);

    m_Window.tmrNotificationTimer();
    EXPECT_EQ(m_Window.geometry(), QRect(1280 - 160, 760 - 16, 160, 16));
    EXPECT_TRUE(m_Window.isVisible());
    EXPECT_FALSE(m_Window.isActiveWindow());
    m_Window.tmrNotificationTimer();
    EXPECT_EQ(m_Window.geometry(), QRect(1120, 760 - 32, 160, 32));

    TickWhile(TState::Growing);
    EXPECT_EQ(m_Window.SlideState(), TState::Showing);
    EXPECT_EQ(m_Window.geometry(), QRect(1120, 760 - full, 160, full));
}

TEST_F(NotificationTest, HangsDownFromATopPanel) {
    m_Panel = {QRect(0, 0, 1024, 28), TDesktopPanel::Top};
    m_Window.ShowNotification(QStringLiteral("New mail"), 5000);
    m_Window.tmrNotificationTimer();
    EXPECT_EQ(m_Window.geometry(), QRect(1024 - 160, 28, 160, 16));
    TickWhile(TState::Growing);
    EXPECT_EQ(m_Window.geometry(), QRect(1024 - 160, 28, 160, m_Window.FullHeight()));
}

// Shown for 5000 ms: the 51st tick of the Showing state starts the shrinking, which goes by 16
// pixels a tick until the window is 6 pixels or less and is hidden with its timer stopped.
TEST_F(NotificationTest, StaysForTheDurationThenShrinksAwayAndStops) {
    m_Window.ShowNotification(QStringLiteral("New mail"), 5000);
    TickWhile(TState::Growing);
    EXPECT_EQ(TickWhile(TState::Showing), 51);
    EXPECT_EQ(m_Window.SlideState(), TState::Shrinking);
    const int full = m_Window.FullHeight();
    m_Window.tmrNotificationTimer();
    EXPECT_EQ(m_Window.geometry(), QRect(1120, 760 - (full - 16), 160, full - 16));
    TickWhile(TState::Shrinking);
    EXPECT_EQ(m_Window.SlideState(), TState::Hidden);
    EXPECT_FALSE(m_Window.isVisible());
    EXPECT_FALSE(m_Window.NotificationTimer().isActive());
    EXPECT_EQ(m_Window.CurrentHeight(), 0);
}

// A second notification while the first shows changes the text and restarts the whole duration
// from the current height.
TEST_F(NotificationTest, ASecondNotificationRestartsTheFullDuration) {
    m_Window.ShowNotification(QStringLiteral("First"), 5000);
    TickWhile(TState::Growing);
    TickWhile(TState::Showing, 40);
    ASSERT_EQ(m_Window.SlideState(), TState::Showing);
    const int height = m_Window.CurrentHeight();

    m_Window.ShowNotification(QStringLiteral("Second"), 5000);
    EXPECT_EQ(m_Window.SlideState(), TState::Growing);
    EXPECT_EQ(m_Window.RemainingTime(), 5000);
    m_Window.tmrNotificationTimer();
    EXPECT_EQ(m_Window.SlideState(), TState::Showing);
    EXPECT_EQ(m_Window.CurrentHeight(), height);
    EXPECT_EQ(TickWhile(TState::Showing), 51);

    // Restarted while shrinking, it grows again from where it was.
    TickWhile(TState::Shrinking, 1);
    const int shrunk = m_Window.CurrentHeight();
    m_Window.ShowNotification(QStringLiteral("Third"), 5000);
    m_Window.tmrNotificationTimer();
    EXPECT_EQ(m_Window.CurrentHeight(), std::min(shrunk + 16, m_Window.FullHeight()));
}

TEST_F(NotificationTest, LongTextGrowsToItsFullHeight) {
    m_Window.ShowNotification(QString(QStringLiteral("word ")).repeated(80), 1000);
    TickWhile(TState::Growing);
    EXPECT_GT(m_Window.CurrentHeight(), 100);
    EXPECT_EQ(m_Window.CurrentHeight(), m_Window.FullHeight());
}

// Where the window cannot be placed, the text goes elsewhere and the window stays hidden.
TEST_F(NotificationTest, WithoutPlacingItsWindowTheTextGoesToTheTrayWhenNoServiceAnswers) {
    QString shown;
    int duration = 0;
    m_Window.SetTrayMessage([&](const QString& text, int milliseconds) {
        shown = text;
        duration = milliseconds;
    });
    m_Window.SetPlacesItself(false);
    const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tessivar-bus");
    m_Window.ShowNotification(QStringLiteral("New mail"), 5000);
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
    EXPECT_EQ(shown, QStringLiteral("New mail"));
    EXPECT_EQ(duration, 5000);
    EXPECT_FALSE(m_Window.isVisible());
    EXPECT_FALSE(m_Window.NotificationTimer().isActive());
}

TEST_F(NotificationTest, ClosingTheAnchorWindowAsksToEndTheProgram) {
    QSignalSpy ends(&m_Window, &TfrmNotification::ProgramEndRequested);
    m_Window.show();
    m_Window.close();
    EXPECT_EQ(ends.count(), 1);
}

namespace {

// The desktop's notification service as a test sets it up.
class TFakeDesktopNotifications : public IDesktopNotifications {
public:
    bool OffersActions() override { return Actions; }
    uint Notify(const QString& text, int milliseconds, bool open) override {
        Sent.push_back({text, milliseconds, open});
        return Answering ? ++LastId : 0;
    }
    struct TSent {
        QString Text;
        int Milliseconds;
        bool Open;
    };
    bool Actions = true;
    bool Answering = true;
    uint LastId = 40;
    std::vector<TSent> Sent;
};

} // namespace

// Where the desktop's service offers actions, the announcement goes there with "Open", and only
// "Open" (or a click) on that very notification asks for the window; the own window stays down.
TEST_F(NotificationTest, ADesktopThatOffersActionsGetsTheNotificationWithOpen) {
    auto desktop = std::make_unique<TFakeDesktopNotifications>();
    TFakeDesktopNotifications& fake = *desktop;
    m_Window.SetDesktopNotifications(std::move(desktop));
    QSignalSpy opened(&m_Window, &TfrmNotification::OpenRequested);
    m_Window.ShowNotification(QStringLiteral("There are 3 emails waiting for authorization."), 5000);
    ASSERT_EQ(fake.Sent.size(), 1u);
    EXPECT_TRUE(fake.Sent[0].Open);
    EXPECT_EQ(fake.Sent[0].Milliseconds, 5000);
    EXPECT_EQ(m_Window.SlideState(), TState::Hidden);
    EXPECT_FALSE(m_Window.NotificationTimer().isActive());
    emit fake.ActionInvoked(7, QStringLiteral("open")); // another program's notification
    emit fake.ActionInvoked(fake.LastId, QStringLiteral("dismiss"));
    EXPECT_EQ(opened.count(), 0);
    emit fake.ActionInvoked(fake.LastId, QStringLiteral("open"));
    EXPECT_EQ(opened.count(), 1);
}

// Without actions, or when the service fails, the window of its own slides out as before.
TEST_F(NotificationTest, WithoutActionsTheOwnWindowStaysTheFallback) {
    auto desktop = std::make_unique<TFakeDesktopNotifications>();
    TFakeDesktopNotifications& fake = *desktop;
    fake.Actions = false;
    m_Window.SetDesktopNotifications(std::move(desktop));
    m_Window.ShowNotification(QStringLiteral("There are 2 emails waiting for authorization."), 5000);
    EXPECT_TRUE(fake.Sent.empty());
    EXPECT_EQ(m_Window.SlideState(), TState::Growing);
    fake.Actions = true;
    fake.Answering = false;
    m_Window.ShowNotification(QStringLiteral("There are 3 emails waiting for authorization."), 5000);
    EXPECT_EQ(fake.Sent.size(), 1u);
    EXPECT_EQ(m_Window.SlideState(), TState::Growing);
}
