#include "ui/UfrmWordFilters.h"

#include "base/LStrings.h"
#include "core/UTessivarBusinessLogic.h"
#include "ui/UDialogSupport.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

std::string NormalizeWordList(const std::string& text) {
    return NormalizeList(text, ",");
}

TfrmWordFilters::TfrmWordFilters(QWidget* parent) : QDialog(parent) {
    setObjectName("frmWordFilters");
    setWindowTitle(QStringLiteral("Word Filters"));
    KeepCaptionReadable(*this);
    auto* layout = new QVBoxLayout(this);
    vtcWordFilters = new QTabWidget(this);
    vtcWordFilters->setObjectName("vtcWordFilters");
    layout->addWidget(vtcWordFilters);
    mmoBlockedWords = AddPage(QStringLiteral("Blocked Words"),
                              QStringLiteral("Enter the list of words to block separated by commas."),
                              QStringLiteral("BlockedWords"));
    mmoAdultWords = AddPage(QStringLiteral("Adult Words"),
                            QStringLiteral("Enter the list of adult words to block separated by commas."),
                            QStringLiteral("AdultWords"));
    resize(sizeHint());
}

QPlainTextEdit* TfrmWordFilters::AddPage(const QString& caption, const QString& prompt, const QString& name) {
    auto* page = new QWidget(vtcWordFilters);
    page->setObjectName("vtcp" + name);
    auto* layout = new QVBoxLayout(page);
    auto* label = new QLabel(prompt, page);
    label->setWordWrap(true);
    auto* box = new QPlainTextEdit(page);
    box->setObjectName("mmo" + name);
    box->setTabChangesFocus(true);
    label->setBuddy(box);
    layout->addWidget(label);
    layout->addWidget(box);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* ok = new QPushButton(QStringLiteral("Ok"), page);
    ok->setObjectName("btn" + name + "Ok");
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), page);
    cancel->setObjectName("btn" + name + "Cancel");
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    vtcWordFilters->addTab(page, caption);
    return box;
}

bool TfrmWordFilters::EditWordFilters(TTessivarBusinessLogic& model) {
    mmoBlockedWords->setPlainText(ToQString(model.BlockedWords()));
    mmoAdultWords->setPlainText(ToQString(model.AdultWords()));
    vtcWordFilters->setCurrentIndex(0);
    CentreWindowOnDesktop(*this);
    mmoBlockedWords->setFocus();
    if (exec() != QDialog::Accepted)
        return false;
    const std::string blocked = NormalizeWordList(ToText(mmoBlockedWords->toPlainText()));
    const std::string adult = NormalizeWordList(ToText(mmoAdultWords->toPlainText()));
    return ApplyToModel(model, "TfrmWordFilters", [&] {
        model.SetBlockedWords(blocked);
        model.SetAdultWords(adult);
    });
}
