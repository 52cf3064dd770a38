#include "ui/UfrmDomainName.h"
#include "ui/UfrmSender.h"
#include "ui/UfrmWordFilters.h"

#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmailAddress.h"

#include "tests/core/ModelFixture.h"
#include "tests/ui/DialogDriver.h"

#include <QComboBox>
#include <QTabWidget>

namespace {

class UfrmRecordDialogsTest : public TModelTest {
protected:
    void SetUp() override {
        TModelTest::SetUp();
        Model().Load();
        m_Main.setGeometry(100, 120, 800, 600);
    }
    static void Choose(QWidget& window, const QString& approval) {
        auto& list = Child<QComboBox>(window, "cmbApproval");
        list.setCurrentIndex(list.findText(approval));
    }
    static QStringList Items(QWidget& window) {
        QStringList items;
        auto& list = Child<QComboBox>(window, "cmbApproval");
        for (int i = 0; i < list.count(); ++i)
            items << list.itemText(i);
        return items;
    }

    QWidget m_Main;
};

} // namespace

TEST_F(UfrmRecordDialogsTest, NewDomainNameOfAnExistingNameChangesThatRecord) {
    TTessivarDomainName& existing = Model().AddDomainName("example.com");
    const int count = Model().DomainNameCount();
    TfrmDomainName window;
    QPoint placed;
    QSize size;
    WhenShown(window, {[&] {
                  EXPECT_EQ(window.windowTitle(), "New Domain Name");
                  EXPECT_EQ(Child<QLineEdit>(window, "edtDomainName").text(), "");
                  EXPECT_EQ(Child<QComboBox>(window, "cmbApproval").currentText(), "Approved");
                  EXPECT_EQ(Items(window), (QStringList{"Approved", "Blocked"}));
                  EXPECT_EQ(window.focusWidget(), &Child<QLineEdit>(window, "edtDomainName"));
                  placed = window.frameGeometry().topLeft();
                  size = window.size(); // the frame is not known before the first showing
                  Type(window, "edtDomainName", "EXAMPLE.com");
                  Choose(window, "Blocked");
                  Type(window, "mmoNotes", "spam source");
                  Click(window, "btnOk");
              }});
    m_Changes = 0;
    EXPECT_TRUE(window.NewDomainName(m_Main, Model()));
    EXPECT_EQ(m_Changes, 1);
    EXPECT_EQ(Model().DomainNameCount(), count);
    EXPECT_TRUE(existing.IsBlocked());
    EXPECT_EQ(existing.Notes(), "spam source");
    EXPECT_EQ(Cell("SELECT Notes FROM DomainNames WHERE DomainName = 'example.com'"), "spam source");
    EXPECT_EQ(placed, QPoint(100 + (800 - size.width()) / 2, 120 + (600 - size.height()) / 2));

    // A new name is added, approved; Cancel adds nothing.
    WhenShown(window, {[&] {
                  EXPECT_EQ(Child<QLineEdit>(window, "edtDomainName").text(), "") << "the last name stayed";
                  Type(window, "edtDomainName", "fresh.example");
                  Click(window, "btnOk");
              }});
    EXPECT_TRUE(window.NewDomainName(m_Main, Model()));
    ASSERT_NE(Model().FindDomainName("fresh.example"), nullptr);
    EXPECT_TRUE(Model().FindDomainName("fresh.example")->IsApproved());
    WhenShown(window, {[&] {
                  Type(window, "edtDomainName", "never.example");
                  Click(window, "btnCancel");
              }});
    EXPECT_FALSE(window.NewDomainName(m_Main, Model()));
    EXPECT_EQ(Model().FindDomainName("never.example"), nullptr);
}

TEST_F(UfrmRecordDialogsTest, EditDomainNameKeepsTheOldName) {
    TTessivarDomainName& record = Model().AddDomainName("blocked.example");
    record.Block();
    TfrmDomainName window;
    WhenShown(window, {[&] {
                  EXPECT_EQ(window.windowTitle(), "Edit Domain Name");
                  EXPECT_EQ(Child<QLineEdit>(window, "edtDomainName").text(), "blocked.example");
                  EXPECT_EQ(Child<QComboBox>(window, "cmbApproval").currentText(), "Blocked");
                  Type(window, "edtDomainName", "renamed.example");
                  Choose(window, "Approved");
                  Type(window, "mmoNotes", "a friend");
                  Click(window, "btnOk");
              }});
    EXPECT_TRUE(window.EditDomainName(m_Main, record));
    EXPECT_EQ(record.DomainName(), "blocked.example");
    EXPECT_TRUE(record.IsApproved());
    EXPECT_EQ(record.Notes(), "a friend");
    EXPECT_EQ(Model().FindDomainName("renamed.example"), nullptr);
}

TEST_F(UfrmRecordDialogsTest, SenderNewFindsTheAddressAndEditChangesOnlyApprovalAndNotes) {
    TTessivarEmailAddress& known = Model().AddEmailAddress("ann@example.com", "Ann");
    const int count = Model().EmailAddressCount();
    TfrmSender window;
    WhenShown(window, {[&] {
                  EXPECT_EQ(window.windowTitle(), "New Sender");
                  EXPECT_EQ(window.focusWidget(), &Child<QLineEdit>(window, "edtEmailAddress"));
                  Type(window, "edtEmailAddress", "ANN@example.com");
                  Type(window, "edtDisplayName", "Someone Else");
                  Choose(window, "Blocked");
                  Type(window, "mmoNotes", "noisy");
                  Click(window, "btnOk");
              }});
    EXPECT_TRUE(window.NewSender(m_Main, Model()));
    EXPECT_EQ(Model().EmailAddressCount(), count);
    EXPECT_TRUE(known.IsBlocked());
    EXPECT_EQ(known.Notes(), "noisy");

    // An authenticated sender without a decision shows "Approved"; the address is not read back.
    TTessivarEmailAddress& other = Model().AddEmailAddress("bob@example.org", "Bob");
    other.SetAuthenticationStatus(TAuthenticationStatus::Authenticated);
    WhenShown(window, {[&] {
                  EXPECT_EQ(window.windowTitle(), "Edit Sender");
                  EXPECT_EQ(Child<QLineEdit>(window, "edtEmailAddress").text(), "bob@example.org");
                  EXPECT_EQ(Child<QLineEdit>(window, "edtDisplayName").text(), "Bob");
                  EXPECT_EQ(Child<QComboBox>(window, "cmbApproval").currentText(), "Approved");
                  Type(window, "edtEmailAddress", "carl@example.org");
                  Type(window, "edtDisplayName", "Carl");
                  Click(window, "btnOk");
              }});
    EXPECT_TRUE(window.EditSender(m_Main, other));
    EXPECT_EQ(other.EmailAddress(), "bob@example.org");
    EXPECT_EQ(other.DisplayName(), "Bob");
    EXPECT_TRUE(other.IsApproved());
    EXPECT_EQ(Model().FindEmailAddress("carl@example.org"), nullptr);
}

TEST(NormalizeWordList, SortsDropsRepeatsAndTurnsLineBreaksIntoBlanks) {
    EXPECT_EQ(NormalizeWordList("pear,Apple, pear"), "Apple, pear");
    EXPECT_EQ(NormalizeWordList("cheap\r\npills  now"), "cheap pills now");
    EXPECT_EQ(NormalizeWordList("casino,\nviagra,\r\nlottery"), "casino, lottery, viagra");
    EXPECT_EQ(NormalizeWordList(""), "");
}

TEST_F(UfrmRecordDialogsTest, WordFiltersTakeBothListsOverTogether) {
    Model().SetBlockedWords("casino, lottery");
    Model().SetAdultWords("xxx");
    TfrmWordFilters window;
    auto& tabs = Child<QTabWidget>(window, "vtcWordFilters");
    // Cancel on either tab leaves both lists, even after editing both.
    for (const char* cancel : {"btnBlockedWordsCancel", "btnAdultWordsCancel"}) {
        WhenShown(window, {[&] {
                      EXPECT_EQ(window.windowTitle(), "Word Filters");
                      EXPECT_EQ(tabs.currentIndex(), 0);
                      EXPECT_EQ(tabs.tabText(0), "Blocked Words");
                      EXPECT_EQ(tabs.tabText(1), "Adult Words");
                      EXPECT_EQ(window.focusWidget(), &Child<QPlainTextEdit>(window, "mmoBlockedWords"));
                      EXPECT_EQ(Child<QPlainTextEdit>(window, "mmoBlockedWords").toPlainText(), "casino, lottery");
                      EXPECT_EQ(Child<QPlainTextEdit>(window, "mmoAdultWords").toPlainText(), "xxx");
                      Type(window, "mmoBlockedWords", "changed");
                      Type(window, "mmoAdultWords", "changed too");
                      tabs.setCurrentIndex(1);
                      Click(window, cancel);
                  }});
        EXPECT_FALSE(window.EditWordFilters(Model()));
        EXPECT_EQ(Model().BlockedWords(), "casino, lottery");
        EXPECT_EQ(Model().AdultWords(), "xxx");
    }
    // Ok on the adult tab takes over both lists, typed over several lines, in one change.
    WhenShown(window, {[&] {
                  EXPECT_EQ(tabs.currentIndex(), 0) << "the blocked words tab is selected at each showing";
                  Type(window, "mmoBlockedWords", "winner\r\nprize,Casino,\ncasino");
                  Type(window, "mmoAdultWords", "adult\nonly");
                  tabs.setCurrentIndex(1);
                  Click(window, "btnAdultWordsOk");
              }});
    m_Changes = 0;
    EXPECT_TRUE(window.EditWordFilters(Model()));
    EXPECT_EQ(m_Changes, 1);
    EXPECT_EQ(Model().BlockedWordList().size(), 2u);
    EXPECT_EQ(Model().BlockedWordList().back(), "winner prize");
    EXPECT_TRUE(SameText(Model().BlockedWordList().front(), "casino"));
    EXPECT_EQ(Model().AdultWords(), "adult only");
}

// Editing keeps a record's identity: the fields the window does not apply are read-only, so that a
// change typed there is not silently dropped; a new record's fields are editable again after it.
TEST_F(UfrmRecordDialogsTest, EditShowsTheIdentityReadOnlyAndNewMakesItEditableAgain) {
    TTessivarEmailAddress& sender = Model().AddEmailAddress("ann@example.com", "Ann");
    TfrmSender window;
    WhenShown(window, {[&] {
                  EXPECT_TRUE(Child<QLineEdit>(window, "edtEmailAddress").isReadOnly());
                  EXPECT_TRUE(Child<QLineEdit>(window, "edtDisplayName").isReadOnly());
                  EXPECT_EQ(window.focusWidget(), &Child<QComboBox>(window, "cmbApproval"));
                  Click(window, "btnCancel");
              }});
    window.EditSender(m_Main, sender);
    WhenShown(window, {[&] {
                  EXPECT_FALSE(Child<QLineEdit>(window, "edtEmailAddress").isReadOnly());
                  EXPECT_FALSE(Child<QLineEdit>(window, "edtDisplayName").isReadOnly());
                  Click(window, "btnCancel");
              }});
    window.NewSender(m_Main, Model());

    TTessivarDomainName& domain = Model().AddDomainName("example.org");
    TfrmDomainName domainWindow;
    WhenShown(domainWindow, {[&] {
                  EXPECT_TRUE(Child<QLineEdit>(domainWindow, "edtDomainName").isReadOnly());
                  Click(domainWindow, "btnCancel");
              }});
    domainWindow.EditDomainName(m_Main, domain);
}
