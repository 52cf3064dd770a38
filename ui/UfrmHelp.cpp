#include "ui/UfrmHelp.h"

#include "base/UDebug.h"
#include "ui/UDialogSupport.h"
#include "ui/UTessivarWebPages.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWebEngineHistory>
#include <QWebEngineProfile>
#include <QWebEngineView>

namespace {

const char* const HomePage = "help.html";

QToolButton* NewButton(QWidget& parent, const char* name, const QString& tip) {
    auto* button = new QToolButton(&parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setToolTip(tip);
    button->setAutoRaise(true);
    button->setIconSize(QSize(16, 16));
    return button;
}

QUrl ToURL(const std::string& url) {
    return QUrl(QString::fromStdString(url));
}

} // namespace

TfrmHelp::TfrmHelp(QWidget* parent) : QWidget(parent, Qt::Window), m_Profile(NewProgramProfile()) {
    setObjectName(QStringLiteral("frmHelp"));
    setWindowTitle(QStringLiteral("Help - Tessivar"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(2);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(2);
    btnHome = NewButton(*this, "btnHome", QStringLiteral("Home"));
    btnHome->setIcon(style()->standardIcon(QStyle::SP_DirHomeIcon));
    btnBack = NewButton(*this, "btnBack", QStringLiteral("Back"));
    btnBack->setArrowType(Qt::LeftArrow);
    btnForward = NewButton(*this, "btnForward", QStringLiteral("Forward"));
    btnForward->setArrowType(Qt::RightArrow);
    buttons->addWidget(btnHome);
    buttons->addWidget(btnBack);
    buttons->addWidget(btnForward);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    wbHelp = new QWebEngineView(this);
    wbHelp->setObjectName(QStringLiteral("wbHelp"));
    wbHelp->setPage(new QWebEnginePage(m_Profile.get(), wbHelp));
    layout->addWidget(wbHelp, 1);
    resize(380, 400);

    connect(btnHome, &QToolButton::clicked, this, &TfrmHelp::btnHomeClick);
    connect(btnBack, &QToolButton::clicked, wbHelp, &QWebEngineView::back);
    connect(btnForward, &QToolButton::clicked, wbHelp, &QWebEngineView::forward);
    connect(wbHelp, &QWebEngineView::urlChanged, this, &TfrmHelp::UpdateButtons);
    connect(wbHelp, &QWebEngineView::loadFinished, this, &TfrmHelp::UpdateButtons);
    // The history may change after the address does (a page taken from the back-forward cache):
    // the title's change comes after it.
    connect(wbHelp, &QWebEngineView::titleChanged, this, &TfrmHelp::UpdateButtons);
    UpdateButtons();
    // The home page loads while the window is still hidden.
    btnHomeClick();
}

TfrmHelp::~TfrmHelp() {
    // The view owns the page, and a page must go before its profile.
    delete wbHelp;
}

void TfrmHelp::btnHomeClick() {
    wbHelp->load(ToURL(PublicHelpBase() + HomePage));
}

void TfrmHelp::UpdateButtons() {
    btnBack->setEnabled(wbHelp->history()->canGoBack());
    btnForward->setEnabled(wbHelp->history()->canGoForward());
}

void TfrmHelp::ShowHelpPage(const std::string& page) {
    Debug("ShowHelpPage: " + page);
    // A modal window blocks every window but itself and the ones shown after it as modal: the help
    // window shown from a modal window (the setup wizard) must be modal too to be of any use, and
    // must not be otherwise, so that it never blocks the main window.
    const QWidget* modal = QApplication::activeModalWidget();
    const Qt::WindowModality modality = modal != nullptr && modal != this ? Qt::ApplicationModal : Qt::NonModal;
    if (modality != windowModality()) {
        const bool wasVisible = isVisible();
        hide();
        setWindowModality(modality);
        if (wasVisible)
            show();
    }
    if (!isVisible()) {
        CentreWindowOnDesktop(*this);
        show();
    }
    raise();
    activateWindow();
    wbHelp->load(ToURL(HelpBase() + page));
}
