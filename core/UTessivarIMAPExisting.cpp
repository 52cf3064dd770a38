// Stand-in until the IMAP screener provides the approval of the existing senders: it tells the
// caller plainly that nothing was approved.
#include "core/UTessivarIMAPExisting.h"

#include "base/UException.h"

void ApproveExistingIMAPSenders(TTessivarBusinessLogic&, TTessivarAccount&) {
    throw Exception("approving the senders of existing mail is not available in this build");
}
