#pragma once
// Test helper for the wizards: a real model in a folder of its own (database, store, registry with
// one mail program account), its message loop pumped by Qt's event loop, and the reference web
// service running in the test process on a free loopback port. Main test thread only.

#include "core/UMessageLoop.h"
#include "core/UTessivarBusinessLogic.h"
#include "devservice/UDevService.h"
#include "ui/UQtCallPump.h"
#include "tests/ui/ProcessUntil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

class TWizardTest : public testing::Test {
protected:
    // The address of the mail program's account in the registry.
    static constexpr const char* MailAccountAddress = "user@mail.test";

    void SetUp() override;
    void TearDown() override;

    // Runs Qt's event loop until the condition holds or the time is up; returns the condition.
    static bool ProcessUntil(const std::function<bool()>& condition, int milliseconds = 20000) {
        return ProcessEventsUntil(condition, milliseconds);
    }

    // One SOAP action sent straight to the service (as another installation of the program would);
    // the text of the result's child element `field`, or "(failed)" when the answer has errors.
    std::string ServiceCall(const std::string& action, const std::string& argumentXML, const std::string& field);
    // The service stops answering (connections are refused from now on).
    void StopService();

    TTessivarBusinessLogic& Model() const { return *m_Model; }

    std::string m_Dir;
    int m_Port = 0;
    std::unique_ptr<TDevService> m_Service;
    std::thread m_ServiceThread;
    std::unique_ptr<TMessageLoop> m_Loop;
    std::unique_ptr<TTessivarBusinessLogic> m_Model;
    std::unique_ptr<TQtCallPump> m_Pump;
};
