#include "ui/UfrmMailAccounts.h"

#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "ui/UDialogSupport.h"
#include "ui/UMessageBox.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <vector>

TfrmMailAccounts::TfrmMailAccounts(QWidget* parent) : QDialog(parent) {
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
    QPushButton* ok = AddOkCancel(*this, *layout);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    resize(360, 260);
}

void TfrmMailAccounts::Fill(TTessivarBusinessLogic& model) {
    lstbxAccounts->clear();
    for (int i = 0; i < model.AccountCount(); ++i) {
        const TTessivarAccount& account = model.Accounts(i);
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

bool TfrmMailAccounts::EditMailAccounts(TTessivarBusinessLogic& model) {
    Fill(model);
    CentreWindowOnDesktop(*this);
    if (exec() != QDialog::Accepted)
        return false;
    std::vector<std::pair<std::string, bool>> entries;
    for (int i = 0; i < lstbxAccounts->count(); ++i) {
        const QListWidgetItem* item = lstbxAccounts->item(i);
        entries.emplace_back(ToText(item->text()), item->checkState() == Qt::Checked);
    }
    // Accounts switched before a failure stay switched, so the warning is due all the same.
    bool changed = false;
    ApplyToModel(model, "TfrmMailAccounts", [&] {
        for (const auto& [address, checked] : entries)
            for (int i = 0; i < model.AccountCount(); ++i) {
                TTessivarAccount& account = model.Accounts(i);
                if (account.EmailAddress() == address && account.Enabled() != checked) {
                    changed = true;
                    account.SetEnabled(checked);
                }
            }
    });
    if (changed)
        TMessageBox::Show(this, QMessageBox::Warning, QStringLiteral("Warning"),
                          QStringLiteral("You will need to restart any mail clients you have running for these "
                                         "changes to take effect."),
                          QMessageBox::Ok);
    return changed;
}
