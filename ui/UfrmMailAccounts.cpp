#include "ui/UfrmMailAccounts.h"

#include "core/UIMAPAccountSetup.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "mail/UIMAPMailbox.h"
#include "ui/UDialogSupport.h"
#include "ui/UMessageBox.h"
#include "ui/UfrmIMAPAccount.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "base/LStrings.h"

namespace {

// Entries of IMAP accounts carry the account's ID; those of POP3 addresses none.
constexpr int AccountIDRole = Qt::UserRole;

QString IMAPEntryText(const TTessivarAccount& account) {
    const TIMAPServer server = account.IMAPServer();
    return ToQString(server.EmailAddress + " (IMAP, " + server.Host + ":" + std::to_string(server.Port) + ", " +
                     IMAPSecurityText(server.Security) + ")");
}

} // namespace

TfrmMailAccounts::TfrmMailAccounts(QWidget* parent) : QDialog(parent), m_Connect(ConnectIMAP) {
    setObjectName(QStringLiteral("frmMailAccounts"));
    setWindowTitle(QStringLiteral("Mail Accounts"));
    KeepCaptionReadable(*this);
    setWindowFlag(Qt::WindowStaysOnTopHint);
    auto* layout = new QVBoxLayout(this);
    auto* prompt = new QLabel(
        QStringLiteral("Place a check mark against all the accounts you wish to have Tessivar screen for you."), this);
    prompt->setObjectName(QStringLiteral("lblPrompt"));
    prompt->setWordWrap(true);
    layout->addWidget(prompt);
    lstbxAccounts = new QListWidget(this);
    lstbxAccounts->setObjectName(QStringLiteral("lstbxAccounts"));
    layout->addWidget(lstbxAccounts, 1);
    auto* addRow = new QHBoxLayout;
    auto* addIMAP = new QPushButton(QStringLiteral("Add IMAP Account..."), this);
    addIMAP->setObjectName(QStringLiteral("btnAddIMAP"));
    addRow->addWidget(addIMAP);
    addRow->addStretch();
    layout->addLayout(addRow);

    auto* foundLabel = new QLabel(QStringLiteral("IMAP accounts found in Thunderbird, which Tessivar can screen on "
                                                 "their server (Thunderbird's settings stay as they are):"),
                                  this);
    foundLabel->setObjectName(QStringLiteral("lblFound"));
    foundLabel->setWordWrap(true);
    layout->addWidget(foundLabel);
    lstbxFound = new QListWidget(this);
    lstbxFound->setObjectName(QStringLiteral("lstbxFound"));
    lstbxFound->setMaximumHeight(90);
    layout->addWidget(lstbxFound);
    auto* foundRow = new QHBoxLayout;
    btnAddFound = new QPushButton(QStringLiteral("Add Selected Account..."), this);
    btnAddFound->setObjectName(QStringLiteral("btnAddFound"));
    foundRow->addWidget(btnAddFound);
    foundRow->addStretch();
    layout->addLayout(foundRow);
    // Shown only when Thunderbird has any.
    m_FoundWidgets = {foundLabel, lstbxFound, btnAddFound};

    QPushButton* ok = AddOkCancel(*this, *layout);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(addIMAP, &QPushButton::clicked, this, [this] { AddIMAP(nullptr); });
    connect(btnAddFound, &QPushButton::clicked, this, [this] {
        const int row = lstbxFound->currentRow() >= 0 ? lstbxFound->currentRow() : 0;
        if (row < static_cast<int>(m_Found.size()))
            AddIMAP(&m_Found[row].Server);
    });
    connect(lstbxFound, &QListWidget::itemDoubleClicked, btnAddFound, &QPushButton::click);
    resize(440, 320);
}

TfrmMailAccounts::~TfrmMailAccounts() = default;

TfrmIMAPAccount& TfrmMailAccounts::IMAPAccountWindow() {
    // Made at its first use: most runs never add an account.
    if (!m_IMAPAccount)
        m_IMAPAccount = new TfrmIMAPAccount(
            [this](const TIMAPServer& server, const std::string& password, const std::string& trusted, int timeoutMs,
                   const std::shared_ptr<TAbortSignal>& abort) {
                return m_Connect(server, password, trusted, timeoutMs, abort);
            },
            this);
    return *m_IMAPAccount;
}

void TfrmMailAccounts::Fill(TTessivarBusinessLogic& model) {
    lstbxAccounts->clear();
    for (int i = 0; i < model.AccountCount(); ++i) {
        const TTessivarAccount& account = model.Accounts(i);
        if (account.IsIMAP()) {
            auto* item = new QListWidgetItem(IMAPEntryText(account), lstbxAccounts);
            item->setData(AccountIDRole, account.ID());
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
            item->setCheckState(account.Enabled() ? Qt::Checked : Qt::Unchecked);
            continue;
        }
        if (!account.HasMailClientAccounts())
            continue;
        const QString address = ToQString(account.EmailAddress());
        // The same address is listed once; an entry stands for every account of that address.
        if (!lstbxAccounts->findItems(address, Qt::MatchExactly | Qt::MatchCaseSensitive).isEmpty())
            continue;
        auto* item = new QListWidgetItem(address, lstbxAccounts);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        item->setCheckState(account.Enabled() ? Qt::Checked : Qt::Unchecked);
    }
}

void TfrmMailAccounts::FillFound(TTessivarBusinessLogic& model) {
    m_Found.clear();
    lstbxFound->clear();
    for (TThunderbirdIMAPAccount& found : FindThunderbirdIMAPAccounts()) {
        bool added = false;
        for (int i = 0; i < model.AccountCount() && !added; ++i) {
            const TTessivarAccount& account = model.Accounts(i);
            added = account.IsIMAP() && SameText(account.EmailAddress(), found.Server.EmailAddress) &&
                    SameText(account.RemoteServer(), found.Server.Host) && account.Username() == found.Server.Username;
        }
        if (added)
            continue;
        new QListWidgetItem(ToQString(found.Server.EmailAddress + " (" + found.Server.Host + ", Thunderbird profile " +
                                      found.Profile + ")"),
                            lstbxFound);
        m_Found.push_back(std::move(found));
    }
    for (QWidget* widget : m_FoundWidgets)
        widget->setVisible(!m_Found.empty());
    if (!m_Found.empty())
        lstbxFound->setCurrentRow(0);
}

void TfrmMailAccounts::AddIMAP(const TIMAPServer* found) {
    if (!m_Model)
        return;
    // The entry may be gone once the list is filled again: the window works on a copy.
    const std::optional<TIMAPServer> entries = found ? std::optional<TIMAPServer>(*found) : std::nullopt;
    TTessivarAccount* added = IMAPAccountWindow().AddIMAPAccount(*m_Model, entries ? &*entries : nullptr);
    if (!added)
        return;
    m_Added = true;
    // Check marks the user changed stay as they are; the new account joins the list, checked.
    bool listed = false;
    for (int i = 0; i < lstbxAccounts->count(); ++i)
        listed = listed || lstbxAccounts->item(i)->data(AccountIDRole) == QVariant(added->ID());
    if (!listed) {
        auto* item = new QListWidgetItem(IMAPEntryText(*added), lstbxAccounts);
        item->setData(AccountIDRole, added->ID());
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        item->setCheckState(Qt::Checked);
    }
    FillFound(*m_Model);
}

bool TfrmMailAccounts::EditMailAccounts(TTessivarBusinessLogic& model) {
    m_Model = &model;
    m_Added = false;
    Fill(model);
    FillFound(model);
    CentreWindowOnDesktop(*this);
    const bool accepted = exec() == QDialog::Accepted;
    m_Model = nullptr;
    if (!accepted)
        return m_Added;
    struct TEntry {
        std::string Address;
        QVariant AccountID;
        bool Checked;
    };
    std::vector<TEntry> entries;
    for (int i = 0; i < lstbxAccounts->count(); ++i) {
        const QListWidgetItem* item = lstbxAccounts->item(i);
        entries.push_back({ToText(item->text()), item->data(AccountIDRole), item->checkState() == Qt::Checked});
    }
    // Accounts switched before a failure stay switched, so the warning is due all the same.
    bool changed = false;
    bool mailProgramsChanged = false;
    std::string imapDisabled;
    std::string refused;
    ApplyToModel(model, "TfrmMailAccounts", [&] {
        for (const TEntry& entry : entries)
            for (int i = 0; i < model.AccountCount(); ++i) {
                TTessivarAccount& account = model.Accounts(i);
                const bool matches = entry.AccountID.isValid()
                                         ? account.IsIMAP() && account.ID() == entry.AccountID.toInt()
                                         : !account.IsIMAP() && account.EmailAddress() == entry.Address;
                if (matches && account.Enabled() != entry.Checked) {
                    // One mailbox is screened one way only; the way screened first stays.
                    if (entry.Checked && ScreenedTheOtherWay(model, account)) {
                        refused += "\n" + account.EmailAddress() + (account.IsIMAP() ? " (IMAP)" : " (mail program)");
                        continue;
                    }
                    changed = true;
                    mailProgramsChanged = mailProgramsChanged || !account.IsIMAP();
                    account.SetEnabled(entry.Checked);
                    if (account.IsIMAP() && !entry.Checked)
                        imapDisabled += account.EmailAddress() + ": " + IMAPDisabledText(account);
                }
            }
    });
    if (mailProgramsChanged)
        TMessageBox::Show(this, QMessageBox::Warning, QStringLiteral("Warning"),
                          QStringLiteral("You will need to restart any mail clients you have running for these "
                                         "changes to take effect."),
                          QMessageBox::Ok);
    if (!refused.empty())
        TMessageBox::Show(this, QMessageBox::Warning, QStringLiteral("Mail Accounts"),
                          ToQString("These accounts were not switched on, as their mailboxes are screened the other "
                                    "way already (through the mail program, or on the IMAP server); switch that off "
                                    "first:" +
                                    refused),
                          QMessageBox::Ok);
    // Nothing moves back by itself: say where the held mail is.
    if (!imapDisabled.empty())
        TMessageBox::Show(this, QMessageBox::Information, QStringLiteral("Mail Accounts"),
                          ToQString("Tessivar no longer screens these mailboxes.\n\n" + imapDisabled).trimmed(),
                          QMessageBox::Ok);
    return changed || m_Added;
}
