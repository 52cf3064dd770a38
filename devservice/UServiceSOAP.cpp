#include "devservice/UServiceSOAP.h"

#include "service/UXML.h"

namespace {

const char* const EnvelopeStart =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
    "<soap:Body>";
const char* const EnvelopeEnd = "</soap:Body></soap:Envelope>";

// A Synchronize of 50,000 senders stays well inside; each item costs about 130 bytes.
TXMLParseLimits RequestLimits() {
    TXMLParseLimits limits;
    limits.MaxDepth = 32;
    limits.MaxItems = 600'000;
    limits.DecodeWorkFactor = 4;
    return limits;
}

} // namespace

TSOAPRequest ReadSOAPRequest(std::string_view text) {
    std::unique_ptr<TXMLNode> envelope;
    try {
        TXMLReader reader(text, RequestLimits());
        envelope = TXMLNode::Parse(reader);
    } catch (const XMLException& error) {
        throw SOAPRequestException("The request is not well-formed XML: " + error.Message());
    }
    if (!envelope || envelope->Name() != "soap:Envelope")
        throw SOAPRequestException("The request is not a SOAP envelope.");
    const TXMLNode* body = envelope->Children().Find("soap:Body");
    if (body == nullptr || body->Children().Count() == 0)
        throw SOAPRequestException("The SOAP body holds no request.");
    TSOAPRequest request;
    request.Body = &body->Children().Items(0);
    request.Action = request.Body->Name();
    request.Envelope = std::move(envelope);
    return request;
}

std::unique_ptr<TXMLNode> NewSOAPResponse(std::string_view action) {
    auto response = std::make_unique<TXMLNode>(std::string(action) + "Response");
    response->Attributes().Add("xmlns", std::string(SOAPServiceNamespace));
    return response;
}

std::string SOAPAnswer(const TXMLNode& response) {
    return std::string(EnvelopeStart) + response.AsXML() + EnvelopeEnd;
}

std::string SOAPFault(std::string_view code, std::string_view text) {
    TXMLNode fault("soap:Fault");
    fault.Child("faultcode").SetText(std::string(code));
    fault.Child("faultstring").SetText(std::string(text));
    return std::string(EnvelopeStart) + fault.AsXML() + EnvelopeEnd;
}
