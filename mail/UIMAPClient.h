#pragma once
// The IMAP client: a TIMAPMailbox over the program's own sockets and TLS, so that certificate
// verification and the extra trusted certificates file work exactly as for POP3.
// Thread contract: as TIMAPMailbox: one thread at a time; Abort from any thread.
//
// The conversation is traced (with the "debug" switch) line by line, the first line of each
// response and every command, except what carries the password.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "mail/UIMAPMailbox.h"
#include "mail/UIMAPResponse.h"

class TAbortSignal;
class TSocketStream;
class TTLSContext;

// IDLE is ended and begun anew this often, so that neither the server nor a router between drops
// a connection that looks idle (servers may end an IDLE after 30 minutes).
inline constexpr int IMAPIdleRestartMs = 25 * 60 * 1000;
// How often a wait looks whether Wake was called.
inline constexpr int IMAPWakeCheckMs = 200;
// Without IDLE, WaitForChange asks the server with NOOP this often.
inline constexpr int IMAPPollIntervalMs = 2 * 60 * 1000;

// What the activity log tells the user when STARTTLS does not happen.
inline constexpr const char* STARTTLSRefusedReason = "the server refused STARTTLS";
inline constexpr const char* STARTTLSMissingReason = "the server does not offer STARTTLS, which the account requires";

// True when a NO to the login refuses the user name or the password: no response code, or one
// about the credentials. Codes that say the server is unavailable, broken or busy (RFC 5530) are
// failures to reach the mailbox instead.
bool IsIMAPCredentialRefusal(const TIMAPResponse& response);

class TIMAPClient : public TIMAPMailbox {
public:
    // Raising `abort` (a signal of its own when none is given) has the effect of Abort, also while
    // Connect runs.
    TIMAPClient(TIMAPServer server, std::string trustedCertificatesFile, std::shared_ptr<TAbortSignal> abort = {});
    ~TIMAPClient() override;
    TIMAPClient(const TIMAPClient&) = delete;
    TIMAPClient& operator=(const TIMAPClient&) = delete;

    // Connects, protects the connection and logs in (see ConnectIMAP). The password is not kept.
    void Connect(const std::string& password, int timeoutMs);
    // The TLS protocol and cipher in use; empty when not connected.
    std::string EncryptionDescription() const;
    bool HasCapability(const std::string& name) const { return m_Capabilities.count(name) > 0; }

    bool HasIdle() const override { return HasCapability("IDLE"); }
    bool HasMove() const override { return HasCapability("MOVE"); }
    bool HasUIDPlus() const override { return HasCapability("UIDPLUS"); }
    std::string SpecialUseFolder(const std::string& use) override;
    void EnsureFolder(const std::string& name) override;
    TIMAPFolderState Select(const std::string& folder) override;
    std::vector<uint32_t> UIDsFrom(uint32_t from) override;
    std::vector<uint32_t> UIDsSince(int days) override;
    std::vector<uint32_t> UIDsWithMessageID(const std::string& messageId) override;
    std::optional<std::string> Fetch(uint32_t uid) override;
    std::optional<std::string> FetchHeader(uint32_t uid) override;
    uint32_t Move(uint32_t uid, const std::string& target) override;
    bool WaitForChange(std::chrono::milliseconds timeout) override;
    // Any thread: the running or next WaitForChange returns within IMAPWakeCheckMs.
    void Wake() override { m_WakeRequested.store(true); }
    void Logout() override;
    void Abort() override;

private:
    // One part of a command: text as it stands, a string sent as a literal, or a line sent when the
    // server asks for it with a continuation request (AUTHENTICATE).
    struct TPart {
        enum class TKind { Text, Literal, ContinuationLine } Kind;
        std::string Data;
    };
    struct TResult {
        TIMAPResponse Tagged;
        std::vector<TIMAPResponse> Untagged;
        bool OK() const { return Tagged.Status == "OK"; }
    };

    TResult Command(const std::string& text) { return Command({TPart{TPart::TKind::Text, text}}); }
    // Sends the command, then reads responses up to its tagged one. `secret`: the trace shows only
    // the command's name.
    TResult Command(const std::vector<TPart>& parts, bool secret = false);
    // Raises EIMAPException with the server's text unless the result is OK.
    static void ExpectOK(const TResult& result, const std::string& command);
    // Reads the next whole response; nullopt when `deadline` passed first (no deadline: the read
    // time-out applies and raises). A failure closes the connection.
    std::optional<TIMAPResponse> ReadResponse(std::optional<std::chrono::steady_clock::time_point> deadline = {});
    TIMAPResponse ReadResponseNow() { return *ReadResponse(); }
    // Takes the news of an untagged response: capabilities, new, removed and changed messages.
    void NoteUntagged(const TIMAPResponse& response);
    void Write(const std::string& text);
    // Writes one line and its CR LF, and traces it.
    void SendLine(const std::string& line);
    // Closes the connection, which a protocol violation leaves out of step, and raises.
    [[noreturn]] void OutOfStep(const std::string& message);
    TSocketStream& Stream();
    void CloseConnection();
    void StartTLS(int timeoutMs);
    void AskCapabilities();
    void SetCapabilities(const std::string& list);
    void Login(const std::string& password);
    // The personal namespace's prefix and the hierarchy separator, asked once.
    void LearnHierarchy();
    // A folder name with "/" between levels as the server names it (separator, prefix, modified
    // UTF-7), and back.
    std::string ServerName(const std::string& name);
    std::string ProgramName(const std::string& serverName);
    bool FolderExists(const std::string& serverName);
    std::vector<uint32_t> SearchUIDs(const std::vector<TPart>& criteria);
    // The items of the FETCH responses for uid, merged; nullopt when none came.
    std::optional<std::vector<TIMAPValue>> FetchItems(uint32_t uid, const std::string& items);
    uint32_t MoveOnce(uint32_t uid, const std::string& serverTarget, bool& tryCreate);
    // One IDLE of at most `timeout`; true when a change came.
    bool IdleOnce(std::chrono::milliseconds timeout);
    bool PollOnce(std::chrono::milliseconds timeout);

    // Constant after construction
    const TIMAPServer m_Server;
    const std::string m_TrustFile;
    const std::shared_ptr<TAbortSignal> m_Abort;

    std::unique_ptr<TTLSContext> m_TLSContext;
    std::unique_ptr<TSocketStream> m_Stream;
    TIMAPResponseAssembler m_Assembler;
    std::set<std::string> m_Capabilities; // upper case
    uint32_t m_NextTag = 1;
    std::string m_ByeText;                // what the server said when it closed the connection

    bool m_HierarchyKnown = false;
    std::string m_Separator;              // empty: a flat namespace
    std::string m_Prefix;                 // the personal namespace's prefix, decoded: "INBOX."

    bool m_Selected = false;
    uint32_t m_Exists = 0;
    bool m_ChangePending = false;         // new, removed or changed messages since the last wait
    bool m_OwnChanges = false;            // FETCH and EXPUNGE responses answer our own fetch or move
    std::atomic<bool> m_WakeRequested{false};
};
