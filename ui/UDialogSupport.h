#pragma once
// What the small modal windows share: placing a window, masked password edits, the conversions
// between the program's text and Qt's, and applying a change to the model without letting a failure
// into Qt's event handling. Thread contract: the user-interface thread (the model's thread) only.

#include <QString>

#include <functional>
#include <string>

class QBoxLayout;
class QComboBox;
class QDialog;
class QLineEdit;
class QPushButton;
class QWidget;
class TTessivarApprovalRecord;
class TTessivarBusinessLogic;

// The program's 8-bit text (UTF-8 but for stray bytes) as Qt's, and back as UTF-8.
QString ToQString(const std::string& text);
std::string ToText(const QString& text);
// Characters, not UTF-16 units: what the password length rules count.
int CharacterCount(const QString& text);

// Centres the window over another one: left = other's left + (other's width - width) div 2, and
// the same for the top.
void CentreWindowOver(QWidget& window, const QWidget& other);
// Centres the window on the available area of the primary screen.
void CentreWindowOnDesktop(QWidget& window);

// Keeps the window at least as wide as its caption needs in a title bar (with the frame's icon and
// buttons), now and whenever the caption changes.
void KeepCaptionReadable(QWidget& window);
// The smallest width at which the caption can be read in a title bar.
int CaptionWidth(const QWidget& window);

// Opens the address in the user's web browser (through `open`, by default the desktop's). Where
// none can be opened (no browser installed, or none for this user), a message box gives the user
// the address to open. False then.
bool OpenInWebBrowser(QWidget* parent, const QString& url, const std::function<bool(const QString&)>& open = {});

// Shows every character typed as "*". The edit owns the style that draws it.
void MaskEdit(QLineEdit& edit);

// Runs the change inside one bracket of the model. A failure is traced under the window's class
// name and noted in the activity log; returns false then.
bool ApplyToModel(TTessivarBusinessLogic& model, const char* windowClass, const std::function<void()>& change);

// The approval drop-down list of the record windows: exactly "Approved" and "Blocked".
QComboBox* NewApprovalList(QWidget& parent);
bool BlockedSelected(const QComboBox& list);
void SelectBlocked(QComboBox& list, bool blocked);
// "Blocked" selected: Block, else Approve; then the notes; in one bracket of the record.
void ApplyApproval(TTessivarApprovalRecord& record, bool blocked, const std::string& notes);

// An "Ok" (default) and a "Cancel" button at the end of the layout; Cancel closes the window with
// Cancel, and the caller connects Ok. Returns the Ok button (named "btnOk"); the Cancel button is
// named "btnCancel".
QPushButton* AddOkCancel(QDialog& window, QBoxLayout& layout, QPushButton** cancel = nullptr);
