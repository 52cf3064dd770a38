// Mutated SOAP requests straight into the endpoint's handler: whatever arrives, the answer is an
// envelope (a result or a fault) and nothing crashes, hangs or leaks. Deterministic and bounded.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>

#include "devservice/UServiceActions.h"
#include "devservice/UServiceMail.h"
#include "devservice/UServiceStore.h"

namespace {

const std::string Seed =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
    "<soap:Body><Synchronize xmlns=\"http://services.tessivar.com/\"><SynchronizeArgument>"
    "<Generated>2026-12-07T10:15:00.1230000+01:00</Generated><Username>fuzz@example.org</Username>"
    "<Password>pw</Password><SoftwareVersion>01.02.0000</SoftwareVersion><ClientDataVersion>0</ClientDataVersion>"
    "<AccountSettings><Signature>s</Signature><BlockedWords>a, b</BlockedWords><AdultWords/><UnlockPassword/>"
    "<LockAccess>yes</LockAccess></AccountSettings><DomainNameStatuses><DomainNameStatus><DomainName>x.com"
    "</DomainName><ApprovalStatus>Blocked</ApprovalStatus><Notes>&amp;&#233;</Notes><Deleted>false</Deleted>"
    "</DomainNameStatus></DomainNameStatuses><EmailAddressStatuses><EmailAddressStatus><EmailAddress>a@x.com"
    "</EmailAddress><DisplayName>A</DisplayName><ApprovalStatus/><AuthenticationStatus>Pending"
    "</AuthenticationStatus><Notes/><Deleted/></EmailAddressStatus></EmailAddressStatuses>"
    "<EmailAddressesRequiringAuthorization><EmailAddressRequiringAuthorization><FromEmailAddress>a@x.com"
    "</FromEmailAddress><FromDisplayName>A</FromDisplayName><ToEmailAddress>fuzz@example.org</ToEmailAddress>"
    "<ToDisplayName/><Subject>hi</Subject><Received>2026-12-07T10:15:00</Received>"
    "</EmailAddressRequiringAuthorization></EmailAddressesRequiringAuthorization></SynchronizeArgument>"
    "</Synchronize></soap:Body></soap:Envelope>";

std::string Mutate(std::string text, std::mt19937& random) {
    const std::string pieces[] = {"<", ">", "/", "&", "&#", ";", "\"", "<a>", "</a>", "\0", "\xff", "\r\n", "'"};
    const int steps = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < steps && !text.empty(); ++i) {
        const size_t at = random() % text.size();
        switch (random() % 5) {
        case 0:
            text.erase(at, 1 + random() % 16);
            break;
        case 1:
            text.insert(at, pieces[random() % std::size(pieces)]);
            break;
        case 2:
            text[at] = static_cast<char>(random());
            break;
        case 3:
            text.insert(at, text.substr(random() % text.size(), random() % 200));
            break;
        default:
            text.resize(at);
            break;
        }
    }
    return text;
}

} // namespace

TEST(ServiceRequestFuzz, MutatedRequestsAlwaysGetAnEnvelope) {
    std::random_device device;
    const auto folder = std::filesystem::temp_directory_path() / ("tessivar-fuzz-" + std::to_string(device()));
    std::filesystem::create_directories(folder);
    {
        TServiceStore store((folder / "service.db").string());
        auto transport = NewOutboxTransport((folder / "outbox").string());
        TServiceMailer mailer(*transport, "http://127.0.0.1:8085", [] { return int64_t{1'800'000'000}; });
        TServiceActions actions(store, mailer, [] { return int64_t{1'800'000'000}; });
        ASSERT_TRUE(store.CreateAccount("fuzz@example.org", HashPassword("pw"), "fuzz@example.org", "", 0));

        std::mt19937 random(20261208);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
        int runs = 0;
        for (; runs < 2000 && std::chrono::steady_clock::now() < deadline; ++runs) {
            const std::string input = Mutate(Seed, random);
            const TServiceReply reply = actions.Handle(input);
            ASSERT_TRUE(reply.Status == 200 || reply.Status == 500) << input;
            ASSERT_EQ(reply.Body.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope", 0), 0u) << input;
            ASSERT_EQ(reply.Status == 500, reply.Body.find("<soap:Fault>") != std::string::npos) << input;
        }
        EXPECT_GT(runs, 100);
    }
    std::filesystem::remove_all(folder);
}
