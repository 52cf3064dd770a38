#pragma once
// The help window: the web site's help pages in an embedded browser under a row of three small
// buttons, home, back and forward. Created once at program start, when it loads the help home page
// while still hidden; every help button and help link of the program shows a page in it.
// Thread contract: the user-interface thread only.

#include <QWidget>

#include <memory>
#include <string>

class QToolButton;
class QWebEngineProfile;
class QWebEngineView;

class TfrmHelp : public QWidget {
    Q_OBJECT
public:
    explicit TfrmHelp(QWidget* parent = nullptr);
    ~TfrmHelp() override;

    // Shows the window in front (in front of a modal window that is up as well) and opens the help
    // base's page, e.g. "index.html" or "setupWizard.html#Welcome".
    void ShowHelpPage(const std::string& page);
    // The help home page, the public site's "help.html".
    void btnHomeClick();

    QWebEngineView& Browser() const { return *wbHelp; }

private:
    void UpdateButtons();

    // Outlives the view and its page, which the destructor deletes first.
    std::unique_ptr<QWebEngineProfile> m_Profile;
    QToolButton* btnHome;
    QToolButton* btnBack;
    QToolButton* btnForward;
    QWebEngineView* wbHelp;
};
