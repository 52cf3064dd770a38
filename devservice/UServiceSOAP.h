#pragma once
// The SOAP 1.1 envelope of the service endpoint: reading a request, writing an answer or a fault.
// Requests are parsed with bounds far below the program's own (a request body is at most a few
// MiB), so that a hostile request costs little memory. Thread contract: free functions, any thread.

#include <memory>
#include <string>
#include <string_view>

#include "base/UException.h"

class TXMLNode;

TESSIVAR_EXCEPTION(SOAPRequestException, Exception);

// The namespace of the service's messages, also the prefix of every SOAPAction.
inline constexpr std::string_view SOAPServiceNamespace = "http://services.tessivar.com/";

struct TSOAPRequest {
    // The name of the body's element, e.g. "Synchronize".
    std::string Action;
    // The parsed envelope, owned, and the action's element inside it.
    std::unique_ptr<TXMLNode> Envelope;
    const TXMLNode* Body = nullptr;
};

// SOAPRequestException with a reason for text that is no envelope or has no element in its body.
TSOAPRequest ReadSOAPRequest(std::string_view text);
// An answer element named action + "Response" in the service's namespace; the caller fills its
// child action + "Result".
std::unique_ptr<TXMLNode> NewSOAPResponse(std::string_view action);
// The envelope around the answer element.
std::string SOAPAnswer(const TXMLNode& response);
// The envelope around a soap:Fault with the code ("soap:Client" or "soap:Server") and the text.
std::string SOAPFault(std::string_view code, std::string_view text);
