#pragma once
// The unlock window: asks for the unlock password of the access lock before the main window opens.
// A top-level window with a task-bar button of its own, created once and shown modally again and
// again. Thread contract: the user-interface thread (the model's thread) only.

#include <QDialog>

class QLineEdit;
class QPushButton;
class TTessivarBusinessLogic;

class TfrmUnlock : public QDialog {
    Q_OBJECT
public:
    explicit TfrmUnlock(QWidget* parent = nullptr);

    // Clears the password, shows the window modally; true when closed with OK (right password).
    bool UnlockWindow(TTessivarBusinessLogic& model);

private:
    // "Ok": closes with OK only when the text typed is the unlock password, letter case included.
    void btnOkClick();

    QLineEdit* edtUnlockPassword;
    QPushButton* btnOk;
    QPushButton* btnCancel;
    // The model of the showing under way; none between showings.
    TTessivarBusinessLogic* m_Model = nullptr;
};
