#pragma once
// The service's configuration: command-line options first, then environment variables, then the
// defaults. Thread contract: plain values and a pure function; any thread.

#include <cstdint>
#include <functional>
#include <string>

#include "base/UException.h"

TESSIVAR_EXCEPTION(ServiceConfigException, Exception);

struct TServiceConfig {
    std::string ListenAddress = "127.0.0.1";
    // 0 binds any free port (tests).
    int Port = 8085;
    std::string DatabaseFile = "tessivar-service.db";
    // Where mail goes as .eml files while no relay is named.
    std::string OutboxFolder = "outbox";
    // "smtp://host:port" or "smtps://..."; empty: the outbox.
    std::string SMTPRelayURL;
    // The base of the links in mail; empty: http:// + the listen address (127.0.0.1 for a wildcard
    // address) + ":" + the port bound.
    std::string PublicBaseURL;
    // Seconds since 1970; the system clock unless a test sets another.
    std::function<int64_t()> Clock;
    bool ShowHelp = false;
    // --set-account-status USERNAME STATUS: change an account's standing and exit.
    std::string StatusUsername;
    std::string StatusValue;
    // --confirm-address USERNAME: confirm an account's address as its owner's link would, and exit.
    std::string ConfirmUsername;
};

// ServiceConfigException for an unknown option, a missing value or a bad port.
TServiceConfig ReadServiceConfig(int argc, const char* const* argv,
                                 const std::function<const char*(const char*)>& environment);
// The usage text of --help.
std::string ServiceUsage();
