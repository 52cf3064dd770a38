#include "core/UTessivarTypes.h"

#include <gtest/gtest.h>

#include "tests/base/TraceCapture.h"

TEST(UTessivarTypes, StoredCodesReadOnlyInTheirOwnLetterCase) {
    for (const TApprovalStatus status :
         {TApprovalStatus::Undefined, TApprovalStatus::Blocked, TApprovalStatus::Approved})
        EXPECT_EQ(CodeToApprovalStatus(ApprovalStatusCode(status)), status);
    for (const TAuthenticationStatus status : {TAuthenticationStatus::Undefined, TAuthenticationStatus::Imported,
                                               TAuthenticationStatus::Pending, TAuthenticationStatus::Authenticated})
        EXPECT_EQ(CodeToAuthenticationStatus(AuthenticationStatusCode(status)), status);
    EXPECT_EQ(ApprovalStatusCode(TApprovalStatus::Undefined), "?");
    EXPECT_EQ(CodeToApprovalStatus("a"), TApprovalStatus::Undefined);
    EXPECT_EQ(CodeToApprovalStatus("b"), TApprovalStatus::Undefined);
    EXPECT_EQ(CodeToApprovalStatus("Blocked"), TApprovalStatus::Blocked); // first character only
    EXPECT_EQ(CodeToApprovalStatus(""), TApprovalStatus::Undefined);
    EXPECT_EQ(CodeToAuthenticationStatus("p"), TAuthenticationStatus::Undefined);
    EXPECT_EQ(CodeToAuthenticationStatus(""), TAuthenticationStatus::Undefined);
}

TEST(UTessivarTypes, ServerTextsReadWithoutRegardToCaseAndTraceTheApproval) {
    TTraceCapture trace;
    EXPECT_EQ(TextToApprovalStatus("APPROVED"), TApprovalStatus::Approved);
    EXPECT_EQ(TextToApprovalStatus("blocked"), TApprovalStatus::Blocked);
    EXPECT_EQ(TextToApprovalStatus("A"), TApprovalStatus::Undefined);
    EXPECT_NE(trace.Text().find("Converted [APPROVED] to 2."), std::string::npos);

    EXPECT_EQ(TextToAuthenticationStatus("authenticated"), TAuthenticationStatus::Authenticated);
    EXPECT_EQ(TextToAuthenticationStatus("IMPORTED"), TAuthenticationStatus::Imported);
    EXPECT_EQ(TextToAuthenticationStatus(" Pending"), TAuthenticationStatus::Undefined);
    EXPECT_EQ(TextToAccountStatus("terminated"), TAccountStatus::Terminated);
    EXPECT_EQ(TextToAccountStatus("Suspended"), TAccountStatus::Suspended);
    EXPECT_EQ(TextToAccountStatus(""), TAccountStatus::Undefined);
    EXPECT_EQ(ApprovalStatusText(TApprovalStatus::Blocked), "Blocked");
    EXPECT_EQ(AuthenticationStatusText(TAuthenticationStatus::Pending), "Pending");
    EXPECT_EQ(AccountStatusText(TAccountStatus::Undefined), "Undefined");
}
