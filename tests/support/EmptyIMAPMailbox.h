#pragma once
// Test helper: a logged-in IMAP mailbox with nothing in it and every capability, that does nothing.
// Tests derive from it and override only what their case needs.

#include "mail/UIMAPMailbox.h"

class TEmptyIMAPMailbox : public TIMAPMailbox {
public:
    bool HasIdle() const override { return true; }
    bool HasMove() const override { return true; }
    bool HasUIDPlus() const override { return true; }
    std::string SpecialUseFolder(const std::string&) override { return {}; }
    void EnsureFolder(const std::string&) override {}
    TIMAPFolderState Select(const std::string&) override { return {}; }
    std::vector<uint32_t> UIDsFrom(uint32_t) override { return {}; }
    std::vector<uint32_t> UIDsSince(int) override { return {}; }
    std::vector<uint32_t> UIDsWithMessageID(const std::string&) override { return {}; }
    std::optional<std::string> Fetch(uint32_t) override { return std::nullopt; }
    std::optional<std::string> FetchHeader(uint32_t) override { return std::nullopt; }
    uint32_t Move(uint32_t, const std::string&) override { return 0; }
    bool WaitForChange(std::chrono::milliseconds) override { return false; }
    void Logout() override {}
    void Abort() override {}
};
