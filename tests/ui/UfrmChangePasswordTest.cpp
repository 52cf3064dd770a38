#include "ui/UfrmChangePassword.h"
#include "ui/UfrmLockAccess.h"
#include "ui/UfrmWait.h"

#include "tests/base/TraceCapture.h"
#include "tests/service/ServiceFixture.h"
#include "tests/ui/DialogDriver.h"

#include <QCheckBox>

namespace {

const std::string Accepted = ActionAnswer("AccountSetPassword", "<ErrorMessages />");
const std::string Refused = ActionAnswer(
    "AccountSetPassword",
    "<ErrorMessages><ErrorMessage><Code>7</Code><Message>Refused</Message></ErrorMessage></ErrorMessages>");

class UfrmChangePasswordTest : public TServiceModelTest {
protected:
    // A service answering every request with `answer`; the model's threaded calls are served inside
    // Qt's event loop, modal windows included, as the main window serves them.
    void Start(const std::string& answer) {
        TServiceModelTest::Start([answer](const std::string&) { return answer; });
        Model().SetUsername("me@example.test");
        Model().SetPassword("Old-Secret1");
        m_Window.SetWaitWindow(&m_Wait);
        QObject::connect(&m_Pump, &QTimer::timeout, [this] { m_Loop.ProcessPending(); });
        m_Pump.start(2);
        TMessageBox::TakeAsked();
    }
    void TearDown() override {
        m_Pump.stop();
        TServiceModelTest::TearDown();
    }
    // Fills the window with the passwords and clicks Ok.
    std::function<void()> Fill(const QString& current, const QString& newPassword, const QString& confirmation) {
        return [=, this] {
            Type(m_Window, "edtCurrentPassword", current);
            Type(m_Window, "edtNewPassword", newPassword);
            Type(m_Window, "edtConfirmNewPassword", confirmation);
            ClickAnswered(m_Window, "btnOk");
        };
    }
    // Runs the change, recording whether the wait window was up while the model was in one bracket.
    void Change(std::vector<std::function<void()>> steps) {
        m_WaitSeen = false;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [this] {
            if (m_Wait.isVisible()) {
                m_WaitSeen = true;
                EXPECT_TRUE(Model().IsUpdating()) << "the bracket lasts until the wait window closes";
                EXPECT_EQ(m_Wait.windowTitle(), "Please wait...");
            }
        });
        watch.start(1);
        WhenShown(m_Window, std::move(steps));
        m_Changes = 0;
        Model().OnChange = [this](TTessivarBusinessLogic&) { ++m_Changes; };
        m_Window.ChangePassword(Model());
    }
    std::vector<std::string> Titles() {
        std::vector<std::string> titles;
        for (const TMessageBox::TAsked& asked : TMessageBox::TakeAsked())
            titles.push_back(asked.Title.toStdString());
        return titles;
    }

    QTimer m_Pump;
    TfrmWait m_Wait;
    TfrmChangePassword m_Window;
    bool m_WaitSeen = false;
    int m_Changes = 0;
};

} // namespace

TEST_F(UfrmChangePasswordTest, ChecksRunInOrderAndKeepTheWindowOpen) {
    Start(Accepted);
    Change({[&] {
                EXPECT_EQ(m_Window.windowTitle(), "Change Password");
                EXPECT_EQ(m_Window.focusWidget(), &Child<QLineEdit>(m_Window, "edtCurrentPassword"));
                EXPECT_EQ(Child<QLineEdit>(m_Window, "edtNewPassword").echoMode(), QLineEdit::Password);
            },
            Fill("old-secret1", "", ""), [&] { EXPECT_EQ(Titles(), std::vector<std::string>{"Incorrect Password"}); },
            Fill("Old-Secret1", "", ""), [&] { EXPECT_EQ(Titles(), std::vector<std::string>{"Password Required"}); },
            Fill("Old-Secret1", "abc", ""),
            [&] { EXPECT_EQ(Titles(), std::vector<std::string>{"Password Too Short"}); },
            Fill("Old-Secret1", "abcd", "abcD"),
            [&] {
                const auto asked = TMessageBox::TakeAsked();
                ASSERT_EQ(asked.size(), 1u);
                EXPECT_EQ(asked[0].Icon, QMessageBox::Information);
                EXPECT_EQ(asked[0].Text, "The values you entered in the Password and Confirm Password fields are not "
                                         "the same. Please re-enter them.");
                Click(m_Window, "btnCancel");
            }});
    EXPECT_FALSE(m_WaitSeen);
    EXPECT_TRUE(m_Service->Requests().empty());
    EXPECT_EQ(Model().Password(), "Old-Secret1");
}

TEST_F(UfrmChangePasswordTest, AnEmptyErrorListIsSuccessAndStoresThePasswordAsTyped) {
    Start(Accepted);
    Change({Fill("Old-Secret1", " New Secret2", " New Secret2")});
    EXPECT_TRUE(m_WaitSeen);
    EXPECT_FALSE(m_Wait.isVisible());
    EXPECT_TRUE(Titles().empty());
    EXPECT_EQ(Model().Password(), " New Secret2");
    EXPECT_EQ(Cell("SELECT Password FROM Configuration"), " New Secret2");
    EXPECT_EQ(LogItems("Begin password change request..."), 1);
    EXPECT_EQ(LogItems("Password change request complete."), 1);
    EXPECT_EQ(m_Changes, 1);
    ASSERT_EQ(m_Service->Requests().size(), 1u);
    const auto argument = RequestArgument(m_Service->Requests()[0]);
    EXPECT_EQ(argument->Child("Username").Text(), "me@example.test");
    EXPECT_EQ(argument->Child("Password").Text(), "Old-Secret1");
    EXPECT_NE(m_Service->Requests()[0].find("<NewPassword> New Secret2</NewPassword>"), std::string::npos);
}

TEST_F(UfrmChangePasswordTest, AFailedChangeClosesTheWaitWindowAndKeepsThePassword) {
    Start(Refused);
    Change({Fill("Old-Secret1", "New-Secret2", "New-Secret2")});
    EXPECT_TRUE(m_WaitSeen);
    EXPECT_FALSE(m_Wait.isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "the main window must be usable again";
    const auto asked = TMessageBox::TakeAsked();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].Icon, QMessageBox::Critical);
    EXPECT_EQ(asked[0].Title, "Password Change Failed");
    EXPECT_EQ(asked[0].Text, "There was a problem updating your password.");
    EXPECT_EQ(Model().Password(), "Old-Secret1");
    EXPECT_EQ(LogItems("Password change request Failed!"), 1);
    EXPECT_EQ(LogItems("Begin password change request..."), 1);
}

TEST_F(UfrmChangePasswordTest, AnUnreachableServiceClosesTheWaitWindow) {
    Start(Accepted);
    m_Service.reset(); // nothing listens on the port any more
    Change({Fill("Old-Secret1", "New-Secret2", "New-Secret2")});
    EXPECT_FALSE(m_Wait.isVisible());
    EXPECT_EQ(Titles(), std::vector<std::string>{"Password Change Failed"});
    EXPECT_EQ(Model().Password(), "Old-Secret1");
}

TEST_F(UfrmChangePasswordTest, PasswordsNeverReachTheTrace) {
    Start(Accepted);
    TfrmLockAccess lock;
    std::string trace;
    {
        TTraceCapture capture;
        Change({Fill("Old-Secret1", "New-Secret2", "New-Secret2")});
        WhenShown(lock, {[&] {
                      Child<QCheckBox>(lock, "chkbxLockAccess").setChecked(true);
                      Type(lock, "edtUnlockPassword", "Unlock-Secret3");
                      Type(lock, "edtConfirmUnlockPassword", "Unlock-Secret3");
                      Click(lock, "btnOk");
                  }});
        EXPECT_TRUE(lock.EditLockAccess(Model()));
        trace = capture.Text();
    }
    EXPECT_EQ(Model().Password(), "New-Secret2");
    EXPECT_EQ(Model().UnlockPassword(), "Unlock-Secret3");
    EXPECT_NE(trace.find("DEQUEUED: AccountSetPassword"), std::string::npos) << "the trace was not captured";
    EXPECT_NE(trace.find("HTTP REQUEST"), std::string::npos);
    for (const char* secret : {"Old-Secret1", "New-Secret2", "Unlock-Secret3"})
        EXPECT_EQ(trace.find(secret), std::string::npos) << secret << " in the trace:\n" << trace;
    EXPECT_NE(trace.find("<Password>********</Password>"), std::string::npos);
    EXPECT_NE(trace.find("UnlockPassword='********'"), std::string::npos);
    for (int i = 0; i < Model().LogItemCount(); ++i)
        EXPECT_EQ(Model().LogItems(i).Details().find("Secret"), std::string::npos);
}
