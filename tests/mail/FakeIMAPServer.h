#pragma once
// Test helper: an IMAP mailbox in memory, shared by the connections made to it (the screener's,
// and "another client" that the test plays), with switches for the server's capabilities and a
// hook that fails a chosen operation, as a lost connection or a killed program would end a run.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mail/UIMAPMailbox.h"
#include "mail/USockets.h"

class TFakeIMAPServer {
public:
    struct TMessage {
        uint32_t UID = 0;
        std::string Text;
        bool Seen = false;
    };
    struct TFolder {
        uint32_t UIDValidity = 1;
        uint32_t UIDNext = 1;
        std::vector<TMessage> Messages;
        uint64_t Version = 0;
    };

    // Capabilities and faults; set before connecting.
    bool Idle = true;
    bool MoveCommand = true;
    bool UIDPlus = true;
    std::string Trash = "Trash";
    // Called with the name of each operation ("Move", "Fetch", ...) before and after ("Move done")
    // it runs; raising from it fails the operation there. Set it under Lock once connections run.
    std::function<void(const std::string&)> Hook;

    TFakeIMAPServer() {
        Folders["INBOX"].UIDValidity = 100;
        Folders["Trash"].UIDValidity = 200;
    }

    // Another client's APPEND; returns the UID.
    uint32_t Append(const std::string& folder, const std::string& text) {
        std::lock_guard lock(Lock);
        return AppendLocked(folder, text);
    }
    // Another client's move; returns the new UID, 0 when there was no such message.
    uint32_t MoveByClient(const std::string& from, const std::string& messageId, const std::string& to) {
        std::lock_guard lock(Lock);
        for (TMessage& message : Folders[from].Messages)
            if (message.Text.find("Message-ID: " + messageId) != std::string::npos)
                return MoveLocked(from, message.UID, to);
        return 0;
    }
    // Another client deletes (and expunges) the message.
    void DeleteByClient(const std::string& folder, const std::string& messageId) {
        std::lock_guard lock(Lock);
        std::erase_if(Folders[folder].Messages, [&](const TMessage& message) {
            return message.Text.find("Message-ID: " + messageId) != std::string::npos;
        });
        Touch(folder);
    }
    // The folder gets a new UIDVALIDITY and its messages new UIDs (as after the server's rebuild).
    void Renumber(const std::string& folder) {
        std::lock_guard lock(Lock);
        TFolder& target = Folders[folder];
        target.UIDValidity += 1000;
        for (TMessage& message : target.Messages)
            message.UID = target.UIDNext++ + 500;
        target.UIDNext += 1000;
        Touch(folder);
    }
    // How many messages of the folder hold the text.
    int Count(const std::string& folder, const std::string& text = {}) {
        std::lock_guard lock(Lock);
        return static_cast<int>(
            std::count_if(Folders[folder].Messages.begin(), Folders[folder].Messages.end(),
                          [&](const TMessage& m) { return m.Text.find(text) != std::string::npos; }));
    }

    std::mutex Lock;
    std::condition_variable Changed;
    std::map<std::string, TFolder> Folders;

    uint32_t AppendLocked(const std::string& folder, const std::string& text) {
        TFolder& target = Folders[folder];
        target.Messages.push_back({target.UIDNext++, text});
        Touch(folder);
        return target.Messages.back().UID;
    }
    uint32_t MoveLocked(const std::string& from, uint32_t uid, const std::string& to) {
        auto& messages = Folders[from].Messages;
        const auto found =
            std::find_if(messages.begin(), messages.end(), [&](const TMessage& m) { return m.UID == uid; });
        if (found == messages.end())
            return 0;
        const std::string text = found->Text;
        messages.erase(found);
        Touch(from);
        return AppendLocked(to, text);
    }
    void Touch(const std::string& folder) {
        ++Folders[folder].Version;
        Changed.notify_all();
    }
};

class TFakeIMAPMailbox : public TIMAPMailbox {
public:
    explicit TFakeIMAPMailbox(TFakeIMAPServer& server) : m_Server(server) {}

    bool HasIdle() const override { return m_Server.Idle; }
    bool HasMove() const override { return m_Server.MoveCommand; }
    bool HasUIDPlus() const override { return m_Server.UIDPlus; }
    std::string SpecialUseFolder(const std::string& use) override {
        return use == "\\Trash" ? m_Server.Trash : std::string();
    }
    void EnsureFolder(const std::string& name) override {
        Step("EnsureFolder");
        std::lock_guard lock(m_Server.Lock);
        if (!m_Server.Folders.count(name))
            m_Server.Folders[name].UIDValidity = 300 + static_cast<uint32_t>(m_Server.Folders.size());
    }
    TIMAPFolderState Select(const std::string& folder) override {
        Step("Select");
        std::lock_guard lock(m_Server.Lock);
        const auto found = m_Server.Folders.find(folder);
        if (found == m_Server.Folders.end())
            throw EIMAPException("NO no such folder");
        m_Selected = folder;
        m_SeenVersion = found->second.Version;
        return {found->second.UIDValidity, found->second.UIDNext, static_cast<uint32_t>(found->second.Messages.size())};
    }
    std::vector<uint32_t> UIDsFrom(uint32_t from) override {
        Step("UIDsFrom");
        std::lock_guard lock(m_Server.Lock);
        std::vector<uint32_t> uids;
        for (const auto& message : Selected().Messages)
            if (message.UID >= from)
                uids.push_back(message.UID);
        std::sort(uids.begin(), uids.end());
        return uids;
    }
    std::vector<uint32_t> UIDsSince(int) override { return UIDsFrom(1); }
    std::vector<uint32_t> UIDsWithMessageID(const std::string& messageId) override {
        Step("UIDsWithMessageID");
        std::lock_guard lock(m_Server.Lock);
        std::vector<uint32_t> uids;
        for (const auto& message : Selected().Messages)
            if (message.Text.find("Message-ID: " + messageId) != std::string::npos)
                uids.push_back(message.UID);
        return uids;
    }
    std::optional<std::string> Fetch(uint32_t uid) override {
        Step("Fetch");
        std::lock_guard lock(m_Server.Lock);
        for (const auto& message : Selected().Messages)
            if (message.UID == uid)
                return message.Text;
        return std::nullopt;
    }
    std::optional<std::string> FetchHeader(uint32_t uid) override {
        const std::optional<std::string> text = Fetch(uid);
        if (!text)
            return text;
        return text->substr(0, text->find("\r\n\r\n") + 2);
    }
    uint32_t Move(uint32_t uid, const std::string& target) override {
        Step("Move");
        uint32_t newUID;
        {
            std::lock_guard lock(m_Server.Lock);
            newUID = m_Server.MoveLocked(m_Selected, uid, target);
        }
        Step("Move done");
        return m_Server.UIDPlus ? newUID : 0;
    }
    bool WaitForChange(std::chrono::milliseconds timeout) override {
        Step("WaitForChange");
        std::unique_lock lock(m_Server.Lock);
        const bool changed = m_Server.Changed.wait_for(
            lock, timeout, [&] { return m_Aborted || m_Woken || Selected().Version != m_SeenVersion; });
        m_Woken = false;
        if (m_Aborted)
            throw ESocketAborted("Aborted.");
        const bool result = changed && Selected().Version != m_SeenVersion;
        m_SeenVersion = Selected().Version;
        return result;
    }
    void Wake() override {
        std::lock_guard lock(m_Server.Lock);
        m_Woken = true;
        m_Server.Changed.notify_all();
    }
    void Logout() override {}
    void Abort() override {
        std::lock_guard lock(m_Server.Lock);
        m_Aborted = true;
        m_Server.Changed.notify_all();
    }

private:
    void Step(const std::string& name) {
        if (m_Aborted)
            throw ESocketAborted("Aborted.");
        std::function<void(const std::string&)> hook;
        {
            std::lock_guard lock(m_Server.Lock);
            hook = m_Server.Hook;
        }
        if (hook)
            hook(name);
    }
    TFakeIMAPServer::TFolder& Selected() {
        if (m_Selected.empty())
            throw EIMAPException("BAD no folder selected");
        return m_Server.Folders[m_Selected];
    }

    TFakeIMAPServer& m_Server;
    std::string m_Selected;
    uint64_t m_SeenVersion = 0;
    bool m_Woken = false; // guarded by the server's lock
    std::atomic<bool> m_Aborted{false};
};
