#include "ui/UAccountSetupPage.h"

#include "ui/UTessivarWebPages.h"

#include <QDesktopServices>
#include <QLabel>
#include <QUrl>
#include <QVBoxLayout>

TAccountSetupPage::TAccountSetupPage(std::vector<std::pair<std::string, QString>> commands,
                                     std::function<void(const std::string&)> execute, QWidget* parent)
    : QWidget(parent), m_Execute(std::move(execute)) {
    setObjectName(QStringLiteral("pgAccountSetup"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(10);
    auto* heading = new QLabel(QStringLiteral("<b>Your Tessivar settings</b>"), this);
    layout->addWidget(heading);
    for (const auto& [command, text] : commands) {
        auto* link = new QLabel(QStringLiteral("<a href=\"%1%2\">%3</a>")
                                    .arg(QStringLiteral("tessivar:"), QString::fromStdString(command),
                                         text.toHtmlEscaped()),
                                this);
        link->setObjectName(QStringLiteral("lnk") + QString::fromStdString(command));
        link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
        connect(link, &QLabel::linkActivated, this, &TAccountSetupPage::LinkActivated);
        layout->addWidget(link);
    }
    layout->addStretch(1);
}

void TAccountSetupPage::LinkActivated(const QString& url) {
    if (const auto command = InPageCommand(url.toStdString()))
        m_Execute(*command);
    else
        QDesktopServices::openUrl(QUrl(url));
}
