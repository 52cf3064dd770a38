#pragma once
// The wait window: one line of text, no buttons, shown modally while the program waits for the web
// service; while busy the user cannot close it. Created once and shown again and again, centred on
// the screen. Thread contract: the user-interface thread only.

#include <QDialog>

class QLabel;

class TfrmWait : public QDialog {
    Q_OBJECT
public:
    explicit TfrmWait(QWidget* parent = nullptr);

    // Marks the window busy, sets its text and shows it modally; returns when HideWait closes it.
    // Call it only while something is left that will call HideWait.
    void ShowWait(const QString& text);
    // Clears the busy mark and closes the window; the windows it disabled are usable again.
    void HideWait();
    bool Busy() const { return m_Busy; }

protected:
    void closeEvent(QCloseEvent* event) override;
    // The escape key and other ways of rejecting: refused while busy.
    void reject() override;

private:
    QLabel* lblText;
    bool m_Busy = false;
};
