#pragma once
// The preferences window: the notification, start-up and blocked-mail switches, shown modally and
// on top, centred on the desktop. Created once and shown again and again. Thread contract: the
// user-interface thread only.
//
// Widgets, by objectName: chkAnimateTrayIcon, chkNotificationWindow, chkNotificationSound,
// chkStartupAutomatic, chkRememberPosition, chkDeleteBlockedMail, spnDeleteDays, btnOk, btnCancel.

#include <QDialog>

#include "ui/UTessivarPreferences.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QSpinBox;

class TfrmPreferences : public QDialog {
    Q_OBJECT

public:
    explicit TfrmPreferences(QWidget* parent = nullptr);

    // The preferences window's steps: reads the preferences, shows the window modally, and on Ok
    // takes the values over (start-up through SetStartupAutomatic) and writes them. True on Ok.
    // While the window is already open, another call only brings it to the front (false).
    bool EditPreferences(TTessivarPreferences& preferences);

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QCheckBox* AddCheckBox(const char* name, const QString& text);

    // Owned by the window through Qt's parent links.
    QCheckBox* m_AnimateTrayIcon = nullptr;
    QCheckBox* m_NotificationWindow = nullptr;
    QCheckBox* m_NotificationSound = nullptr;
    QCheckBox* m_StartupAutomatic = nullptr;
    QCheckBox* m_RememberPosition = nullptr;
    QCheckBox* m_DeleteBlockedMail = nullptr;
    QSpinBox* m_DeleteDays = nullptr;
    QLabel* m_DaysLabel = nullptr;
    QPushButton* m_Ok = nullptr;
    QPushButton* m_Cancel = nullptr;
};
