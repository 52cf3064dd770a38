#pragma once
// The channel to the Tessivar web service. Thread contract: created, used and destroyed on the
// model's thread.

#include <string>

class TTessivarBusinessLogic;

// Host of the web service, and the development host used with the "local" switch.
extern const char* const ProductionServiceHost;
extern const char* const DevelopmentServiceHost;
// Namespace of the service's messages and prefix of every SOAP action.
extern const char* const ServiceNamespace;

class TTessivarServer {
public:
    // Opens nothing: no traffic happens before the first request.
    TTessivarServer(TTessivarBusinessLogic& businessLogic, std::string serviceHost, std::string serviceNamespace);
    ~TTessivarServer();
    TTessivarServer(const TTessivarServer&) = delete;
    TTessivarServer& operator=(const TTessivarServer&) = delete;

    TTessivarBusinessLogic& BusinessLogic() const { return m_BusinessLogic; }
    const std::string& ServiceHost() const { return m_ServiceHost; }
    const std::string& ServiceNamespace() const { return m_ServiceNamespace; }

private:
    TTessivarBusinessLogic& m_BusinessLogic;
    const std::string m_ServiceHost;
    const std::string m_ServiceNamespace;
};
