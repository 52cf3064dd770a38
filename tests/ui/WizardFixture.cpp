#include "tests/ui/WizardFixture.h"

#include "base/URegistry.h"
#include "service/LInternet.h"
#include "service/UHTTP.h"
#include "service/UTessivarServer.h"
#include "service/UXML.h"

#include <cstdlib>
#include <filesystem>

namespace {

const char* const MailProgramKey = "Software\\Microsoft\\Internet Account Manager\\Accounts\\00000001";
const char* const Variables[] = {"TESSIVAR_HOME", "TESSIVAR_REGISTRY_DIR", "XDG_CONFIG_HOME", "TESSIVAR_SERVICE_HOST"};

} // namespace

void TWizardTest::SetUp() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessivar-wizard-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    m_Dir = pattern + "/";
    TServiceConfig config;
    config.Port = 0;
    config.DatabaseFile = m_Dir + "service.db";
    config.OutboxFolder = m_Dir + "outbox";
    m_Service = std::make_unique<TDevService>(config);
    m_Port = m_Service->Bind();
    m_ServiceThread = std::thread([this] { m_Service->Run(); });

    ::setenv("TESSIVAR_HOME", m_Dir.c_str(), 1);
    ::setenv("TESSIVAR_REGISTRY_DIR", m_Dir.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (m_Dir + "config").c_str(), 1);
    ::setenv("TESSIVAR_SERVICE_HOST", ("127.0.0.1:" + std::to_string(m_Port)).c_str(), 1);
    {
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey(MailProgramKey, true));
        registry.WriteString("Account Name", "Mail");
        registry.WriteString("SMTP Email Address", MailAccountAddress);
        registry.WriteString("POP3 User Name", "user");
        registry.WriteString("POP3 Server", "127.0.0.1");
        registry.WriteInteger("POP3 Port", 1);
    }
    m_Loop = std::make_unique<TMessageLoop>();
    m_Loop->SetQuitBeginsShutdown(false);
    m_Pump = std::make_unique<TQtCallPump>(*m_Loop);
    m_Model = std::make_unique<TTessivarBusinessLogic>(*m_Loop);
    m_Model->Startup();
}

void TWizardTest::TearDown() {
    if (m_Model) {
        m_Model->Shutdown();
        m_Model.reset();
    }
    m_Pump.reset();
    m_Loop.reset();
    StopService();
    std::filesystem::remove_all(m_Dir);
    for (const char* name : Variables)
        ::unsetenv(name);
}

void TWizardTest::StopService() {
    if (!m_Service)
        return;
    m_Service->Stop();
    m_ServiceThread.join();
    m_Service.reset();
}

std::string TWizardTest::ServiceCall(const std::string& action, const std::string& argumentXML,
                                     const std::string& field) {
    auto argumentRoot = TXMLNode::ParseString("<" + action + "><" + action + "Argument>" + argumentXML + "</" + action +
                                              "Argument></" + action + ">");
    TInternetSession session;
    THTTPConnection connection(session);
    const auto answer = SOAPCall(connection, "127.0.0.1:" + std::to_string(m_Port), "Client.asmx", *argumentRoot,
                                 ServiceNamespace, action);
    const TXMLNode* result = answer->Children().Find(action + "Result");
    if (result == nullptr)
        return "(failed)";
    const TXMLNode* errors = result->Children().Find("ErrorMessages");
    if (errors != nullptr && errors->Children().Count() > 0)
        return "(failed)";
    const TXMLNode* value = result->Children().Find(field);
    return value != nullptr ? value->Text() : std::string();
}
