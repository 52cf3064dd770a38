#include "ui/UfrmPreferences.h"

#include "ui/UDialogSupport.h"

#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

QLabel* NewHeading(const QString& text, QWidget* parent) {
    auto* heading = new QLabel(text, parent);
    QFont font = heading->font();
    font.setBold(true);
    heading->setFont(font);
    return heading;
}

} // namespace

TfrmPreferences::TfrmPreferences(QWidget* parent) : QDialog(parent) {
    setObjectName("frmPreferences");
    setWindowTitle("Preferences");
    KeepCaptionReadable(*this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    setModal(true);

    auto* layout = new QVBoxLayout(this);
    auto* introduction = new QLabel(
        "When Tessivar receives a new message from an unknown sender, I would like the following to occur:", this);
    introduction->setWordWrap(true);
    layout->addWidget(introduction);
    m_AnimateTrayIcon = AddCheckBox("chkAnimateTrayIcon", "The tray icon should animate");
    m_NotificationWindow = AddCheckBox("chkNotificationWindow", "A small notification window should appear");
    m_NotificationSound = AddCheckBox("chkNotificationSound", "A notification sound should be played");

    layout->addSpacing(8);
    layout->addWidget(NewHeading("Startup options:", this));
    m_StartupAutomatic = AddCheckBox("chkStartupAutomatic", "I would like Tessivar to start when I start my computer");
    m_RememberPosition = AddCheckBox("chkRememberPosition", "Tessivar should remember it's window size and position");

    layout->addSpacing(8);
    layout->addWidget(NewHeading("Blocked Mail:", this));
    // The check box's text runs on after the number box: "... after [n] days".
    auto* deletion = new QHBoxLayout;
    m_DeleteBlockedMail = new QCheckBox("Automaitically delete blocked mail after", this);
    m_DeleteBlockedMail->setObjectName("chkDeleteBlockedMail");
    m_DeleteDays = new QSpinBox(this);
    m_DeleteDays->setObjectName("spnDeleteDays");
    m_DeleteDays->setRange(MinimumDeleteDays, MaximumDeleteDays);
    m_DeleteDays->setSingleStep(1);
    m_DaysLabel = new QLabel("days", this);
    m_DaysLabel->setObjectName("lblDeleteDays");
    m_DaysLabel->installEventFilter(this);
    deletion->addWidget(m_DeleteBlockedMail);
    deletion->addWidget(m_DeleteDays);
    deletion->addWidget(m_DaysLabel);
    deletion->addStretch();
    layout->addLayout(deletion);
    connect(m_DeleteBlockedMail, &QCheckBox::toggled, m_DeleteDays, &QWidget::setEnabled);

    layout->addSpacing(8);
    layout->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    m_Ok = new QPushButton("Ok", this);
    m_Ok->setObjectName("btnOk");
    m_Ok->setDefault(true);
    m_Cancel = new QPushButton("Cancel", this);
    m_Cancel->setObjectName("btnCancel");
    buttons->addWidget(m_Ok);
    buttons->addWidget(m_Cancel);
    layout->addLayout(buttons);
    connect(m_Ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_Cancel, &QPushButton::clicked, this, &QDialog::reject);
}

QCheckBox* TfrmPreferences::AddCheckBox(const char* name, const QString& text) {
    auto* box = new QCheckBox(text, this);
    box->setObjectName(name);
    static_cast<QVBoxLayout*>(layout())->addWidget(box);
    return box;
}

bool TfrmPreferences::EditPreferences(TTessivarPreferences& preferences) {
    if (isVisible()) {
        raise();
        activateWindow();
        return false;
    }
    ReadPreferences(preferences);
    m_AnimateTrayIcon->setChecked(preferences.NewMessageAnimateTrayIcon);
    m_NotificationWindow->setChecked(preferences.NewMessageNotificationWindow);
    m_NotificationSound->setChecked(preferences.NewMessageNotificationSound);
    m_StartupAutomatic->setChecked(preferences.StartupAutomatic);
    m_RememberPosition->setChecked(preferences.StartupRememberPosition);
    m_DeleteBlockedMail->setChecked(preferences.AutomaticallyDeleteBlockedMail);
    m_DeleteDays->setValue(preferences.AutomaticallyDeleteBlockedMailDays);
    m_DeleteDays->setEnabled(preferences.AutomaticallyDeleteBlockedMail);

    adjustSize();
    CentreOnDesktop(*this);
    if (exec() != QDialog::Accepted)
        return false;

    preferences.NewMessageAnimateTrayIcon = m_AnimateTrayIcon->isChecked();
    preferences.NewMessageNotificationWindow = m_NotificationWindow->isChecked();
    preferences.NewMessageNotificationSound = m_NotificationSound->isChecked();
    SetStartupAutomatic(preferences, m_StartupAutomatic->isChecked());
    preferences.StartupRememberPosition = m_RememberPosition->isChecked();
    preferences.AutomaticallyDeleteBlockedMail = m_DeleteBlockedMail->isChecked();
    preferences.AutomaticallyDeleteBlockedMailDays = m_DeleteDays->value();
    WritePreferences(preferences);
    return true;
}

void TfrmPreferences::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    m_Ok->setFocus(Qt::OtherFocusReason);
}

bool TfrmPreferences::eventFilter(QObject* watched, QEvent* event) {
    // "days" is the end of the check box's text: a click on it ticks or clears the box too.
    if (watched == m_DaysLabel && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        m_DeleteBlockedMail->toggle();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
