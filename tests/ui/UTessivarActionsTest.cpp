#include "ui/UTessivarActions.h"

#include "ui/UMessageBox.h"

#include "tests/ui/ViewsFixture.h"

namespace {

class UTessivarActionsTest : public TViewsTest {
protected:
    // Selects the row of the list whose subject is given.
    static void Select(TEmailGrid& list, const std::string& subject) {
        for (int row = 0; row < list.rowCount(); ++row)
            if (list.Rows(row).Subject() == subject)
                return list.SetSelectedIndex(row);
        FAIL() << subject << " is not in the list";
    }
};

} // namespace

TEST_F(UTessivarActionsTest, DecisionsOnMailReachTheModelInOneChange) {
    Insert("a@one.example", "a1");
    Insert("a@one.example", "a2");
    Insert("b@one.example", "b1");
    Insert("c@two.example", "c1");
    Insert("d@two.example", "d1");
    Insert("e@three.example", "e1");
    TEmailGrid& waiting = m_Views->AwaitingAuthorization();

    Select(waiting, "a1");
    m_Changes = 0;
    ApproveEmail(waiting, TDecisionScope::BySender);
    EXPECT_EQ(m_Changes, 1);
    EXPECT_TRUE(Sender("a@one.example").IsApproved());
    EXPECT_EQ(Subjects(m_Views->AwaitingDelivery()), (std::vector<std::string>{"a1", "a2"}));
    EXPECT_EQ(Cell("SELECT ApprovalStatus FROM EmailAddresses WHERE Username = 'a'"), "A");

    // By domain: the other mail of the domain follows unless blocked once or from a blocked sender.
    Select(m_Views->AwaitingDelivery(), "a2");
    BlockEmail(m_Views->AwaitingDelivery(), TDecisionScope::OnceOnly);
    Select(waiting, "c1");
    BlockEmail(waiting, TDecisionScope::BySender);
    EXPECT_TRUE(Sender("c@two.example").IsBlocked());
    Select(waiting, "b1");
    ApproveEmail(waiting, TDecisionScope::ByDomain);
    EXPECT_TRUE(Domain("one.example").IsApproved());
    EXPECT_EQ(Subjects(m_Views->AwaitingDelivery()), (std::vector<std::string>{"a1", "b1"}));

    Select(waiting, "d1");
    BlockEmail(waiting, TDecisionScope::ByDomain);
    EXPECT_TRUE(Domain("two.example").IsBlocked());
    TEmailGrid& blocked = m_Views->BlockedMail();
    EXPECT_EQ(Subjects(blocked), (std::vector<std::string>{"a2", "c1", "d1"}));
    Select(blocked, "a2");
    ApproveEmail(blocked, TDecisionScope::OnceOnly);
    EXPECT_TRUE(Model().Emails(1).IsApprovedOnce());
    EXPECT_EQ(Cell("SELECT ApprovalStatus FROM Emails WHERE Subject = 'a2'"), "A");

    Select(waiting, "e1");
    DeleteEmail(waiting);
    EXPECT_TRUE(Model().Emails(5).Deleted());
    EXPECT_EQ(waiting.rowCount(), 0);
    EXPECT_EQ(Cell("SELECT Deleted FROM Emails WHERE Subject = 'e1'"), "1");

    // Without a selected row nothing happens.
    blocked.SetSelectedIndex(-1);
    m_Changes = 0;
    for (auto scope : {TDecisionScope::OnceOnly, TDecisionScope::BySender, TDecisionScope::ByDomain}) {
        ApproveEmail(blocked, scope);
        BlockEmail(blocked, scope);
    }
    DeleteEmail(blocked);
    EXPECT_EQ(m_Changes, 0);
    EXPECT_EQ(blocked.rowCount(), 2);
}

TEST_F(UTessivarActionsTest, DeleteAllAsksFirstAndNoChangesNothing) {
    for (const char* subject : {"x1", "x2", "x3"})
        Insert("spam@spam.example", subject);
    Sender("spam@spam.example").Block();
    TEmailGrid& blocked = m_Views->BlockedMail();
    EXPECT_TRUE(DeleteAllEnabled(blocked));

    TMessageBox::PresetAnswer(QMessageBox::No);
    EXPECT_FALSE(DeleteAllEmails(blocked, nullptr));
    const auto asked = TMessageBox::TakeAsked();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].Title, QStringLiteral("Confirm Delete All"));
    EXPECT_EQ(asked[0].Text, QStringLiteral("Are you sure you want to delete all of your blocked mail?"));
    EXPECT_EQ(asked[0].Icon, QMessageBox::Question);
    EXPECT_EQ(asked[0].Buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(blocked.rowCount(), 3);

    m_Changes = 0;
    TMessageBox::PresetAnswer(QMessageBox::Yes);
    EXPECT_TRUE(DeleteAllEmails(blocked, nullptr));
    TMessageBox::TakeAsked();
    EXPECT_EQ(m_Changes, 1);
    EXPECT_EQ(blocked.rowCount(), 0);
    EXPECT_FALSE(DeleteAllEnabled(blocked));
    EXPECT_EQ(Count("Emails WHERE Deleted = 1"), 3);
}

TEST_F(UTessivarActionsTest, SendersAndDomainNamesToggleAndDelete) {
    Insert("pal@pals.example");
    Sender("pal@pals.example").Approve();
    TEmailAddressGrid& senders = m_Views->Senders();
    senders.SetSelectedIndex(0);
    EXPECT_EQ(ToggleCaption(senders), QStringLiteral("Block"));
    ToggleEmailAddress(senders);
    EXPECT_TRUE(Sender("pal@pals.example").IsBlocked());
    EXPECT_EQ(ToggleCaption(senders), QStringLiteral("Approve"));
    EXPECT_EQ(Subjects(m_Views->BlockedMail()), std::vector<std::string>{"Greetings"});
    ToggleEmailAddress(senders);
    EXPECT_TRUE(Sender("pal@pals.example").IsApproved());
    DeleteEmailAddress(senders);
    EXPECT_TRUE(Sender("pal@pals.example").Deleted());
    EXPECT_EQ(senders.rowCount(), 0);
    EXPECT_EQ(ToggleCaption(senders), QStringLiteral("Approve"));

    Domain("pals.example").Block();
    TDomainNameGrid& domains = m_Views->DomainNames();
    domains.SetSelectedIndex(0);
    ToggleDomainName(domains);
    EXPECT_TRUE(Domain("pals.example").IsApproved());
    EXPECT_EQ(ToggleCaption(domains), QStringLiteral("Block"));
    ToggleDomainName(domains);
    EXPECT_TRUE(Domain("pals.example").IsBlocked());
    DeleteDomainName(domains);
    EXPECT_TRUE(Domain("pals.example").Deleted());
    EXPECT_EQ(domains.rowCount(), 0);
    EXPECT_EQ(Cell("SELECT Deleted FROM DomainNames WHERE DomainName = 'pals.example'"), "1");
}
