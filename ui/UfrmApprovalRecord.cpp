#include "ui/UfrmApprovalRecord.h"

#include "ui/UDialogSupport.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

TfrmApprovalRecord::TfrmApprovalRecord(const QString& objectName, const QString& designCaption, QWidget* parent)
    : QDialog(parent), m_Layout(new QVBoxLayout(this)) {
    setObjectName(objectName);
    setWindowTitle(designCaption);
    KeepCaptionReadable(*this);
}

QLineEdit* TfrmApprovalRecord::AddEdit(const QString& label, const QString& objectName) {
    auto* caption = new QLabel(label, this);
    auto* edit = new QLineEdit(this);
    edit->setObjectName(objectName);
    caption->setBuddy(edit);
    m_Layout->addWidget(caption);
    m_Layout->addWidget(edit);
    return edit;
}

void TfrmApprovalRecord::FinishLayout() {
    auto* lblApprovalStatus = new QLabel(QStringLiteral("Approval Status"), this);
    cmbApproval = NewApprovalList(*this);
    lblApprovalStatus->setBuddy(cmbApproval);
    auto* lblNotes = new QLabel(QStringLiteral("Notes"), this);
    mmoNotes = new QPlainTextEdit(this);
    mmoNotes->setObjectName(QStringLiteral("mmoNotes"));
    mmoNotes->setTabChangesFocus(true);
    lblNotes->setBuddy(mmoNotes);
    for (QWidget* widget : {static_cast<QWidget*>(lblApprovalStatus), static_cast<QWidget*>(cmbApproval),
                            static_cast<QWidget*>(lblNotes), static_cast<QWidget*>(mmoNotes)})
        m_Layout->addWidget(widget);
    btnOk = AddOkCancel(*this, *m_Layout, &btnCancel);
    connect(btnOk, &QPushButton::clicked, this, &QDialog::accept);
    resize(sizeHint());
}

void TfrmApprovalRecord::ShowApproval(bool blocked, const std::string& notes) {
    SelectBlocked(*cmbApproval, blocked);
    mmoNotes->setPlainText(ToQString(notes));
}

bool TfrmApprovalRecord::ShowFor(QWidget& mainWindow, const QString& caption, QWidget& focus) {
    setWindowTitle(caption);
    CentreWindowOver(*this, mainWindow);
    focus.setFocus();
    return exec() == QDialog::Accepted;
}

void TfrmApprovalRecord::ApplyFields(TTessivarApprovalRecord& record) const {
    ApplyApproval(record, BlockedSelected(*cmbApproval), ToText(mmoNotes->toPlainText()));
}
