#pragma once
// What the setup and import wizards share: a stack of pages without tabs, the button row "Help",
// "< Back", "Next >", "Finish", and the Wait page with its title, text and progress bar, which also
// serves as a service request's progress display. Closing goes through CloseQuery, also for the
// escape key. Thread contract: the user-interface thread (the model's thread) only.

#include <QDialog>
#include <QPointer>

#include "service/UTessivarServer.h"

#include <functional>
#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;

class TWizardFrame : public QDialog {
    Q_OBJECT
public:
    TWizardFrame(const QString& caption, QWidget* parent);

    int CurrentPage() const;
    int WaitPage() const { return m_WaitPage; }
    QProgressBar& ProgressBar() const { return *pbrWait; }

protected:
    // A content page with its title and text; further fields go into the returned layout.
    QVBoxLayout* AddPage(const char* name, const QString& title, const QString& text);
    // The Wait page, added after the content pages.
    void AddWaitPage();
    // Selects the page, updates the buttons, makes "Next >" (or "Finish") the button Enter presses,
    // and gives the page's first field the focus.
    void SelectPage(int page);
    void ChooseDefaultButton();
    void FocusFirstField();
    // Title, text, the bar at 0 (shown only when asked for), the Wait page selected; then lets
    // window events run (or, with `runEvents` false, only draws the page: for a caller inside a
    // change of the model) so that the page is seen at once.
    void ShowProgress(const QString& title, const QString& text, bool bar, bool runEvents = true);
    // Lets the windows draw and the pending calls run; user input waits.
    static void ProcessWindowEvents();
    // Sets the bar and draws it at once.
    void MoveProgress(int value);

    // The button states of the page shown.
    virtual void UpdateButtons() = 0;
    virtual void NextClick() = 0;
    virtual void BackClick() = 0;
    virtual void HelpClick() = 0;
    virtual void FinishClick() = 0;
    // Asked when a visible wizard is to close: true lets it close.
    virtual bool CloseQuery() = 0;

    void closeEvent(QCloseEvent* event) override;
    void reject() override;

    // A progress display for a service request: it outlives the window (a request may end after
    // the window went), and moves this window's bar while both exist.
    class TRequestProgress : public IRequestProgress {
    public:
        explicit TRequestProgress(TWizardFrame& frame) : m_Frame(&frame) {}
        void SetProgress(int done, int total) override;
        // Runs before the first move (the caller shows the page the bar is on).
        std::function<void()> BeforeFirst;

    private:
        QPointer<TWizardFrame> m_Frame;
    };
    std::shared_ptr<TRequestProgress> NewRequestProgress() { return std::make_shared<TRequestProgress>(*this); }

    QStackedWidget* m_Pages;
    QPushButton* btnHelp;
    QPushButton* btnBack;
    QPushButton* btnNext;
    QPushButton* btnFinish;
    QLabel* lblWaitTitle = nullptr;
    QLabel* lblWaitText = nullptr;
    QProgressBar* pbrWait = nullptr;

private:
    int m_WaitPage = -1;
};
