#pragma once
// Test helper: a model in a directory of its own (database, message store and registry), with rows
// written straight into its database and the change notifications counted. Main test thread only.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "base/LStrings.h"
#include "core/USQLite.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UThreadedCallTarget.h"
#include "tests/base/TraceCapture.h"

// A target that never runs anything: the model only keeps it.
class TIdleCallTarget : public IThreadedCallTarget {
public:
    void SetDispatcher(TDispatcher) override {}
    bool Send(TThreadedCallData&) override { return false; }
    void Post(std::unique_ptr<TThreadedCallData>) override {}
};

class TModelTest : public testing::Test {
protected:
    static constexpr const char* ThunderbirdRootVariables[] = {
        "TESSIVAR_THUNDERBIRD_DIR", "TESSIVAR_THUNDERBIRD_FLATPAK_DIR", "TESSIVAR_THUNDERBIRD_SNAP_DIR"};

    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-model-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_Dir = pattern + "/";
        ::setenv("TESSIVAR_HOME", m_Dir.c_str(), 1);
        ::setenv("TESSIVAR_REGISTRY_DIR", m_Dir.c_str(), 1);
        // The machine's own Thunderbird profiles are never searched (a test may point them elsewhere).
        for (const char* root : ThunderbirdRootVariables)
            ::setenv(root, "", 1);
        NewModel();
    }
    void TearDown() override {
        m_Model.reset();
        std::filesystem::remove_all(m_Dir);
        ::unsetenv("TESSIVAR_HOME");
        ::unsetenv("TESSIVAR_REGISTRY_DIR");
        for (const char* root : ThunderbirdRootVariables)
            ::unsetenv(root);
    }

    TTessivarBusinessLogic& Model() { return *m_Model; }
    TSQLite& Db() { return m_Model->Database(); }

    void NewModel() {
        m_Model.reset();
        m_Model = std::make_unique<TTessivarBusinessLogic>(m_Target);
        m_Model->OnChange = [this](TTessivarBusinessLogic&) { ++m_Changes; };
    }
    // Shuts the model down and starts a new one on the same files, as the next run of the program.
    void Restart() {
        m_Model->Shutdown();
        NewModel();
        m_Model->Startup();
    }

    // The first cell of the first row, or "(none)".
    std::string Cell(const std::string& sql) {
        TSQLiteResultSet result;
        if (Db().Query(sql, &result) < 1)
            return "(none)";
        return result.Value(0, 0);
    }
    int Count(const std::string& sql) { return std::stoi(Cell("SELECT COUNT(*) FROM " + sql)); }

    void AddDomainRow(int id, const std::string& name, const char* approval = "?", int deleted = 0) {
        Db().Execute("INSERT INTO DomainNames(ID, DomainName, Notes, ApprovalStatus, Deleted, Modified) VALUES(" +
                     std::to_string(id) + ", " + QuotedSQL(name) + ", '', '" + approval + "', " +
                     std::to_string(deleted) + ", 0)");
    }
    void AddSenderRow(int id, const std::string& user, int domainId, const char* approval = "?",
                      const char* authentication = "?", int deleted = 0) {
        Db().Execute("INSERT INTO EmailAddresses(ID, Username, DomainNameID, DisplayName, Notes, ApprovalStatus, "
                     "AuthenticationStatus, Deleted, Modified) VALUES(" +
                     std::to_string(id) + ", " + QuotedSQL(user) + ", " + std::to_string(domainId) + ", '', '', '" +
                     approval + "', '" + authentication + "', " + std::to_string(deleted) + ", 0)");
    }
    // Also writes the message file.
    void AddEmailRow(int id, int accountId, int senderId, int deleted = 0, const char* approval = "?") {
        Db().Execute("INSERT INTO Emails(ID, AccountID, MessageID, FromEmailAddressID, FromDisplayName, Subject, "
                     "Received, ApprovalStatus, WordBlocked, AdultBlocked, Deleted) VALUES(" +
                     std::to_string(id) + ", " + std::to_string(accountId) + ", '<m" + std::to_string(id) +
                     "@test>', " + std::to_string(senderId) + ", '', 'Subject " + std::to_string(id) +
                     "', '2026-01-02T03:04:05.0000000+00:00', '" + approval + "', 0, 0, " + std::to_string(deleted) +
                     ")");
        std::ofstream(MessageFile(id)) << "Subject: Subject " << id << "\r\n\r\nBody\r\n";
    }
    void AddAccountRow(int id, const std::string& address, int enabled = 1) {
        Db().Execute("INSERT INTO Accounts(ID, EmailAddress, RemoteServer, RemotePort, Username, Enabled) VALUES(" +
                     std::to_string(id) + ", " + QuotedSQL(address) + ", 'pop.example.test', 110, 'me', " +
                     std::to_string(enabled) + ")");
    }
    std::string MessageFile(int id) { return Model().StorePath() + IntToHex(static_cast<uint32_t>(id), 8) + ".eml"; }

    // The trace written while the action runs.
    static std::string Traced(const std::function<void()>& action) {
        TTraceCapture trace;
        action();
        return trace.Text();
    }
    static size_t Occurrences(const std::string& text, const std::string& part) {
        size_t count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
            ++count;
        return count;
    }

    // Runs the action on another thread; returns the message of the invalid-thread exception it
    // raised, or what else happened.
    static std::string OnOtherThread(const std::function<void()>& action) {
        std::string outcome = "(no exception)";
        std::thread worker([&] {
            try {
                action();
            } catch (const TTessivarBusinessLogicInvalidThreadException& error) {
                outcome = error.Message();
            } catch (const std::exception& error) {
                outcome = std::string("other exception: ") + error.what();
            }
        });
        worker.join();
        return outcome;
    }

    std::string m_Dir;
    TIdleCallTarget m_Target;
    std::unique_ptr<TTessivarBusinessLogic> m_Model;
    int m_Changes = 0;
};
