#include "service/UTessivarServer.h"

const char* const ProductionServiceHost = "services.tessivar.com";
const char* const DevelopmentServiceHost = "localhost:8080";
const char* const ServiceNamespace = "http://services.tessivar.com/";

TTessivarServer::TTessivarServer(TTessivarBusinessLogic& businessLogic, std::string serviceHost,
                                 std::string serviceNamespace)
    : m_BusinessLogic(businessLogic), m_ServiceHost(std::move(serviceHost)),
      m_ServiceNamespace(std::move(serviceNamespace)) {}

TTessivarServer::~TTessivarServer() = default;
