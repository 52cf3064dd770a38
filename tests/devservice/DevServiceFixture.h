#pragma once
// A web service running inside the test process on a free loopback port, with its own database
// and outbox in a fresh folder and a clock the test can move forward. SOAP requests travel through
// the program's own SOAP call, so what is tested is what the program sends and reads.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devservice/UDevService.h"
#include "service/UXML.h"

struct THTTPResult {
    long Status = 0;
    std::string Body;
};

// Raw HTTP through libcurl; a transfer that fails has status 0 and the error as body.
THTTPResult HTTPGet(const std::string& url);
THTTPResult HTTPPost(const std::string& url, const std::string& body, const std::string& contentType);

class DevServiceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Moves the service's clock forward.
    void AdvanceDays(int days) { *m_Now += int64_t{days} * 24 * 3600; }

    // Sends the action with the argument elements given as XML text; returns the action's result
    // element ("...Result"), or the whole answer element when there is none (a fault).
    std::unique_ptr<TXMLNode> Call(const std::string& action, const std::string& argumentXML);
    // The result of one call, kept alive by the fixture.
    TXMLNode& Result(const std::string& action, const std::string& argumentXML);

    THTTPResult Get(const std::string& url);
    THTTPResult Post(const std::string& url, const std::string& body, const std::string& contentType);

    std::vector<std::string> OutboxMails() const;
    // Follows the address confirmation link found in the outbox, as the account's owner would, and
    // takes that mail out of the outbox; false when there is none or the link is refused.
    bool ConfirmAddress();
    std::string BaseURL() const { return "http://127.0.0.1:" + std::to_string(m_Port); }

    std::filesystem::path m_Folder;
    std::unique_ptr<TDevService> m_Service;
    int m_Port = 0;
    // Seconds since 1970, shared with the service's clock.
    std::shared_ptr<std::atomic<int64_t>> m_Now = std::make_shared<std::atomic<int64_t>>(1'800'000'000);

private:
    std::thread m_Runner;
    std::vector<std::unique_ptr<TXMLNode>> m_Answers;
};

// The text of a child element, or "(missing)".
std::string ChildText(const TXMLNode& node, const std::string& name);
// The number of "ErrorMessage" entries under "ErrorMessages".
int ErrorCount(const TXMLNode& result);
// The "Code" of the first error entry, or empty.
std::string ErrorCode(const TXMLNode& result);
// The value of a header line "Name: value" of a mail, or empty.
std::string MailHeader(const std::string& mail, const std::string& name);
