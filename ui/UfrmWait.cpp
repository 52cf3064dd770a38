#include "ui/UfrmWait.h"

#include "ui/UDialogSupport.h"

#include <QCloseEvent>
#include <QLabel>
#include <QVBoxLayout>

TfrmWait::TfrmWait(QWidget* parent) : QDialog(parent) {
    setObjectName("frmWait");
    // No close button: the window goes when the work it stands for is done.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setWindowTitle(QStringLiteral("Please wait..."));
    KeepCaptionReadable(*this);
    auto* layout = new QVBoxLayout(this);
    lblText = new QLabel(QStringLiteral("Please wait while your settings are saved..."), this);
    lblText->setObjectName("lblText");
    layout->addWidget(lblText);
    resize(sizeHint());
}

void TfrmWait::ShowWait(const QString& text) {
    m_Busy = true;
    lblText->setText(text);
    adjustSize();
    CentreWindowOnDesktop(*this);
    exec();
}

void TfrmWait::HideWait() {
    m_Busy = false;
    done(QDialog::Accepted);
}

void TfrmWait::closeEvent(QCloseEvent* event) {
    if (m_Busy)
        event->ignore();
    else
        QDialog::closeEvent(event);
}

void TfrmWait::reject() {
    if (!m_Busy)
        QDialog::reject();
}
