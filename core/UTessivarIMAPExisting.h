#pragma once
// Approving the senders of the mail already in an IMAP account's INBOX when the account is set up,
// so that the people the user corresponds with are not challenged. Model's thread only.

class TTessivarAccount;
class TTessivarBusinessLogic;

// Marks the senders of the messages that reached the account's INBOX in the last 90 days approved,
// as a contact import does (UTessivarIMAPExisting.cpp). Raises the IMAP connection's exceptions.
void ApproveExistingIMAPSenders(TTessivarBusinessLogic& model, TTessivarAccount& account);
