#pragma once
// Judging an HTTP request from the bytes received so far, before anything of it is parsed by the
// HTTP library: is its head complete, within the bounds, and how long is the body that follows?
// The service reads each request whole under these bounds and only then hands it on, so that a
// client can neither make it hold an unbounded body nor keep a thread waiting.
// Thread contract: a pure function of text; any thread.

#include <cstddef>
#include <string>
#include <string_view>

struct TRequestHead {
    enum class TState {
        // More bytes are needed.
        Incomplete,
        // The head is complete; the body of BodyBytes follows.
        Complete,
        // The request is refused with Status.
        Refused,
    };
    TState State = TState::Incomplete;
    int Status = 0;
    // Bytes of the head as received, up to and with the empty line.
    size_t HeadBytes = 0;
    size_t BodyBytes = 0;
    // The client waits for "100 Continue" before it sends the body.
    bool ExpectsContinue = false;
    // The head to hand on: as received, without the Expect line (the service answers that itself).
    std::string Head;
};

// Lines end in CR LF. A body needs a Content-Length within the limit: any Transfer-Encoding, or a
// POST, PUT, PATCH or DELETE without a length, is refused with 411; a longer body with 413; a head
// beyond the byte or line bound with 431; a malformed length with 400.
TRequestHead InspectRequestHead(std::string_view received);

// "HTTP/1.1 <status> <reason>" with Connection: close and no body, for refusals.
std::string RefusalResponse(int status);
