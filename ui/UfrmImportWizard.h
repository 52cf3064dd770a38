#pragma once
// The contact import wizard, opened modally by "Import" on the Senders page: the contacts of the
// address books, checked, and on the user's consent imported as approved senders that are told once
// that they were added. The model's data is kept. Created once and shown again and again.
// Thread contract: the user-interface thread (the model's thread) only.

#include "clients/UAddressBooks.h"
#include "ui/UWizardFrame.h"

#include <functional>
#include <string>
#include <vector>

class TContactChooser;
class TTessivarBusinessLogic;

class TfrmImportWizard : public TWizardFrame {
    Q_OBJECT
public:
    enum TPage : int { WelcomePage, ContactsPage, CompletePage, WaitPage };

    // `showHelpPage` opens a help page by name; `readContacts` reads the address books at each
    // showing (by default the user's own).
    explicit TfrmImportWizard(std::function<void(const std::string& page)> showHelpPage,
                              std::function<std::vector<TContact>()> readContacts = {}, QWidget* parent = nullptr);

    // Shows the wizard modally from the Welcome page; true when it was finished after importing.
    bool ImportContacts(TTessivarBusinessLogic& model);

protected:
    void UpdateButtons() override;
    void NextClick() override;
    void BackClick() override;
    void HelpClick() override;
    void FinishClick() override;
    bool CloseQuery() override;

private:
    std::function<void(const std::string& page)> m_ShowHelpPage;
    std::function<std::vector<TContact>()> m_ReadContacts;
    TContactChooser* m_Contacts;
    // The model of the showing under way; none between showings.
    TTessivarBusinessLogic* m_Model = nullptr;
};
