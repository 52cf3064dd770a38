#include "ui/UTessivarPages.h"

#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmailAddress.h"
#include "ui/UTessivarActions.h"
#include "ui/UTessivarGridView.h"
#include "ui/UTessivarIcons.h"
#include "ui/UTessivarLists.h"
#include "ui/UTessivarViews.h"

#include "ui/UMessagePreviewPane.h"

#include <QAction>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QSplitter>
#include <QVBoxLayout>

namespace {

QWidget* ListPage(QWidget* parent, TTessivarGridView* view, QHBoxLayout** row) {
    auto* page = new QWidget(parent);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);
    view->setParent(page);
    layout->addWidget(view, 1);
    if (row) {
        *row = new QHBoxLayout();
        (*row)->setSpacing(4);
        layout->addLayout(*row);
    }
    return page;
}

} // namespace

TTessivarPages::TTessivarPages(TTessivarViews& views, TPageCommands commands, QWidget* parent)
    : QTabWidget(parent), m_Views(views), m_Commands(std::move(commands)), m_Pending(new QTabWidget(this)),
      m_Review(new QTabWidget(this)), m_AccountSetupHolder(new QWidget(this)),
      m_PreviewSplitter(new QSplitter(Qt::Vertical, this)), m_Preview(new TMessagePreviewPane),
      m_Find(new QLineEdit(this)) {
    setObjectName(QStringLiteral("pgcMain"));
    m_Pending->setObjectName(QStringLiteral("pgcPendingMail"));
    m_Review->setObjectName(QStringLiteral("pgcReviewApprovals"));
    m_Pending->addTab(MailPage(views.AwaitingDelivery(), QStringLiteral("AwaitingDelivery"), false, true, false),
                      QStringLiteral("Mail Awaiting Delivery"));
    m_Pending->addTab(
        MailPage(views.AwaitingAuthorization(), QStringLiteral("AwaitingAuthorization"), true, true, false),
        QStringLiteral("Mail Awaiting Authorization"));
    m_Pending->addTab(MailPage(views.BlockedMail(), QStringLiteral("BlockedMail"), true, false, true),
                      QStringLiteral("Blocked Mail"));
    m_Review->addTab(ApprovalPage<TEmailAddressGrid, TTessivarEmailAddress>(
                         views.Senders(), QStringLiteral("Senders"), SendersPage, &ToggleEmailAddress,
                         &DeleteEmailAddress, m_Commands.EditSender, m_Commands.NewSender, m_Commands.ImportContacts),
                     QStringLiteral("Senders"));
    m_Review->addTab(ApprovalPage<TDomainNameGrid, TTessivarDomainName>(
                         views.DomainNames(), QStringLiteral("DomainNames"), DomainNamesPage, &ToggleDomainName,
                         &DeleteDomainName, m_Commands.EditDomainName, m_Commands.NewDomainName, nullptr),
                     QStringLiteral("Domain Names"));

    // The mail lists over the preview; the user may close the preview by dragging the splitter.
    m_PreviewSplitter->setObjectName(QStringLiteral("splPreview"));
    m_PreviewSplitter->addWidget(m_Pending);
    m_PreviewSplitter->addWidget(m_Preview);
    m_PreviewSplitter->setCollapsible(0, false);
    m_PreviewSplitter->setCollapsible(1, true);
    m_PreviewSplitter->setStretchFactor(0, 3);
    m_PreviewSplitter->setStretchFactor(1, 2);
    addTab(m_PreviewSplitter, QStringLiteral("Pending\nMail"));
    addTab(m_Review, QStringLiteral("Review\nApprovals"));
    addTab(ActivityPage(views.ActivityLog()), QStringLiteral("Current\nActivity"));
    new QVBoxLayout(m_AccountSetupHolder);
    m_AccountSetupHolder->layout()->setContentsMargins(0, 0, 0, 0);
    addTab(m_AccountSetupHolder, QStringLiteral("Account\nSetup"));
    setTabVisible(AccountSetupPage, false);

    for (int page = 0; page < m_Pending->count(); ++page)
        View(PendingMailPage, page).setAccessibleName(m_Pending->tabText(page));
    for (int page = 0; page < m_Review->count(); ++page)
        View(ReviewApprovalsPage, page).setAccessibleName(m_Review->tabText(page));

    m_Find->setObjectName(QStringLiteral("edtFind"));
    m_Find->setPlaceholderText(QStringLiteral("Find sender or subject"));
    m_Find->setAccessibleName(QStringLiteral("Find"));
    m_Find->setClearButtonEnabled(true);
    // Wide enough to show its hint. The tab set places a corner widget by its size hint, so the
    // field sits in a holder whose layout gives that width as its hint.
    m_Find->setFixedWidth(m_Find->fontMetrics().horizontalAdvance(m_Find->placeholderText()) + 48);
    auto* corner = new QWidget(this);
    auto* cornerLayout = new QHBoxLayout(corner);
    cornerLayout->setContentsMargins(0, 0, 2, 2);
    cornerLayout->addWidget(m_Find);
    setCornerWidget(corner, Qt::TopRightCorner);
    connect(m_Find, &QLineEdit::textChanged, this, &TTessivarPages::ApplyFilter);
    auto* find = new QAction(this);
    find->setShortcut(QKeySequence::Find);
    find->setShortcutContext(Qt::WindowShortcut);
    connect(find, &QAction::triggered, this, [this] {
        m_Find->setFocus();
        m_Find->selectAll();
    });
    addAction(find);

    for (TEmailGrid* grid : {&views.AwaitingDelivery(), &views.AwaitingAuthorization(), &views.BlockedMail()})
        connect(grid, &TTessivarGrid::SelectionChanged, this, &TTessivarPages::UpdatePreview);
    connect(m_Pending, &QTabWidget::currentChanged, this, &TTessivarPages::UpdatePreview);
    connect(m_PreviewSplitter, &QSplitter::splitterMoved, this, &TTessivarPages::UpdatePreview);

    connect(m_Pending, &QTabWidget::currentChanged, this, [this](int index) { FocusList(*m_Pending, index); });
    connect(m_Review, &QTabWidget::currentChanged, this, [this](int index) { FocusList(*m_Review, index); });
    connect(this, &QTabWidget::currentChanged, this, [this](int index) {
        if (index == PendingMailPage)
            FocusList(*m_Pending, m_Pending->currentIndex());
        else if (index == ReviewApprovalsPage)
            FocusList(*m_Review, m_Review->currentIndex());
        else if (index == CurrentActivityPage)
            View(CurrentActivityPage, 0).setFocus();
    });
}

void TTessivarPages::ApplyFilter(const QString& text) {
    for (TTessivarGrid* grid : std::initializer_list<TTessivarGrid*>{
             &m_Views.AwaitingDelivery(), &m_Views.AwaitingAuthorization(), &m_Views.BlockedMail(), &m_Views.Senders(),
             &m_Views.DomainNames(), &m_Views.ActivityLog()})
        grid->SetFilter(text);
}

void TTessivarPages::UpdatePreview() {
    // Closed by the splitter: nothing is read.
    if (m_PreviewSplitter->isVisible() && m_PreviewSplitter->sizes().value(1) == 0)
        return;
    const TEmailGrid* grids[] = {&m_Views.AwaitingDelivery(), &m_Views.AwaitingAuthorization(),
                                 &m_Views.BlockedMail()};
    const int page = m_Pending->currentIndex();
    m_Preview->ShowEmail(page >= 0 && page < 3 ? grids[page]->Selected() : nullptr);
}

void TTessivarPages::SelectFirstPages() {
    setCurrentIndex(PendingMailPage);
    m_Pending->setCurrentIndex(AwaitingDeliveryPage);
    m_Review->setCurrentIndex(SendersPage);
}

void TTessivarPages::SelectAwaitingAuthorization() {
    setCurrentIndex(PendingMailPage);
    m_Pending->setCurrentIndex(AwaitingAuthorizationPage);
}

void TTessivarPages::SetAccountSetupPage(QWidget* page) {
    page->setParent(m_AccountSetupHolder);
    m_AccountSetupHolder->layout()->addWidget(page);
    setTabVisible(AccountSetupPage, true);
}

QPushButton* TTessivarPages::Button(const QString& name) const {
    const auto found = m_Buttons.find(name);
    return found == m_Buttons.end() ? nullptr : found->second;
}

TTessivarGridView& TTessivarPages::View(int mainPage, int subPage) const {
    return *m_GridViews.at({mainPage, subPage});
}

void TTessivarPages::FocusList(QTabWidget& tabs, int index) {
    const int mainPage = &tabs == m_Pending ? PendingMailPage : ReviewApprovalsPage;
    if (const auto found = m_GridViews.find({mainPage, index}); found != m_GridViews.end())
        found->second->setFocus();
}

QPushButton* TTessivarPages::AddButton(QHBoxLayout& row, const QString& name, const QString& caption) {
    auto* button = new QPushButton(caption);
    button->setObjectName(QStringLiteral("btn") + name);
    button->setAutoDefault(false);
    row.addWidget(button);
    m_Buttons[name] = button;
    return button;
}

QWidget* TTessivarPages::MailPage(TEmailGrid& grid, const QString& name, bool approve, bool block, bool deleteAll) {
    auto* view = new TTessivarGridView(grid);
    view->setObjectName(QStringLiteral("lst") + name);
    QHBoxLayout* row = nullptr;
    QWidget* page = ListPage(m_Pending, view, &row);
    m_GridViews[{PendingMailPage, m_Pending->count()}] = view;

    std::vector<QPushButton*> rowButtons;
    const auto group = [&](const QString& label, const QString& kind, const QIcon& icon,
                           void (*act)(TEmailGrid&, TDecisionScope)) {
        row->addWidget(new QLabel(label + QStringLiteral(":")));
        const std::pair<const char*, TDecisionScope> scopes[] = {{"Once Only", TDecisionScope::OnceOnly},
                                                                  {"By Sender", TDecisionScope::BySender},
                                                                  {"By Domain", TDecisionScope::ByDomain}};
        for (const auto& [caption, scope] : scopes) {
            QPushButton* button =
                AddButton(*row, name + kind + QString(caption).remove(' '), QString::fromLatin1(caption));
            button->setIcon(icon);
            connect(button, &QPushButton::clicked, this, [&grid, act, scope = scope] { act(grid, scope); });
            rowButtons.push_back(button);
        }
        row->addSpacing(8);
    };
    if (approve)
        group(QStringLiteral("Approve"), QStringLiteral("Approve"), ApproveIcon(), &ApproveEmail);
    if (block)
        group(QStringLiteral("Block"), QStringLiteral("Block"), BlockIcon(), &BlockEmail);
    row->addStretch(1);
    QPushButton* remove = AddButton(*row, name + QStringLiteral("Delete"), QStringLiteral("Delete"));
    connect(remove, &QPushButton::clicked, this, [&grid] { DeleteEmail(grid); });
    rowButtons.push_back(remove);
    QPushButton* removeAll = nullptr;
    if (deleteAll) {
        removeAll = AddButton(*row, name + QStringLiteral("DeleteAll"), QStringLiteral("Delete All"));
        connect(removeAll, &QPushButton::clicked, this, [this, &grid] { DeleteAllEmails(grid, window()); });
    }
    const auto states = [&grid, rowButtons, removeAll] {
        for (QPushButton* button : rowButtons)
            button->setEnabled(grid.Selected() != nullptr);
        if (removeAll)
            removeAll->setEnabled(DeleteAllEnabled(grid));
    };
    connect(&grid, &TTessivarGrid::SelectionChanged, this, states);
    states();
    return page;
}

// A list of approval records (senders or domain names) and its buttons: the approve/block toggle,
// "Edit", "New", optionally "Import", and "Delete" at the right end.
template <class TGrid, class TRecord>
QWidget* TTessivarPages::ApprovalPage(TGrid& grid, const QString& name, int subPage, void (*toggleRecord)(TGrid&),
                                      void (*deleteRecord)(TGrid&), std::function<void(TRecord&)> editRecord,
                                      std::function<void()> newRecord, std::function<void()> import) {
    auto* view = new TTessivarGridView(grid);
    view->setObjectName(QStringLiteral("lst") + name);
    QHBoxLayout* row = nullptr;
    QWidget* page = ListPage(m_Review, view, &row);
    m_GridViews[{ReviewApprovalsPage, subPage}] = view;

    QPushButton* toggle = AddButton(*row, name + QStringLiteral("Toggle"), QStringLiteral("Approve"));
    connect(toggle, &QPushButton::clicked, this, [&grid, toggleRecord] { toggleRecord(grid); });
    QPushButton* edit = AddButton(*row, name + QStringLiteral("Edit"), QStringLiteral("Edit"));
    edit->setVisible(static_cast<bool>(editRecord));
    connect(edit, &QPushButton::clicked, this, [&grid, editRecord] {
        if (TRecord* record = grid.Selected(); record && editRecord)
            editRecord(*record);
    });
    QPushButton* add = AddButton(*row, name + QStringLiteral("New"), QStringLiteral("New"));
    add->setVisible(static_cast<bool>(newRecord));
    connect(add, &QPushButton::clicked, this, [newRecord] {
        if (newRecord)
            newRecord();
    });
    if (import) {
        QPushButton* importButton = AddButton(*row, name + QStringLiteral("Import"), QStringLiteral("Import"));
        connect(importButton, &QPushButton::clicked, this, import);
    }
    row->addStretch(1);
    QPushButton* remove = AddButton(*row, name + QStringLiteral("Delete"), QStringLiteral("Delete"));
    connect(remove, &QPushButton::clicked, this, [&grid, deleteRecord] { deleteRecord(grid); });

    const auto states = [&grid, toggle, edit, remove] {
        const bool selected = grid.Selected() != nullptr;
        for (QPushButton* button : {toggle, edit, remove})
            button->setEnabled(selected);
        toggle->setText(ToggleCaption(grid));
        toggle->setIcon(toggle->text() == QStringLiteral("Block") ? BlockIcon() : ApproveIcon());
    };
    connect(&grid, &TTessivarGrid::SelectionChanged, this, states);
    states();
    return page;
}

QWidget* TTessivarPages::ActivityPage(TLogItemGrid& grid) {
    auto* view = new TTessivarGridView(grid);
    view->setObjectName(QStringLiteral("lstActivity"));
    view->setAccessibleName(QStringLiteral("Current Activity"));
    // New items come at the end: the newest stays in view while the user is at the end.
    view->SetFollowEnd(true);
    m_GridViews[{CurrentActivityPage, 0}] = view;
    return ListPage(this, view, nullptr);
}
