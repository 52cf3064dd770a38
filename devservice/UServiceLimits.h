#pragma once
// Every bound the service puts on its clients, in one place: how much mail it sends for whom, how
// often a client may create accounts or guess passwords, and what a request may cost. The numbers
// are listed in the README; change them here. Thread contract: constants, any thread.

#include <cstddef>
#include <cstdint>

inline constexpr int64_t SecondsPerDay = 24 * 3600;

// ---- Mail ----------------------------------------------------------------------------------------

// Authentication requests one account may send in 24 hours; further ones wait for the next day.
inline constexpr int MaxChallengesPerAccountPerDay = 100;
// Import notices one account may send in 24 hours; further ones wait for the next day.
inline constexpr int MaxImportNoticesPerAccountPerDay = 200;
// Mail of any kind (requests, notices, address confirmations) one recipient receives from the
// service in 24 hours, all accounts together.
inline constexpr int MaxMailsPerRecipientPerDay = 5;
// Senders kept waiting for an account that cannot send yet (unconfirmed address, suspended).
inline constexpr int MaxWaitingChallengesPerAccount = 1000;
// A new confirmation mail is sent at a synchronisation when the last is older than this.
inline constexpr int64_t ConfirmationResendSeconds = SecondsPerDay;
// A confirmation link is refused this long after it was sent.
inline constexpr int64_t ConfirmationLifetimeSeconds = 7 * SecondsPerDay;

// ---- Accounts and passwords ------------------------------------------------------------------

// Accounts one client address may create per hour.
inline constexpr int MaxAccountCreatesPerAddress = 5;
inline constexpr int64_t AccountCreateWindowSeconds = 3600;
// Wrong passwords per client address and per account within the window; beyond them every
// sign-in of that address or account is refused, without hashing, until the window has passed.
inline constexpr int MaxPasswordFailuresPerAddress = 10;
inline constexpr int MaxPasswordFailuresPerAccount = 20;
inline constexpr int64_t PasswordFailureWindowSeconds = 15 * 60;
// Password hashes computed at once; each takes 64 MiB.
inline constexpr int MaxConcurrentPasswordHashes = 2;
// Client addresses and accounts the throttles remember at most; the oldest are forgotten first.
inline constexpr size_t MaxThrottledKeys = 10000;

// ---- HTTP ----------------------------------------------------------------------------------------

// Request bodies beyond this are refused with status 413 before they are read; a body must come
// with its Content-Length (a chunked one is refused with 411).
inline constexpr size_t MaxRequestBodyBytes = 8 * 1024 * 1024;
// The request line and the header lines together, and the number of header lines (431 beyond).
inline constexpr size_t MaxRequestHeadBytes = 16 * 1024;
inline constexpr size_t MaxRequestHeaderLines = 64;
// The request head must have arrived this long after the connection was accepted, the whole
// request (head and body) this long (408 otherwise).
inline constexpr int64_t RequestHeadDeadlineSeconds = 10;
inline constexpr int64_t RequestDeadlineSeconds = 60;
// Connections open at once from one client address and in all (503 beyond).
inline constexpr size_t MaxConnectionsPerAddress = 32;
inline constexpr size_t MaxConnections = 512;
// Bodies held in memory at once, all connections together (503 beyond).
inline constexpr size_t MaxBufferedBodyBytes = 64 * 1024 * 1024;
// Threads that answer complete requests; reading them costs no thread.
inline constexpr size_t RequestWorkerThreads = 8;
// Sending an answer to a client that does not read it ends after this.
inline constexpr int64_t ResponseDeadlineSeconds = 30;
