// tessivar-service: the reference web service of the screening program. It serves the SOAP
// endpoint and the sender authentication page until SIGINT or SIGTERM.

#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <iostream>
#include <pthread.h>
#include <thread>

#include "devservice/UDevService.h"
#include "devservice/UServiceLog.h"
#include "devservice/UServiceStore.h"

namespace {

int SetAccountStatus(const TServiceConfig& config) {
    try {
        TServiceStore store(config.DatabaseFile);
        const auto account = store.FindAccount(config.StatusUsername);
        if (!account) {
            std::cerr << "tessivar-service: No account \"" << config.StatusUsername << "\".\n";
            return 1;
        }
        store.SetAccountStatus(account->ID, config.StatusValue);
        ServiceLog("The account " + account->Username + " is now " + config.StatusValue + ".");
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "tessivar-service: " << error.what() << "\n";
        return 1;
    }
}

// What waited for the confirmation goes out at the account's next synchronisation with the
// running service, which this process is not.
int ConfirmAddress(const TServiceConfig& config) {
    try {
        TServiceStore store(config.DatabaseFile);
        TConfirmationView view;
        if (!store.ConfirmAddressOf(config.ConfirmUsername, view)) {
            std::cerr << "tessivar-service: No account \"" << config.ConfirmUsername << "\".\n";
            return 1;
        }
        ServiceLog("The address of " + view.Username + " (" + view.EmailAddress + ") is confirmed.");
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "tessivar-service: " << error.what() << "\n";
        return 1;
    }
}

} // namespace

int main(int argc, char** argv) {
    // Everything the service creates (database, journal, outbox) is its owner's alone.
    umask(077);
    TServiceConfig config;
    try {
        config = ReadServiceConfig(argc, argv, [](const char* name) { return std::getenv(name); });
    } catch (const ServiceConfigException& error) {
        std::cerr << "tessivar-service: " << error.Message() << "\n";
        return 2;
    }
    if (config.ShowHelp) {
        std::cout << ServiceUsage();
        return 0;
    }

    if (!config.StatusUsername.empty())
        return SetAccountStatus(config);
    if (!config.ConfirmUsername.empty())
        return ConfirmAddress(config);

    // The stop signals are taken by one thread of our own with sigwait, so the stop runs as plain
    // code and not inside a signal handler. Every thread started later inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    int result = 0;
    try {
        TDevService service(config);
        const int port = service.Bind();
        std::thread stopper([&service, stopSignals] {
            int signal = 0;
            sigwait(&stopSignals, &signal);
            service.Stop();
        });
        ServiceLog("Listening on " + config.ListenAddress + " port " + std::to_string(port) + "; links use " +
                   service.PublicBaseURL() + "; mail goes to " +
                   (config.SMTPRelayURL.empty() ? "the outbox " + config.OutboxFolder : "the relay") + ".");
        service.Run();
        // Wakes the stopper when Run ended for another reason than a signal.
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
        ServiceLog("Stopped.");
    } catch (const std::exception& error) {
        std::cerr << "tessivar-service: " << error.what() << "\n";
        result = 1;
    }
    return result;
}
