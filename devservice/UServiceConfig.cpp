#include "devservice/UServiceConfig.h"

#include <charconv>
#include <string_view>

namespace {

struct TSetting {
    const char* Option;
    const char* Variable;
    std::string TServiceConfig::*Field;
};

const TSetting Settings[] = {
    {"--listen", "TESSIVAR_SERVICE_LISTEN", &TServiceConfig::ListenAddress},
    {"--database", "TESSIVAR_SERVICE_DATABASE", &TServiceConfig::DatabaseFile},
    {"--outbox", "TESSIVAR_SERVICE_OUTBOX", &TServiceConfig::OutboxFolder},
    {"--smtp", "TESSIVAR_SERVICE_SMTP", &TServiceConfig::SMTPRelayURL},
    {"--base-url", "TESSIVAR_SERVICE_BASE_URL", &TServiceConfig::PublicBaseURL},
};
const char* const PortOption = "--port";
const char* const PortVariable = "TESSIVAR_SERVICE_PORT";

int ReadPort(std::string_view text) {
    int port = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (error != std::errc() || end != text.data() + text.size() || port < 0 || port > 65535)
        throw ServiceConfigException("Invalid port \"" + std::string(text) + "\".");
    return port;
}

} // namespace

TServiceConfig ReadServiceConfig(int argc, const char* const* argv,
                                 const std::function<const char*(const char*)>& environment) {
    TServiceConfig config;
    for (const TSetting& setting : Settings)
        if (const char* value = environment(setting.Variable); value != nullptr && *value != '\0')
            config.*setting.Field = value;
    if (const char* value = environment(PortVariable); value != nullptr && *value != '\0')
        config.Port = ReadPort(value);

    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            config.ShowHelp = true;
            continue;
        }
        if (argument == "--set-account-status") {
            if (i + 2 >= argc)
                throw ServiceConfigException("The option --set-account-status needs a user name and a standing.");
            config.StatusUsername = argv[++i];
            config.StatusValue = argv[++i];
            if (config.StatusValue != "Active" && config.StatusValue != "Suspended" &&
                config.StatusValue != "Terminated")
                throw ServiceConfigException("The standing must be Active, Suspended or Terminated.");
            continue;
        }
        if (argument == "--confirm-address") {
            if (i + 1 >= argc)
                throw ServiceConfigException("The option --confirm-address needs a user name.");
            config.ConfirmUsername = argv[++i];
            continue;
        }
        // "--option=value" or "--option value".
        std::string_view name = argument;
        std::string_view value;
        bool hasValue = false;
        if (const size_t equals = argument.find('='); equals != std::string_view::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            hasValue = true;
        }
        auto takeValue = [&]() {
            if (!hasValue) {
                if (i + 1 >= argc)
                    throw ServiceConfigException("The option " + std::string(name) + " needs a value.");
                value = argv[++i];
            }
            return std::string(value);
        };
        bool known = false;
        for (const TSetting& setting : Settings)
            if (name == setting.Option) {
                config.*setting.Field = takeValue();
                known = true;
            }
        if (name == PortOption) {
            config.Port = ReadPort(takeValue());
            known = true;
        }
        if (!known)
            throw ServiceConfigException("Unknown option \"" + std::string(argument) + "\"; see --help.");
    }
    return config;
}

std::string ServiceUsage() {
    return "Usage: tessivar-service [options]\n"
           "  --listen ADDRESS   address to listen on (TESSIVAR_SERVICE_LISTEN; default 127.0.0.1)\n"
           "  --port PORT        port to listen on (TESSIVAR_SERVICE_PORT; default 8085)\n"
           "  --database FILE    the service's database (TESSIVAR_SERVICE_DATABASE; default tessivar-service.db)\n"
           "  --outbox FOLDER    where mail is written as .eml files without a relay\n"
           "                     (TESSIVAR_SERVICE_OUTBOX; default outbox)\n"
           "  --smtp URL         SMTP relay for mail, e.g. smtp://localhost:25 (TESSIVAR_SERVICE_SMTP)\n"
           "  --base-url URL     base of the links in mail (TESSIVAR_SERVICE_BASE_URL;\n"
           "                     default http://127.0.0.1:PORT)\n"
           "  --set-account-status USERNAME Active|Suspended|Terminated\n"
           "                     change the standing of an account in the database and exit; a suspended or\n"
           "                     terminated account is told so at its next synchronisation and sends no mail\n"
           "  --confirm-address USERNAME\n"
           "                     confirm the address of an account as its owner's confirmation link would, and\n"
           "                     exit; the service sends no mail from an address before it is confirmed\n";
}
