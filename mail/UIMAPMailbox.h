#pragma once
// A logged-in connection to a real IMAP mailbox: the operations the IMAP screener needs, in the
// terms of the mailbox (folders, UIDs, whole messages) rather than of the protocol.
// Thread contract: one thread at a time uses a connection; Abort alone may be called from any other
// thread while an operation runs.
//
// Failures: the server's NO or BAD and protocol failures raise EIMAPException (with the server's
// text); socket failures raise ESocketException, waits ended by Abort ESocketAborted; TLS failures
// ETLSException, always before any credential is sent. A failure that leaves the connection out of
// step with the server closes it; later operations raise EIMAPException "Not connected.".

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/UException.h"
#include "core/UIMAPSettings.h"

class TAbortSignal;

TESSIVAR_EXCEPTION(EIMAPException, Exception);
// The server refused the user name or the password.
TESSIVAR_EXCEPTION(EIMAPLoginRefused, EIMAPException);

// The largest message taken in, as for POP3; a larger one raises EIMAPException and is left where
// it is on the server.
inline constexpr std::size_t IMAPMaximumMessageSize = 64 * 1024 * 1024;
// How long a read waits for the server's next byte (IDLE excepted) before the connection counts as
// lost.
inline constexpr int IMAPReadTimeoutMs = 120 * 1000;

// The state of a folder when it is selected.
struct TIMAPFolderState {
    uint32_t UIDValidity = 0;
    uint32_t UIDNext = 0;
    uint32_t Exists = 0;
};

class TIMAPMailbox {
public:
    virtual ~TIMAPMailbox() = default;

    // What the server announced after the login.
    virtual bool HasIdle() const = 0;
    virtual bool HasMove() const = 0;
    virtual bool HasUIDPlus() const = 0;

    // The folder marked with a special use ("\\Trash", "\\Junk", ...) by LIST; empty when none.
    virtual std::string SpecialUseFolder(const std::string& use) = 0;
    // Creates the folder (and its parents) when missing, and subscribes to it. `name` uses "/"
    // between levels, translated to the server's own separator.
    virtual void EnsureFolder(const std::string& name) = 0;
    // Selects the folder read-write (names as for EnsureFolder).
    virtual TIMAPFolderState Select(const std::string& folder) = 0;
    // The UIDs of the selected folder's messages from `from` on, ascending.
    virtual std::vector<uint32_t> UIDsFrom(uint32_t from) = 0;
    // The UIDs of the selected folder's messages that arrived in the last `days` days.
    virtual std::vector<uint32_t> UIDsSince(int days) = 0;
    // The UIDs of the selected folder's messages whose Message-ID header is `messageId`.
    virtual std::vector<uint32_t> UIDsWithMessageID(const std::string& messageId) = 0;
    // The whole message, read without marking it seen; nullopt when no message has the UID (any
    // more). A message over IMAPMaximumMessageSize raises EIMAPException.
    virtual std::optional<std::string> Fetch(uint32_t uid) = 0;
    // Its header block only, read the same way.
    virtual std::optional<std::string> FetchHeader(uint32_t uid) = 0;
    // Moves a message of the selected folder to `target` with MOVE, else UID COPY + UID STORE
    // \Deleted + UID EXPUNGE of that UID alone; never a plain EXPUNGE, which would also remove the
    // messages other clients marked deleted. Returns the message's UID in `target` when the server
    // tells it (COPYUID), else 0. Without MOVE and UIDPLUS the copy stays marked \Deleted in the
    // source folder until a client expunges it.
    virtual uint32_t Move(uint32_t uid, const std::string& target) = 0;
    // Waits at most `timeout` for the selected folder to change (IDLE; NOOP now and then where the
    // server has no IDLE). True when the server reported new, removed or changed messages.
    virtual bool WaitForChange(std::chrono::milliseconds timeout) = 0;
    // Any thread: ends the running WaitForChange early (it returns false), or the next one when none
    // runs; other operations are not affected. Lets the screener make a move the user asked for
    // at once instead of at the end of the wait. Without it a wait runs to its time-out.
    virtual void Wake() {}
    // Logs out and closes the connection; nothing when it is closed already.
    virtual void Logout() = 0;
    // Any thread: ends the running operation and every later one with ESocketAborted. Final.
    virtual void Abort() = 0;
};

// Connects within `timeoutMs`, protects the connection as `server.Security` says (certificate
// verified against the system's authorities and those of `trustedCertificatesFile`, when it exists),
// and logs in. Raises as described above; EIMAPLoginRefused when the credentials are refused.
// Raising `abort` (from any thread) ends the attempt at once, and later operations of the
// connection, with ESocketAborted.
std::unique_ptr<TIMAPMailbox> ConnectIMAP(const TIMAPServer& server, const std::string& password,
                                          const std::string& trustedCertificatesFile, int timeoutMs,
                                          const std::shared_ptr<TAbortSignal>& abort = {});
