#include "ui/UContactChooser.h"

#include "clients/UAddressBooks.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarEmailAddress.h"
#include "ui/UDialogSupport.h"

#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

const char* const PermissionRequiredText =
    "To import your contacts into Tessivar you must allow Tessivar to notify the contacts that are imported that "
    "their email address has been added to your Tessivar Approved list.\n\nPlease select the \"I understand...\" "
    "check box to import your contacts.";

TContactChooser::TContactChooser(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    lstbxContacts = new QListWidget(this);
    lstbxContacts->setObjectName("lstbxContacts");
    layout->addWidget(lstbxContacts, 1);
    auto* buttons = new QHBoxLayout;
    btnSelectAll = new QPushButton(QStringLiteral("Select All"), this);
    btnSelectAll->setObjectName("btnSelectAll");
    btnSelectNone = new QPushButton(QStringLiteral("Select None"), this);
    btnSelectNone->setObjectName("btnSelectNone");
    for (QPushButton* button : {btnSelectAll, btnSelectNone}) {
        button->setAutoDefault(false);
        buttons->addWidget(button);
    }
    buttons->addStretch();
    layout->addLayout(buttons);
    connect(btnSelectAll, &QPushButton::clicked, this, [this] { CheckAll(true); });
    connect(btnSelectNone, &QPushButton::clicked, this, [this] { CheckAll(false); });

    auto* consent = new QHBoxLayout;
    chkbxConsent = new QCheckBox(this);
    chkbxConsent->setObjectName("chkbxConsent");
    lblConsent =
        new QLabel(QStringLiteral("I understand that by importing my address book I'm agreeing to allow Tessivar "
                                  "to notify the imported contacts that they have been added to my Approved "
                                  "list."),
                   this);
    lblConsent->setObjectName("lblConsent");
    lblConsent->setWordWrap(true);
    lblConsent->installEventFilter(this);
    consent->addWidget(chkbxConsent, 0, Qt::AlignTop);
    consent->addWidget(lblConsent, 1);
    layout->addLayout(consent);
    lblExample = new QLabel(QStringLiteral("<a href=\"importEmail.html\">This notification email is sent only once. "
                                           "Click here to see an example of the email sent.</a>"),
                            this);
    lblExample->setObjectName("lblExample");
    lblExample->setWordWrap(true);
    lblExample->setTextFormat(Qt::RichText);
    connect(lblExample, &QLabel::linkActivated, this, [this] { emit ExampleRequested(); });
    layout->addWidget(lblExample);
}

bool TContactChooser::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lblConsent && event->type() == QEvent::MouseButtonRelease && lblConsent->isEnabled()) {
        chkbxConsent->toggle();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TContactChooser::SetContacts(std::vector<TContact> contacts) {
    m_Contacts = ContactListEntries(std::move(contacts));
    lstbxContacts->clear();
    for (const TContact& contact : m_Contacts) {
        auto* item = new QListWidgetItem(ToQString(ContactEntryText(contact)), lstbxContacts);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Checked);
    }
}

void TContactChooser::CheckAll(bool checked) {
    for (int i = 0; i < lstbxContacts->count(); ++i)
        lstbxContacts->item(i)->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
}

bool TContactChooser::Consent() const {
    return chkbxConsent->isChecked();
}

void TContactChooser::SetConsent(bool checked) {
    chkbxConsent->setChecked(checked);
}

bool TContactChooser::ImportChecked(TTessivarBusinessLogic& model, QProgressBar& bar) const {
    bar.setMaximum(std::max(Count() - 1, 0));
    return ApplyToModel(model, "TContactChooser", [&] {
        for (int i = 0; i < Count(); ++i) {
            if (lstbxContacts->item(i)->checkState() != Qt::Checked)
                continue;
            const TContact& contact = m_Contacts[static_cast<size_t>(i)];
            TTessivarEmailAddress& sender = model.AddEmailAddress(contact.EmailAddress, contact.DisplayName);
            {
                TUpdateScope<TTessivarEmailAddress> scope(sender);
                sender.Approve();
                sender.SetAuthenticationStatus(TAuthenticationStatus::Imported);
            }
            bar.setValue(i);
            bar.repaint();
        }
    });
}
