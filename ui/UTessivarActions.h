#pragma once
// The actions of the main window's lists on the model: approve, block and delete mail once only,
// by sender or by domain name, "Delete All" of the blocked mail, and the senders' and domain
// names' approve/block toggle and delete. Each works on the list's selected row (nothing without
// one) inside one bracket of the model, so the lists are rebuilt once afterwards. A failure of the
// model is traced and noted in the activity log; nothing leaves an action. Thread contract: the
// model's thread (the user-interface thread) only.

#include <QString>

class QWidget;
class TEmailGrid;
class TEmailAddressGrid;
class TDomainNameGrid;

enum class TDecisionScope { OnceOnly, BySender, ByDomain };

// The email once only; or its sender, or its sender's domain name, and then the email once only.
void ApproveEmail(TEmailGrid& list, TDecisionScope scope);
void BlockEmail(TEmailGrid& list, TDecisionScope scope);
void DeleteEmail(TEmailGrid& list);
// Asks "Confirm Delete All"; on Yes deletes every email of the list. True when it deleted.
bool DeleteAllEmails(TEmailGrid& blockedMail, QWidget* parent);

// Approved records are blocked, all others approved.
void ToggleEmailAddress(TEmailAddressGrid& list);
void DeleteEmailAddress(TEmailAddressGrid& list);
void ToggleDomainName(TDomainNameGrid& list);
void DeleteDomainName(TDomainNameGrid& list);

// Button states. Every mail button needs a selected row, "Delete All" a row in the list.
bool DeleteAllEnabled(const TEmailGrid& blockedMail);
// The toggle's caption for the selected sender or domain name: "Block" when it is approved.
QString ToggleCaption(const TEmailAddressGrid& list);
QString ToggleCaption(const TDomainNameGrid& list);
