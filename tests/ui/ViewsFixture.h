#pragma once
// Test helper: a real model (see tests/core/ModelFixture.h) whose changes rebuild the main
// window's lists, an owner that records what a refresh asks of the window, and mail inserted as
// the checker stores it. Main test thread only.

#include "core/UTessivarAccount.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "ui/UTessivarLists.h"
#include "ui/UTessivarViews.h"

#include "tests/core/ModelFixture.h"

#include <vector>

class TRecordingViewsOwner : public ITessivarViewsOwner {
public:
    void ShowNotification(const std::string& text, int milliseconds) override {
        Calls.push_back("notify " + text + " " + std::to_string(milliseconds));
    }
    void PlaySystemSound(const std::string& alias) override { Calls.push_back("sound " + alias); }
    void StartTrayAnimation() override { Calls.push_back("animate"); }
    void StopTrayAnimation() override { Calls.push_back("stop"); }
    void StartSyncTimer() override { ++SyncTimerStarts; }
    // The calls since the last Take.
    std::vector<std::string> Take() { return std::exchange(Calls, {}); }

    std::vector<std::string> Calls;
    int SyncTimerStarts = 0;
};

class TViewsTest : public TModelTest {
protected:
    void SetUp() override {
        TModelTest::SetUp();
        m_Views = std::make_unique<TTessivarViews>(m_Owner);
        Model().Load();
        Model().OnChange = [this](TTessivarBusinessLogic& model) {
            ++m_Changes;
            m_Views->RefreshViews(model);
        };
        m_Account = &Model().AddAccount("me@example.test", "me", "pop.example.test", 110);
    }
    void TearDown() override {
        m_Views->Clear();
        TModelTest::TearDown();
    }

    TTessivarEmail& Insert(const std::string& from, const std::string& subject = "Greetings",
                           TDateTime received = EncodeDateTime(2026, 3, 4, 5, 6, 7),
                           const std::string& displayName = "") {
        const std::string id = "<" + std::to_string(++m_Sequence) + "@mail.example.com>";
        return Model().InsertEmail(*m_Account, id, {"From: " + from, "Subject: " + subject, "", "Hello"}, received,
                                   subject, from, displayName, "me@example.test", "");
    }
    TTessivarEmailAddress& Sender(const std::string& address) { return *Model().FindEmailAddress(address); }
    TTessivarDomainName& Domain(const std::string& name) { return *Model().FindDomainName(name); }

    // The texts of one column, top to bottom.
    static std::vector<std::string> Column(const QAbstractItemModel& grid, int column, int role = Qt::DisplayRole) {
        std::vector<std::string> texts;
        for (int row = 0; row < grid.rowCount(); ++row)
            texts.push_back(grid.data(grid.index(row, column), role).toString().toStdString());
        return texts;
    }
    static std::vector<std::string> Subjects(const TEmailGrid& grid) { return Column(grid, TEmailGrid::SubjectColumn); }

    TRecordingViewsOwner m_Owner;
    std::unique_ptr<TTessivarViews> m_Views;
    TTessivarAccount* m_Account = nullptr;
    int m_Sequence = 0;
};
