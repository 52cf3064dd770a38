#include "ui/UfrmIMAPAccount.h"

#include "app/UConsole.h"
#include "base/UDebug.h"
#include "core/UIMAPAccountSetup.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "mail/UIMAPMailbox.h"
#include "mail/USockets.h"
#include "mail/UTessivarIMAPSenders.h"
#include "ui/UDialogSupport.h"
#include "ui/UMessageBox.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

TfrmIMAPAccount::TfrmIMAPAccount(TIMAPConnector connector, QWidget* parent)
    : QDialog(parent), m_Connect(std::move(connector)) {
    setObjectName(QStringLiteral("frmIMAPAccount"));
    setWindowTitle(QStringLiteral("Add IMAP Account"));
    KeepCaptionReadable(*this);
    setWindowFlag(Qt::WindowStaysOnTopHint);
    auto* layout = new QVBoxLayout(this);
    auto* prompt = new QLabel(
        QStringLiteral("Tessivar screens this mailbox on its server: mail from senders you have not approved "
                       "moves to the folders \"%1\" and \"%2\", where every mail program and phone sees it.")
            .arg(QString::fromUtf8(IMAPAwaitingFolder.data(), IMAPAwaitingFolder.size()),
                 QString::fromUtf8(IMAPBlockedFolder.data(), IMAPBlockedFolder.size())),
        this);
    prompt->setWordWrap(true);
    layout->addWidget(prompt);

    auto* form = new QFormLayout;
    edtAddress = new QLineEdit(this);
    edtAddress->setObjectName(QStringLiteral("edtAddress"));
    form->addRow(QStringLiteral("E-mail address:"), edtAddress);
    edtServer = new QLineEdit(this);
    edtServer->setObjectName(QStringLiteral("edtServer"));
    form->addRow(QStringLiteral("IMAP server:"), edtServer);
    cmbSecurity = new QComboBox(this);
    cmbSecurity->setObjectName(QStringLiteral("cmbSecurity"));
    cmbSecurity->addItem(QStringLiteral("SSL/TLS"));
    cmbSecurity->addItem(QStringLiteral("STARTTLS"));
    form->addRow(QStringLiteral("Security:"), cmbSecurity);
    spnPort = new QSpinBox(this);
    spnPort->setObjectName(QStringLiteral("spnPort"));
    spnPort->setRange(1, 65535);
    spnPort->setValue(IMAPSPort);
    form->addRow(QStringLiteral("Port:"), spnPort);
    edtUser = new QLineEdit(this);
    edtUser->setObjectName(QStringLiteral("edtUser"));
    form->addRow(QStringLiteral("User name:"), edtUser);
    edtPassword = new QLineEdit(this);
    edtPassword->setObjectName(QStringLiteral("edtPassword"));
    MaskEdit(*edtPassword);
    form->addRow(QStringLiteral("Password:"), edtPassword);
    layout->addLayout(form);

    chkApproveExisting =
        new QCheckBox(QStringLiteral("Approve the senders of the last 90 days' mail in INBOX (recommended)"), this);
    chkApproveExisting->setObjectName(QStringLiteral("chkApproveExisting"));
    chkApproveExisting->setChecked(true);
    layout->addWidget(chkApproveExisting);

    auto* testRow = new QHBoxLayout;
    btnTest = new QPushButton(QStringLiteral("Test connection"), this);
    btnTest->setObjectName(QStringLiteral("btnTest"));
    testRow->addWidget(btnTest);
    lblStatus = new QLabel(this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setWordWrap(true);
    lblStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
    testRow->addWidget(lblStatus, 1);
    layout->addLayout(testRow);
    layout->addStretch();

    btnOk = AddOkCancel(*this, *layout);
    btnOk->setText(QStringLiteral("Add"));
    connect(btnOk, &QPushButton::clicked, this, [this] { StartCheck(true); });
    connect(btnTest, &QPushButton::clicked, this, [this] { StartCheck(false); });
    connect(cmbSecurity, &QComboBox::currentIndexChanged, this, [this] { SecurityChanged(); });
    resize(480, 0);
}

TfrmIMAPAccount::~TfrmIMAPAccount() {
    if (m_CheckAbort)
        m_CheckAbort->Raise();
    if (m_Check.joinable())
        m_Check.join();
    if (m_Busy)
        QApplication::restoreOverrideCursor();
}

void TfrmIMAPAccount::reject() {
    // The answer still comes, and finds the window hidden.
    if (m_Busy && m_CheckAbort)
        m_CheckAbort->Raise();
    QDialog::reject();
}

QString TfrmIMAPAccount::Status() const {
    return lblStatus->text();
}

void TfrmIMAPAccount::SecurityChanged() {
    const bool startTLS = cmbSecurity->currentIndex() == 1;
    // The usual port follows the security; a port of the user's own choosing stays.
    if (spnPort->value() == (startTLS ? IMAPSPort : IMAPPort))
        spnPort->setValue(startTLS ? IMAPPort : IMAPSPort);
}

std::optional<TIMAPServer> TfrmIMAPAccount::Entries() {
    TIMAPServer server;
    server.EmailAddress = ToText(edtAddress->text().trimmed());
    server.Host = ToText(edtServer->text().trimmed());
    server.Port = spnPort->value();
    server.Security = cmbSecurity->currentIndex() == 1 ? TIMAPSecurity::STARTTLS : TIMAPSecurity::ImplicitTLS;
    server.Username = ToText(edtUser->text());
    QString problem;
    if (!IsWholeAddress(server.EmailAddress))
        problem = QStringLiteral("Enter the e-mail address of the mailbox.");
    else if (server.Host.empty() || server.Host.find_first_of(" /@") != std::string::npos)
        problem = QStringLiteral("Enter the name of the IMAP server, such as imap.example.org.");
    else if (server.Username.empty())
        problem = QStringLiteral("Enter the user name you log in to the mailbox with.");
    else if (edtPassword->text().isEmpty())
        problem = QStringLiteral("Enter the password of the mailbox.");
    if (!problem.isEmpty()) {
        lblStatus->setText(problem);
        return std::nullopt;
    }
    return server;
}

void TfrmIMAPAccount::SetBusy(bool busy) {
    if (busy == m_Busy)
        return;
    m_Busy = busy;
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
    for (QWidget* widget : std::initializer_list<QWidget*>{edtAddress, edtServer, spnPort, cmbSecurity, edtUser,
                                                           edtPassword, chkApproveExisting, btnTest, btnOk})
        widget->setEnabled(!busy);
}

void TfrmIMAPAccount::StartCheck(bool thenAdd) {
    if (m_Busy)
        return;
    const std::optional<TIMAPServer> server = Entries();
    if (!server)
        return;
    if (thenAdd && m_Model && POP3AccountScreening(*m_Model, server->EmailAddress)) {
        lblStatus->setText(QStringLiteral("This address is screened through your mail program's POP3 account "
                                          "already: uncheck it in the \"Mail Accounts\" window first."));
        return;
    }
    m_Checking = *server;
    m_CheckingPassword = ToText(edtPassword->text());
    lblStatus->setText(QStringLiteral("Connecting to %1...").arg(ToQString(server->Host)));
    StartWorker([](TIMAPMailbox&) {}, [this, thenAdd](const std::string& failure) { CheckDone(thenAdd, failure); });
}

void TfrmIMAPAccount::StartWorker(std::function<void(TIMAPMailbox&)> work,
                                  std::function<void(const std::string&)> done) {
    // The previous worker has answered (the window was not busy any more): its thread ends now.
    if (m_Check.joinable())
        m_Check.join();
    SetBusy(true);
    m_CheckAbort = std::make_shared<TAbortSignal>();
    QPointer<TfrmIMAPAccount> window(this);
    m_Check = std::thread([this, window, work = std::move(work), done = std::move(done), connector = m_Connect,
                           checked = m_Checking, password = m_CheckingPassword, abort = m_CheckAbort] {
        std::string failure;
        try {
            std::unique_ptr<TIMAPMailbox> mailbox =
                connector(checked, password, IMAPTrustedCertificatesFile(), IMAPLoginCheckTimeoutMs, abort);
            if (mailbox) {
                work(*mailbox);
                mailbox->Logout();
            }
        } catch (const std::exception& error) {
            DebugException("TfrmIMAPAccount", error);
            failure = error.what();
            if (failure.empty())
                failure = "the connection failed";
        }
        // The window lives until this thread is joined; the answer is dropped if it is gone by then.
        QMetaObject::invokeMethod(
            this,
            [window, done, failure] {
                if (window)
                    done(failure);
            },
            Qt::QueuedConnection);
    });
}

void TfrmIMAPAccount::CheckDone(bool thenAdd, const std::string& failure) {
    SetBusy(false);
    if (!failure.empty()) {
        lblStatus->setText(QStringLiteral("Could not log in: %1").arg(ToQString(failure)));
        return;
    }
    lblStatus->setText(QStringLiteral("The server accepted the login."));
    if (thenAdd && isVisible())
        Add();
}

void TfrmIMAPAccount::Add() {
    if (!m_Model)
        return;
    TTessivarBusinessLogic& model = *m_Model;
    const bool approve = chkApproveExisting->isChecked();
    const bool kept = ApplyToModel(model, "TfrmIMAPAccount", [&] {
        TTessivarAccount& account = *KeepIMAPAccount(model, m_Checking, m_CheckingPassword).Account;
        account.SetEnabled(true);
        m_Added = &account;
    });
    if (!kept) {
        lblStatus->setText(QStringLiteral("The account could not be kept (see the activity log)."));
        return;
    }
    if (approve)
        ApproveExistingSenders();
    else
        accept();
}

void TfrmIMAPAccount::ApproveExistingSenders() {
    lblStatus->setText(QStringLiteral("Reading the senders of the mail in INBOX..."));
    auto senders = std::make_shared<std::vector<TEmailAddress>>();
    StartWorker([senders](TIMAPMailbox& mailbox) { *senders = RecentIMAPSenders(mailbox); },
                [this, senders](const std::string& failure) { SendersRead(*senders, failure); });
}

void TfrmIMAPAccount::SendersRead(const std::vector<TEmailAddress>& senders, const std::string& failure) {
    SetBusy(false);
    // Closed meanwhile: the account is screened, its existing senders are left as they are.
    if (!isVisible() || !m_Model || !m_Added)
        return;
    std::string problem = failure;
    if (problem.empty() && !ApplyToModel(*m_Model, "TfrmIMAPAccount", [&] {
            ApproveImportedSenders(*m_Model, senders, m_Added->EmailAddress());
        }))
        problem = "they could not be kept (see the activity log)";
    if (!problem.empty())
        TMessageBox::Show(this, QMessageBox::Warning, QStringLiteral("Add IMAP Account"),
                          QStringLiteral("The account is screened, but the senders of the mail in INBOX could "
                                         "not be approved: %1.")
                              .arg(ToQString(problem)),
                          QMessageBox::Ok);
    accept();
}

TTessivarAccount* TfrmIMAPAccount::AddIMAPAccount(TTessivarBusinessLogic& model, const TIMAPServer* found) {
    m_Model = &model;
    m_Added = nullptr;
    const TIMAPServer blank;
    const TIMAPServer& entries = found ? *found : blank;
    edtAddress->setText(ToQString(entries.EmailAddress));
    edtServer->setText(ToQString(entries.Host));
    cmbSecurity->setCurrentIndex(entries.Security == TIMAPSecurity::STARTTLS ? 1 : 0);
    spnPort->setValue(entries.Port);
    edtUser->setText(ToQString(entries.Username));
    edtPassword->clear();
    lblStatus->clear();
    (found ? edtPassword : edtAddress)->setFocus();
    CentreWindowOnDesktop(*this);
    exec();
    // A check still under way ends unseen: its answer finds the window hidden.
    m_Model = nullptr;
    TTessivarAccount* added = m_Added;
    m_Added = nullptr;
    return added;
}
