#include "ui/UTessivarViews.h"

#include "tests/ui/ViewsFixture.h"

#include <QSignalSpy>

namespace {

class UTessivarViewsTest : public TViewsTest {};

std::vector<std::string> Addresses(const TEmailAddressGrid& grid) {
    std::vector<std::string> texts;
    for (TTessivarEmailAddress* sender : grid.Records())
        texts.push_back(sender->EmailAddress());
    return texts;
}

} // namespace

TEST_F(UTessivarViewsTest, EachRecordLandsInItsOwnList) {
    Insert("stranger@unknown.example", "waiting");
    Insert("friend@friends.example", "delivered");
    Insert("spammer@spam.example", "blocked");
    Insert("gone@unknown.example", "deleted").Delete();
    Insert("nobody@quiet.example", "quiet");
    Sender("friend@friends.example").Approve();
    Domain("spam.example").Block();
    Sender("nobody@quiet.example").SetAuthenticationStatus(TAuthenticationStatus::Authenticated);
    Sender("gone@unknown.example").Delete();

    EXPECT_EQ(Subjects(m_Views->AwaitingAuthorization()), (std::vector<std::string>{"waiting"}));
    EXPECT_EQ(Subjects(m_Views->AwaitingDelivery()), (std::vector<std::string>{"delivered", "quiet"}));
    EXPECT_EQ(Subjects(m_Views->BlockedMail()), (std::vector<std::string>{"blocked"}));
    // Senders approved, blocked or authenticated; domain names approved or blocked.
    EXPECT_EQ(Addresses(m_Views->Senders()),
              (std::vector<std::string>{"friend@friends.example", "nobody@quiet.example"}));
    EXPECT_EQ(Column(m_Views->DomainNames(), TDomainNameGrid::DomainNameColumn),
              (std::vector<std::string>{"spam.example"}));
    EXPECT_EQ(m_Views->ActivityLog().rowCount(), Model().LogItemCount());
    Model().AddLogItem("Something happened.", 1);
    EXPECT_EQ(Column(m_Views->ActivityLog(), TLogItemGrid::DetailsColumn).back(), "Something happened.");
    EXPECT_GT(m_Owner.SyncTimerStarts, 0);

    const std::string trace = Traced([&] { Sender("nobody@quiet.example").Block(); });
    EXPECT_NE(trace.find("BusinessLogic Update Completed in 00:00:"), std::string::npos) << trace;
}

// Held mail of an IMAP account is listed as any held mail; its approved mail is in its INBOX
// already and must not pile up as "awaiting delivery".
TEST_F(UTessivarViewsTest, ApprovedImapMailIsNotListedAsAwaitingDelivery) {
    TTessivarAccount& imap =
        Model().AddIMAPAccount("me@example.test", "me", "imap.example.test", 993, TIMAPSecurity::ImplicitTLS);
    const auto insert = [&](const std::string& from, const std::string& subject) {
        Model().InsertEmail(imap, "<" + subject + "@mail.example.com>", {"From: " + from, "", "Hello"},
                            EncodeDateTime(2026, 3, 4, 5, 6, 7), subject, from, "", "me@example.test", "");
    };
    insert("stranger@unknown.example", "held");
    insert("friend@friends.example", "approved");
    Sender("friend@friends.example").Approve();

    EXPECT_EQ(Subjects(m_Views->AwaitingAuthorization()), (std::vector<std::string>{"held"}));
    EXPECT_TRUE(Subjects(m_Views->AwaitingDelivery()).empty());
}

TEST_F(UTessivarViewsTest, OldBlockedMailIsDeletedForGoodButRecentStays) {
    m_Views->Preferences.AutomaticallyDeleteBlockedMail = true;
    m_Views->Preferences.AutomaticallyDeleteBlockedMailDays = 7;
    const TDateTime now = Now();
    {
        TUpdateScope<TTessivarBusinessLogic> scope(Model());
        Insert("a@spam.example", "old", now - 7 - 1.0 / 1440);
        Insert("b@spam.example", "recent", now - 6);
        Insert("c@fine.example", "old but waiting", now - 30);
        Domain("spam.example").Block();
    }
    EXPECT_EQ(Subjects(m_Views->BlockedMail()), (std::vector<std::string>{"recent"}));
    EXPECT_EQ(Subjects(m_Views->AwaitingAuthorization()), (std::vector<std::string>{"old but waiting"}));
    EXPECT_EQ(Cell("SELECT Deleted FROM Emails WHERE Subject = 'old'"), "1");
    EXPECT_EQ(Cell("SELECT Deleted FROM Emails WHERE Subject = 'recent'"), "0");

    // Switched off, nothing more goes, however old.
    m_Views->Preferences.AutomaticallyDeleteBlockedMail = false;
    Insert("d@spam.example", "ancient", now - 400);
    EXPECT_EQ(Subjects(m_Views->BlockedMail()), (std::vector<std::string>{"recent", "ancient"}));
}

TEST_F(UTessivarViewsTest, NotifiesOnlyWhenMailAwaitingAuthorizationGrows) {
    Insert("one@a.example");
    Insert("two@b.example");
    // A window created now: its first refresh finds two waiting and says nothing.
    TRecordingViewsOwner owner;
    TTessivarViews views(owner);
    views.Preferences.NewMessageNotificationWindow = true;
    views.Preferences.NewMessageNotificationSound = true;
    views.Preferences.NewMessageAnimateTrayIcon = true;
    Model().OnChange = [&](TTessivarBusinessLogic& model) { views.RefreshViews(model); };
    EXPECT_EQ(views.PreviousAwaitingCount(), -1);
    views.RefreshViews(Model());
    EXPECT_EQ(owner.Take(), std::vector<std::string>{});
    EXPECT_EQ(views.PreviousAwaitingCount(), 2);

    Insert("three@c.example");
    EXPECT_EQ(owner.Take(), (std::vector<std::string>{"notify There are 3 emails waiting for authorization. 5000",
                                                      "sound SystemAsterisk", "animate"}));
    views.RefreshViews(Model()); // the same count again
    Sender("three@c.example").Approve();
    EXPECT_EQ(owner.Take(), std::vector<std::string>{});
    EXPECT_EQ(views.PreviousAwaitingCount(), 2);

    // With every announcement off, the tray still stops once nothing waits.
    views.Preferences = TViewPreferences();
    Insert("four@d.example");
    EXPECT_EQ(owner.Take(), std::vector<std::string>{});
    {
        TUpdateScope<TTessivarBusinessLogic> scope(Model());
        for (const char* sender : {"one@a.example", "two@b.example", "four@d.example"})
            Sender(sender).Block();
    }
    EXPECT_EQ(owner.Take(), std::vector<std::string>{"stop"});
    views.Clear();
}

TEST_F(UTessivarViewsTest, SelectedRowIsKeptAndCutWhenTheListShrinks) {
    for (const char* from : {"a@x.example", "b@x.example", "c@x.example"})
        Insert(from);
    TEmailGrid& list = m_Views->AwaitingAuthorization();
    list.SetSelectedIndex(2);
    QSignalSpy selection(&list, &TTessivarGrid::SelectionChanged);
    Insert("d@x.example");
    EXPECT_EQ(list.SelectedIndex(), 2);
    EXPECT_GE(selection.count(), 1);

    Sender("a@x.example").Approve();
    Sender("b@x.example").Approve();
    EXPECT_EQ(list.rowCount(), 2);
    EXPECT_EQ(list.SelectedIndex(), 1);
    Domain("x.example").Approve();
    EXPECT_EQ(list.SelectedIndex(), -1);
    EXPECT_EQ(list.Selected(), nullptr);
}

TEST_F(UTessivarViewsTest, ChangeReportedWhileTheListsAreBuiltIsShownByAnotherRound) {
    Insert("first@x.example", "first");
    bool armed = false, inserted = false;
    // The list's selection handler runs while the refresh is still ending.
    QObject receiver;
    QObject::connect(&m_Views->AwaitingAuthorization(), &TTessivarGrid::SelectionChanged, &receiver, [&] {
        if (armed) {
            armed = false;
            inserted = true;
            Insert("late@x.example", "late");
        }
    });
    const int starts = m_Owner.SyncTimerStarts;
    armed = true;
    Sender("first@x.example").SetDisplayName("First");
    EXPECT_TRUE(inserted);
    EXPECT_EQ(Subjects(m_Views->AwaitingAuthorization()), (std::vector<std::string>{"first", "late"}));
    EXPECT_EQ(m_Owner.SyncTimerStarts, starts + 2);
}
