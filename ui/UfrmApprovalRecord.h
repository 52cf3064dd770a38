#pragma once
// What the domain name and sender windows share: their own edits on top, then "Approval Status"
// with the list of "Approved" and "Blocked", "Notes", "Ok" and "Cancel"; placed centred over the
// main window before each showing. Thread contract: the user-interface thread (the model's thread)
// only.

#include <QDialog>

#include <string>

class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QVBoxLayout;
class TTessivarApprovalRecord;

class TfrmApprovalRecord : public QDialog {
    Q_OBJECT
protected:
    TfrmApprovalRecord(const QString& objectName, const QString& designCaption, QWidget* parent);

    // A labelled one-line edit below those added before.
    QLineEdit* AddEdit(const QString& label, const QString& objectName);
    // The approval list, notes and buttons below the edits.
    void FinishLayout();
    // The approval list and notes: "Blocked" selected when `blocked`.
    void ShowApproval(bool blocked, const std::string& notes);
    // Caption, placement and focus, then the modal showing; true for OK.
    bool ShowFor(QWidget& mainWindow, const QString& caption, QWidget& focus);
    // Approval and notes from the fields, in one bracket of the record.
    void ApplyFields(TTessivarApprovalRecord& record) const;

    QComboBox* cmbApproval = nullptr;
    QPlainTextEdit* mmoNotes = nullptr;
    QPushButton* btnOk = nullptr;
    QPushButton* btnCancel = nullptr;

private:
    QVBoxLayout* m_Layout;
};
