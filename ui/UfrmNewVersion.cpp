#include "ui/UfrmNewVersion.h"

#include "base/UDebug.h"
#include "ui/UDialogSupport.h"
#include "ui/UTessivarWebPages.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

TfrmNewVersion::TfrmNewVersion(std::function<void()> endProgram, std::function<void(const QUrl&)> openURL,
                               QWidget* parent)
    : QDialog(parent), m_EndProgram(std::move(endProgram)), m_OpenURL(std::move(openURL)) {
    if (!m_OpenURL)
        m_OpenURL = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    setObjectName(QStringLiteral("frmNewVersion"));
    setWindowTitle(QStringLiteral("New Version Available"));
    KeepCaptionReadable(*this);
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(
        QStringLiteral("There is a new version of Tessivar available. Do you wish to install it now?"), this);
    text->setObjectName(QStringLiteral("lblText"));
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* yes = new QPushButton(QStringLiteral("Yes"), this);
    yes->setObjectName(QStringLiteral("btnYes"));
    yes->setDefault(true);
    auto* no = new QPushButton(QStringLiteral("No"), this);
    no->setObjectName(QStringLiteral("btnNo"));
    // "Yes" stays the default whichever button had the focus the last time.
    no->setAutoDefault(false);
    buttons->addWidget(yes);
    buttons->addWidget(no);
    layout->addLayout(buttons);
    // The cancel key is QDialog's own reject, the same as "No".
    connect(yes, &QPushButton::clicked, this, &QDialog::accept);
    connect(no, &QPushButton::clicked, this, &QDialog::reject);
    setFixedWidth(340);
}

bool TfrmNewVersion::NewVersion(const std::string& version) {
    Debug("New version offered: " + version);
    adjustSize();
    CentreWindowOnDesktop(*this);
    findChild<QPushButton*>(QStringLiteral("btnYes"))->setFocus();
    if (exec() != QDialog::Accepted)
        return false;
    m_OpenURL(QUrl(QString::fromStdString(UpgradePageURL())));
    m_EndProgram();
    return true;
}
