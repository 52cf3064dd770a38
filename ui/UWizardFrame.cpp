#include "ui/UWizardFrame.h"

#include "ui/UDialogSupport.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QLabel* AddLabel(QWidget& page, QVBoxLayout& layout, const QString& text, const char* name, bool title) {
    auto* label = new QLabel(text, &page);
    label->setObjectName(name);
    label->setWordWrap(true);
    if (title) {
        QFont font = label->font();
        font.setBold(true);
        font.setPointSizeF(font.pointSizeF() * 1.4);
        label->setFont(font);
    }
    layout.addWidget(label);
    return label;
}

QPushButton* AddButton(QDialog& window, QHBoxLayout& row, const QString& caption, const char* name) {
    auto* button = new QPushButton(caption, &window);
    button->setObjectName(name);
    button->setAutoDefault(false);
    row.addWidget(button);
    return button;
}

} // namespace

TWizardFrame::TWizardFrame(const QString& caption, QWidget* parent) : QDialog(parent), m_Pages(new QStackedWidget) {
    setWindowTitle(caption);
    KeepCaptionReadable(*this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_Pages, 1);
    auto* row = new QHBoxLayout;
    btnHelp = AddButton(*this, *row, QStringLiteral("Help"), "btnHelp");
    row->addStretch();
    btnBack = AddButton(*this, *row, QStringLiteral("< Back"), "btnBack");
    btnNext = AddButton(*this, *row, QStringLiteral("Next >"), "btnNext");
    btnFinish = AddButton(*this, *row, QStringLiteral("Finish"), "btnFinish");
    layout->addLayout(row);
    connect(btnHelp, &QPushButton::clicked, this, [this] { HelpClick(); });
    connect(btnBack, &QPushButton::clicked, this, [this] { BackClick(); });
    connect(btnNext, &QPushButton::clicked, this, [this] { NextClick(); });
    connect(btnFinish, &QPushButton::clicked, this, [this] { FinishClick(); });
    resize(520, 400);
}

int TWizardFrame::CurrentPage() const {
    return m_Pages->currentIndex();
}

QVBoxLayout* TWizardFrame::AddPage(const char* name, const QString& title, const QString& text) {
    auto* page = new QWidget;
    page->setObjectName(name);
    auto* layout = new QVBoxLayout(page);
    AddLabel(*page, *layout, title, "lblTitle", true);
    if (!text.isEmpty())
        AddLabel(*page, *layout, text, "lblText", false);
    m_Pages->addWidget(page);
    return layout;
}

void TWizardFrame::AddWaitPage() {
    auto* page = new QWidget;
    page->setObjectName("tbpgWait");
    auto* layout = new QVBoxLayout(page);
    lblWaitTitle = AddLabel(*page, *layout, {}, "lblWaitTitle", true);
    lblWaitText = AddLabel(*page, *layout, {}, "lblWaitText", false);
    pbrWait = new QProgressBar(page);
    pbrWait->setObjectName("pbrWait");
    layout->addWidget(pbrWait);
    layout->addStretch();
    m_WaitPage = m_Pages->addWidget(page);
}

void TWizardFrame::SelectPage(int page) {
    m_Pages->setCurrentIndex(page);
    UpdateButtons();
    ChooseDefaultButton();
    FocusFirstField();
}

void TWizardFrame::ChooseDefaultButton() {
    // Enter presses "Next >" where the page goes on, and "Finish" on the last page.
    QPushButton* button = btnNext->isEnabled() ? btnNext : btnFinish->isEnabled() ? btnFinish : nullptr;
    btnNext->setDefault(button == btnNext);
    btnFinish->setDefault(button == btnFinish);
}

void TWizardFrame::FocusFirstField() {
    QWidget* page = m_Pages->currentWidget();
    if (!page)
        return;
    // The first visible, enabled field of the page in tab order; else the default button.
    for (QWidget* widget = page->nextInFocusChain(); widget && widget != page; widget = widget->nextInFocusChain()) {
        if (!page->isAncestorOf(widget))
            break;
        if (widget->isEnabled() && widget->isVisibleTo(page) && (widget->focusPolicy() & Qt::TabFocus)) {
            widget->setFocus(Qt::TabFocusReason);
            return;
        }
    }
    if (btnNext->isDefault())
        btnNext->setFocus(Qt::TabFocusReason);
    else if (btnFinish->isDefault())
        btnFinish->setFocus(Qt::TabFocusReason);
}

void TWizardFrame::ShowProgress(const QString& title, const QString& text, bool bar, bool runEvents) {
    lblWaitTitle->setText(title);
    lblWaitText->setText(text);
    pbrWait->setMinimum(0);
    pbrWait->setValue(0);
    pbrWait->setVisible(bar);
    if (CurrentPage() != m_WaitPage)
        SelectPage(m_WaitPage);
    if (runEvents)
        ProcessWindowEvents();
    else
        repaint();
}

void TWizardFrame::ProcessWindowEvents() {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TWizardFrame::MoveProgress(int value) {
    pbrWait->setValue(value);
    pbrWait->repaint();
}

void TWizardFrame::closeEvent(QCloseEvent* event) {
    if (!isVisible() || CloseQuery()) {
        // done() hides the window and ends a modal showing.
        QDialog::done(CurrentPage() == m_WaitPage ? QDialog::Rejected : QDialog::Accepted);
        event->accept();
    } else {
        event->ignore();
    }
}

void TWizardFrame::reject() {
    // The escape key closes as the window's close button does, through the same question.
    close();
}

void TWizardFrame::TRequestProgress::SetProgress(int done, int total) {
    if (m_Frame.isNull())
        return;
    if (BeforeFirst) {
        const std::function<void()> before = std::move(BeforeFirst);
        BeforeFirst = nullptr;
        before();
    }
    m_Frame->pbrWait->setMaximum(std::max(total, 0));
    m_Frame->MoveProgress(std::clamp(done, 0, std::max(total, 0)));
}
