#include "ui/UfrmImportWizard.h"

#include "base/UDebug.h"
#include "ui/UContactChooser.h"
#include "ui/UDialogSupport.h"
#include "ui/UMessageBox.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const char* const HelpPages[] = {"importWizard.html#Welcome", "importWizard.html#ImportContacts",
                                 "importWizard.html#Complete"};

void AddText(QVBoxLayout& layout, const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    layout.addWidget(label);
}

} // namespace

TfrmImportWizard::TfrmImportWizard(std::function<void(const std::string& page)> showHelpPage,
                                   std::function<std::vector<TContact>()> readContacts, QWidget* parent)
    : TWizardFrame(QStringLiteral("Tessivar Contact Import Wizard"), parent), m_ShowHelpPage(std::move(showHelpPage)),
      m_ReadContacts(std::move(readContacts)) {
    setObjectName("frmImportWizard");
    if (!m_ReadContacts)
        m_ReadContacts = [] { return ReadAddressBooks(UserAddressBookPlaces()); };
    QVBoxLayout* page =
        AddPage("tbpgWelcome", QStringLiteral("Import Contacts Wizard"),
                QStringLiteral("This wizard will step you through the process of importing your existing contacts "
                               "into Tessivar."));
    AddText(*page, QStringLiteral("Click Next to continue."));
    page->addStretch();
    page = AddPage("tbpgContacts", QStringLiteral("Contacts Found"),
                   QStringLiteral("Tessivar has detected some existing contact information on this computer. Would "
                                  "you like to have these automatically added to your approved senders list?"));
    m_Contacts = new TContactChooser;
    page->addWidget(m_Contacts, 1);
    // Without the list ("No thanks") the page's items stay together at the top.
    page->addStretch();
    connect(m_Contacts, &TContactChooser::ExampleRequested, this, [this] {
        if (m_ShowHelpPage)
            m_ShowHelpPage("importEmail.html");
    });
    page = AddPage("tbpgComplete", QStringLiteral("Import Complete!"),
                   QStringLiteral("Congratulations! You have completed the import wizard."));
    AddText(*page, QStringLiteral("Please click Finish to exit the wizard."));
    page->addStretch();
    AddWaitPage();
    SelectPage(WelcomePage);
}

bool TfrmImportWizard::ImportContacts(TTessivarBusinessLogic& model) {
    m_Model = &model;
    // Modal from the first drawing on, so that the Wait page is up while the address books are read.
    setWindowModality(Qt::ApplicationModal);
    CentreWindowOnDesktop(*this);
    show();
    ShowProgress(QStringLiteral("Preparing Wizard..."),
                 QStringLiteral("Please wait while the import contacts wizard prepares itself..."), false);
    std::vector<TContact> contacts;
    try {
        contacts = m_ReadContacts();
    } catch (const std::exception& error) {
        DebugException("TfrmImportWizard", error);
    }
    m_Contacts->SetContacts(std::move(contacts));
    m_Contacts->CheckAll(true);
    m_Contacts->SetConsent(false);
    SelectPage(WelcomePage);
    exec();
    m_Model = nullptr;
    return CurrentPage() == CompletePage;
}

void TfrmImportWizard::UpdateButtons() {
    const int page = CurrentPage();
    btnBack->setEnabled(page == ContactsPage);
    btnNext->setEnabled(page == WelcomePage || page == ContactsPage);
    btnFinish->setEnabled(page == CompletePage);
    btnHelp->setEnabled(true);
}

void TfrmImportWizard::NextClick() {
    if (CurrentPage() == WelcomePage) {
        SelectPage(ContactsPage);
        return;
    }
    if (CurrentPage() != ContactsPage || m_Model == nullptr)
        return;
    if (!m_Contacts->Consent()) {
        TMessageBox::Show(this, QMessageBox::Information, QStringLiteral("Permission Required"),
                          QString::fromUtf8(PermissionRequiredText), QMessageBox::Ok);
        return;
    }
    ShowProgress(QStringLiteral("Importing contacts"),
                 QStringLiteral("Please wait while Tessivar imports your contact information."), true);
    m_Contacts->ImportChecked(*m_Model, ProgressBar());
    SelectPage(CompletePage);
}

void TfrmImportWizard::BackClick() {
    if (CurrentPage() == ContactsPage)
        SelectPage(WelcomePage);
}

void TfrmImportWizard::HelpClick() {
    const int page = CurrentPage();
    if (page >= WelcomePage && page <= CompletePage && m_ShowHelpPage)
        m_ShowHelpPage(HelpPages[page]);
}

void TfrmImportWizard::FinishClick() {
    close();
}

bool TfrmImportWizard::CloseQuery() {
    if (CurrentPage() == CompletePage)
        return true;
    return TMessageBox::Show(this, QMessageBox::Warning, QStringLiteral("Confirm Exit Wizard"),
                             QStringLiteral("Are you sure you want to exit the import contacts without completing it?"),
                             QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}
