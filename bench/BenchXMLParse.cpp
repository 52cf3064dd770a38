// Parsing a synchronisation answer: the XML tree parser against libxml2's reader on the same text in
// memory. The answer is built with the tree itself, in the layout the service sends: a SOAP envelope
// around SynchronizeResponse/SynchronizeResult with the account's settings, one DomainNameStatus per
// domain name and one EmailAddressStatus per sender.
//
//   bench_xml_parse [senders domains]        default 20000 5000; the doubled size is measured too

#include <libxml/xmlreader.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchRounds.h"
#include "service/UXML.h"

namespace {

using TClock = std::chrono::steady_clock;

constexpr int Rounds = 7;

const char* const ApprovalTexts[] = {"Approved", "Blocked", "Undefined"};
const char* const AuthenticationTexts[] = {"Imported", "Pending", "Authenticated", "Undefined"};

std::string DomainName(int index) {
    return "domain" + std::to_string(index) + (index % 3 == 0 ? ".example.com" : ".example.org");
}

std::string BuildAnswer(int senders, int domains) {
    TXMLNode envelope("soap:Envelope");
    envelope.Attributes().Add("xmlns:xsi", "http://www.w3.org/2001/XMLSchema-instance");
    envelope.Attributes().Add("xmlns:xsd", "http://www.w3.org/2001/XMLSchema");
    envelope.Attributes().Add("xmlns:soap", "http://schemas.xmlsoap.org/soap/envelope/");
    TXMLNode& response = envelope.Child("soap:Body").Child("SynchronizeResponse");
    response.Attributes().Add("xmlns", "http://services.tessivar.com/");
    TXMLNode& result = response.Child("SynchronizeResult");
    result.Child("Generated").SetAsDateTime(EncodeDateTime(2026, 12, 7, 10, 15, 0, 123));
    result.Child("DataVersion").SetAsInteger(48213);
    result.Child("AccountStatus").SetText("Undefined");
    result.Child("SoftwareVersion").SetText("01.02.0000");
    TXMLNode& settings = result.Child("AccountSettings");
    settings.Child("Signature").SetText("Screened by Tessivar <https://www.tessivar.com/> & friends");
    settings.Child("BlockedWords").SetText("casino, lottery, winner");
    settings.Child("AdultWords").SetText("adult, explicit");
    settings.Child("UnlockPassword").SetText("");
    settings.Child("LockAccess").SetAsBoolean(false);

    TXMLNode& domainList = result.Child("DomainNameStatuses");
    for (int i = 0; i < domains; ++i) {
        TXMLNode& status = domainList.Children().Add("DomainNameStatus");
        status.Child("DomainName").SetText(DomainName(i));
        status.Child("ApprovalStatus").SetText(ApprovalTexts[i % 3]);
        status.Child("Notes").SetText(i % 7 == 0 ? "Suppliers & partners" : "");
        status.Child("Deleted").SetAsBoolean(i % 50 == 0);
    }
    TXMLNode& senderList = result.Child("EmailAddressStatuses");
    for (int i = 0; i < senders; ++i) {
        TXMLNode& status = senderList.Children().Add("EmailAddressStatus");
        status.Child("EmailAddress").SetText("sender" + std::to_string(i) + "@" + DomainName(i % std::max(1, domains)));
        status.Child("DisplayName")
            .SetText(i % 5 == 0 ? "Ren\xC3\xA9"
                                  "e \"R\" M\xC3\xBCller"
                                : "Sender " + std::to_string(i));
        status.Child("ApprovalStatus").SetText(ApprovalTexts[i % 3]);
        status.Child("AuthenticationStatus").SetText(AuthenticationTexts[i % 4]);
        status.Child("Notes").SetText(i % 11 == 0 ? "Met at the fair <booth 12>" : "");
        status.Child("Deleted").SetAsBoolean(false);
    }
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>" + envelope.AsXML();
}

// Parses into a tree and frees it, checking the tree has the built shape.
double ParseWithTree(const std::string& text, int senders) {
    const auto start = TClock::now();
    std::unique_ptr<TXMLNode> root = TXMLNode::ParseString(text);
    const TXMLNode& result = root->Child("soap:Body").Children().Items(0).Child("SynchronizeResult");
    if (result.Children().Find("EmailAddressStatuses")->Children().Count() != senders) {
        std::fprintf(stderr, "the tree lost senders\n");
        std::exit(1);
    }
    root.reset();
    return std::chrono::duration<double>(TClock::now() - start).count();
}

// Walks every node with libxml2's reader, touching each name and value as the tree parser does.
double ParseWithLibxml2(const std::string& text, long& nodes) {
    const auto start = TClock::now();
    xmlTextReaderPtr reader = xmlReaderForMemory(text.data(), static_cast<int>(text.size()), nullptr, "UTF-8", 0);
    if (reader == nullptr) {
        std::fprintf(stderr, "libxml2 refused the text\n");
        std::exit(1);
    }
    nodes = 0;
    size_t bytes = 0;
    int status;
    while ((status = xmlTextReaderRead(reader)) == 1) {
        ++nodes;
        if (const xmlChar* name = xmlTextReaderConstName(reader))
            bytes += static_cast<size_t>(xmlStrlen(name));
        if (const xmlChar* value = xmlTextReaderConstValue(reader))
            bytes += static_cast<size_t>(xmlStrlen(value));
    }
    xmlFreeTextReader(reader);
    if (status != 0 || bytes == 0) {
        std::fprintf(stderr, "libxml2 failed to read the text\n");
        std::exit(1);
    }
    return std::chrono::duration<double>(TClock::now() - start).count();
}

// Rounds alternate between the two parsers; returns the tree parser's median seconds.
double Measure(int senders, int domains) {
    const std::string text = BuildAnswer(senders, domains);
    TRounds tree, libxml2;
    long nodes = 0;
    for (int round = 0; round < Rounds; ++round) {
        tree.Add(ParseWithTree(text, senders));
        libxml2.Add(ParseWithLibxml2(text, nodes));
    }
    const double treeSeconds = tree.Median(), libxml2Seconds = libxml2.Median();
    const double megabytes = static_cast<double>(text.size()) / (1024 * 1024);
    std::printf("%6d senders %5d domains  %6.2f MB  %8ld reader nodes\n", senders, domains, megabytes, nodes);
    std::printf("    TXMLNode  %s  (%6.1f ms/MB)\n", tree.Summary("ms", 1000, 1).c_str(),
                treeSeconds * 1000 / megabytes);
    std::printf("    libxml2   %s  (%6.1f ms/MB)\n", libxml2.Summary("ms", 1000, 1).c_str(),
                libxml2Seconds * 1000 / megabytes);
    std::printf("    ratio of each round %s  (goal: at most 3x)\n",
                TRounds::Ratios(tree, libxml2).Summary("", 1, 2).c_str());
    return treeSeconds;
}

} // namespace

int main(int argc, char** argv) {
    const int senders = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int domains = argc > 2 ? std::atoi(argv[2]) : 5000;
    if (senders <= 0 || domains <= 0) {
        std::fprintf(stderr, "usage: bench_xml_parse [senders domains]\n");
        return 2;
    }
    LIBXML_TEST_VERSION
    std::printf("Median of %d rounds, parse and free, text in memory:\n", Rounds);
    const double single = Measure(senders, domains);
    const double doubled = Measure(senders * 2, domains * 2);
    std::printf("Doubled size takes %.2fx the time (linear: about 2x)\n", doubled / single);
    xmlCleanupParser();
    return 0;
}
