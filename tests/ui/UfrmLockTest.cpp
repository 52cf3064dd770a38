#include "ui/UfrmLockAccess.h"
#include "ui/UfrmUnlock.h"

#include "ui/UMessageBox.h"

#include "tests/core/ModelFixture.h"
#include "tests/ui/DialogDriver.h"

#include <QCheckBox>

namespace {

class UfrmLockTest : public TModelTest {
protected:
    void SetUp() override {
        TModelTest::SetUp();
        Model().Load();
        TMessageBox::TakeAsked();
    }
    // The titles of the message boxes asked for since the last call.
    static std::vector<QString> Titles() {
        std::vector<QString> titles;
        for (const TMessageBox::TAsked& asked : TMessageBox::TakeAsked())
            titles.push_back(asked.Title);
        return titles;
    }
    static bool Shown(QWidget& window, const char* name) { return !Child<QWidget>(window, name).isHidden(); }
};

} // namespace

TEST_F(UfrmLockTest, UnlockRefusesThePasswordInAnotherLetterCase) {
    Model().SetUnlockPassword("Secret9");
    TfrmUnlock window;
    EXPECT_EQ(window.windowFlags() & Qt::WindowType_Mask, Qt::Window) << "needs a task-bar button";
    WhenShown(window, {[&] {
                           EXPECT_EQ(window.windowTitle(), "Unlock Tessivar");
                           EXPECT_EQ(Child<QLineEdit>(window, "edtUnlockPassword").echoMode(), QLineEdit::Password);
                           Type(window, "edtUnlockPassword", "secret9");
                           ClickAnswered(window, "btnOk");
                       },
                       [&] {
                           const auto asked = TMessageBox::TakeAsked();
                           ASSERT_EQ(asked.size(), 1u);
                           EXPECT_EQ(asked[0].Icon, QMessageBox::Critical);
                           EXPECT_EQ(asked[0].Title, "Incorrect Password");
                           EXPECT_EQ(asked[0].Text, "The password is incorrect. Check to ensure that you have \n"
                                                    "not mistakenly got CAPSLOCK on and try again.");
                           Type(window, "edtUnlockPassword", "Secret9");
                           Click(window, "btnOk");
                       }});
    EXPECT_TRUE(window.UnlockWindow(Model()));

    // The password typed last time is gone at the next showing; Cancel refuses.
    WhenShown(window, {[&] {
                  EXPECT_EQ(Child<QLineEdit>(window, "edtUnlockPassword").text(), "");
                  Click(window, "btnCancel");
              }});
    EXPECT_FALSE(window.UnlockWindow(Model()));
}

TEST_F(UfrmLockTest, LockNeedsFourCharactersConfirmedAndMatchingInThatOrder) {
    TfrmLockAccess window;
    WhenShown(window, {[&] {
                           EXPECT_EQ(window.windowTitle(), "Lock Access to Tessivar");
                           EXPECT_FALSE(Shown(window, "edtUnlockPassword"));
                           EXPECT_FALSE(Shown(window, "edtConfirmUnlockPassword"));
                           EXPECT_EQ(window.focusWidget(), &Child<QWidget>(window, "btnOk"));
                           Child<QCheckBox>(window, "chkbxLockAccess").setChecked(true);
                           EXPECT_TRUE(Shown(window, "edtUnlockPassword"));
                           EXPECT_TRUE(Shown(window, "edtConfirmUnlockPassword"));
                           // Too short comes before the missing confirmation.
                           Type(window, "edtUnlockPassword", "abc");
                           ClickAnswered(window, "btnOk");
                           EXPECT_EQ(Titles(), std::vector<QString>{"Password too short"});
                           Type(window, "edtUnlockPassword", "abcd");
                           ClickAnswered(window, "btnOk");
                           EXPECT_EQ(Titles(), std::vector<QString>{"Password confirmation required"});
                           Type(window, "edtConfirmUnlockPassword", "abcD");
                           ClickAnswered(window, "btnOk");
                           EXPECT_EQ(Titles(), std::vector<QString>{"Passwords do not match"});
                       },
                       [&] {
                           Type(window, "edtConfirmUnlockPassword", "abcd");
                           Click(window, "btnOk");
                       }});
    m_Changes = 0;
    EXPECT_TRUE(window.EditLockAccess(Model()));
    EXPECT_EQ(m_Changes, 1);
    EXPECT_TRUE(Model().LockAccess());
    EXPECT_EQ(Model().UnlockPassword(), "abcd");
    EXPECT_TRUE(Titles().empty());
}

TEST_F(UfrmLockTest, LockOffAndOnAgainOffersTheOldPassword) {
    Model().SetLockAccess(true);
    Model().SetUnlockPassword("Old-pass");
    TfrmLockAccess window;
    WhenShown(window, {[&] {
                  EXPECT_TRUE(Child<QCheckBox>(window, "chkbxLockAccess").isChecked());
                  Child<QCheckBox>(window, "chkbxLockAccess").setChecked(false);
                  Type(window, "edtUnlockPassword", "x");
                  Click(window, "btnOk"); // a cleared box closes at once, whatever the edits hold
              }});
    EXPECT_TRUE(window.EditLockAccess(Model()));
    EXPECT_FALSE(Model().LockAccess());
    EXPECT_EQ(Model().UnlockPassword(), "Old-pass");
    EXPECT_TRUE(Titles().empty());

    WhenShown(window, {[&] {
                  EXPECT_FALSE(Child<QCheckBox>(window, "chkbxLockAccess").isChecked());
                  EXPECT_FALSE(Shown(window, "edtUnlockPassword"));
                  EXPECT_EQ(Child<QLineEdit>(window, "edtUnlockPassword").text(), "Old-pass");
                  EXPECT_EQ(Child<QLineEdit>(window, "edtConfirmUnlockPassword").text(), "Old-pass");
                  Child<QCheckBox>(window, "chkbxLockAccess").setChecked(true);
                  Click(window, "btnOk");
              }});
    EXPECT_TRUE(window.EditLockAccess(Model()));
    EXPECT_TRUE(Model().LockAccess());
    EXPECT_EQ(Model().UnlockPassword(), "Old-pass");
    EXPECT_EQ(Cell("SELECT UnlockPassword FROM Configuration"), "Old-pass");
}
