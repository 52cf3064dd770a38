#pragma once
// The wizards' choice of contacts: the sorted check list of the address books' contacts, "Select
// All", "Select None", the consent box with its label (a click on the label toggles the box) and
// the link to the example of the notice imported contacts receive. Also the import of the checked
// contacts as approved, imported senders. Thread contract: the user-interface thread (the model's
// thread) only.

#include "clients/UVCard.h"

#include <QWidget>

#include <functional>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class TTessivarBusinessLogic;

class TContactChooser : public QWidget {
    Q_OBJECT
public:
    explicit TContactChooser(QWidget* parent = nullptr);

    // Replaces the list: sorted by entry text, no entry text twice, every contact checked.
    void SetContacts(std::vector<TContact> contacts);
    int Count() const { return static_cast<int>(m_Contacts.size()); }
    void CheckAll(bool checked);
    bool Consent() const;
    void SetConsent(bool checked);

    // Adds every checked contact, in list order, as a sender, approved and marked imported, in one
    // bracket of the model, moving the bar to each entry's index. False when the model refused (the
    // failure is traced and noted in the activity log).
    bool ImportChecked(TTessivarBusinessLogic& model, QProgressBar& bar) const;

signals:
    // The link to the example notice was clicked.
    void ExampleRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::vector<TContact> m_Contacts;
    QListWidget* lstbxContacts;
    QPushButton* btnSelectAll;
    QPushButton* btnSelectNone;
    QCheckBox* chkbxConsent;
    QLabel* lblConsent;
    QLabel* lblExample;
};

// The message of a consent box left clear, titled "Permission Required".
extern const char* const PermissionRequiredText;
