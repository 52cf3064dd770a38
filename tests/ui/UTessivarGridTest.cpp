#include "ui/UStateIcons.h"
#include "ui/UTessivarGridDelegate.h"
#include "ui/UTessivarGridSort.h"
#include "ui/UTessivarGridView.h"

#include "tests/ui/ViewsFixture.h"

#include <QApplication>
#include <QFontMetrics>
#include <QHeaderView>
#include <QPainter>

namespace {

class UTessivarGridTest : public TViewsTest {
protected:
    std::vector<std::string> Colours(const QAbstractItemModel& grid, int column, int role) {
        std::vector<std::string> names;
        for (int row = 0; row < grid.rowCount(); ++row) {
            const QColor colour = grid.data(grid.index(row, column), role).value<QColor>();
            names.push_back(colour.isValid() ? colour.name().toStdString() : "none");
        }
        return names;
    }
};

} // namespace

TEST_F(UTessivarGridTest, StartOrdersAndTheHeaderClickRule) {
    const TDateTime day = EncodeDateTime(2026, 3, 1);
    Insert("bob@b.example", "beta", day + 1);
    Insert("Alice@a.example", "Alpha", day + 3);
    Insert("carol@c.example", "gamma", day + 2);
    TEmailGrid& mail = m_Views->AwaitingAuthorization();
    EXPECT_EQ(Subjects(mail), (std::vector<std::string>{"Alpha", "gamma", "beta"})); // newest first

    mail.HeaderClicked(TEmailGrid::SubjectColumn); // a first click on a text column: Z to A
    EXPECT_EQ(Subjects(mail), (std::vector<std::string>{"gamma", "beta", "Alpha"}));
    mail.HeaderClicked(TEmailGrid::SubjectColumn);
    EXPECT_EQ(Subjects(mail), (std::vector<std::string>{"Alpha", "beta", "gamma"}));
    mail.HeaderClicked(TEmailGrid::ReceivedColumn); // back with its own order kept: newest first
    EXPECT_EQ(Subjects(mail), (std::vector<std::string>{"Alpha", "gamma", "beta"}));
    mail.HeaderClicked(TEmailGrid::ReceivedColumn);
    EXPECT_EQ(Subjects(mail), (std::vector<std::string>{"beta", "gamma", "Alpha"}));
    // The selected record stays selected through a sort.
    mail.SetSelectedIndex(0);
    mail.HeaderClicked(TEmailGrid::FromColumn);
    EXPECT_EQ(Subjects(mail), (std::vector<std::string>{"gamma", "beta", "Alpha"}));
    EXPECT_EQ(mail.Selected()->Subject(), "beta");
    // The sort column survives a refresh.
    Insert("dave@d.example", "delta", day);
    EXPECT_EQ(Subjects(mail), (std::vector<std::string>{"delta", "gamma", "beta", "Alpha"}));

    // Senders and domain names alphabetical, the activity log oldest first.
    for (const char* from : {"bob@b.example", "Alice@a.example", "carol@c.example"})
        Sender(from).Approve();
    for (const char* name : {"c.example", "A.example"})
        Domain(name).Block();
    EXPECT_EQ(Column(m_Views->Senders(), TEmailAddressGrid::EmailAddressColumn),
              (std::vector<std::string>{"Alice@a.example", "bob@b.example", "carol@c.example"}));
    EXPECT_EQ(Column(m_Views->DomainNames(), TDomainNameGrid::DomainNameColumn),
              (std::vector<std::string>{"a.example", "c.example"}));
    Model().AddLogItem("second", 0);
    EXPECT_EQ(Column(m_Views->ActivityLog(), TLogItemGrid::DetailsColumn).back(), "second");
}

TEST_F(UTessivarGridTest, ComparisonsIgnoreCaseAndPutStateLettersFirst) {
    EXPECT_EQ(CompareTextParts({"abc"}, {"ABC"}), 0);
    EXPECT_LT(CompareTextParts({"ab", "c"}, {"abd"}), 0);
    EXPECT_GT(CompareTextParts({"abc", ""}, {"ab"}), 0);
    EXPECT_LT(CompareTextParts({"", "Z"}, {"z", "a"}), 0);
    TTessivarEmail& blocked = Insert("zed@z.example");
    TTessivarEmail& approved = Insert("amy@a.example");
    TTessivarEmail& neither = Insert("bea@b.example");
    blocked.BlockOnce();
    approved.ApproveOnce();
    // Keys "X...", "A...", "S..." compared b with a.
    EXPECT_LT(SortEmailsByState(blocked, neither), 0);
    EXPECT_GT(SortEmailsByState(approved, neither), 0);
    EXPECT_GT(SortEmailsByEmailAddress(approved, neither), 0);
    EXPECT_EQ(SortEmailsByReceived(approved, neither), 0);
    Domain("z.example").Approve();
    Domain("a.example").Block();
    EXPECT_GT(SortDomainNameByState(Domain("z.example"), Domain("a.example")), 0);
    Sender("zed@z.example").Block();
    EXPECT_LT(SortEmailAddressByState(Sender("zed@z.example"), Sender("amy@a.example")), 0);
}

// Every column in both orders: adjacent rows r, s satisfy cmp(r, s) x order <= 0, whether the list
// sorted with the comparison itself or with its sort keys.
TEST_F(UTessivarGridTest, EveryColumnSortsByItsComparisonInBothOrders) {
    const char* senders[] = {"Bob@B.example",   "bob@a.example", "bo@b.example",
                             "b\xe9@b.example", "ZED@b.example", "zed@B.example"};
    int n = 0;
    {
        TUpdateScope<TTessivarBusinessLogic> scope(Model());
        for (const char* from : senders)
            for (const char* subject : {"Hello", "hello again", "HELLO", "\xc3\xa9t\xc3\xa9"}) {
                ++n;
                Insert(from, subject, EncodeDateTime(2026, 1, 1) + n % 5, n % 3 ? "Name" : "");
            }
        Model().Emails(1).BlockOnce();
        Model().Emails(2).ApproveOnce();
        Sender("Bob@B.example").Approve();
        Sender("bo@b.example").Block();
        Sender("zed@B.example").SetAuthenticationStatus(TAuthenticationStatus::Authenticated);
        Domain("a.example").Block();
        Model().AddLogItem("Zeta", 1);
        Model().AddLogItem("alpha", 0);
    }
    auto check = [](auto& grid, auto compare, int column) {
        for (int click = 0; click < 2; ++click) {
            grid.HeaderClicked(column);
            const int order = grid.Columns()[static_cast<size_t>(column)].Order;
            for (int row = 1; row < grid.rowCount(); ++row)
                ASSERT_LE(compare(grid.Rows(row - 1), grid.Rows(row)) * order, 0) << "column " << column;
        }
    };
    for (TEmailGrid* grid :
         {&m_Views->AwaitingDelivery(), &m_Views->BlockedMail(), &m_Views->AwaitingAuthorization()}) {
        ASSERT_GT(grid->rowCount(), 1);
        check(*grid, SortEmailsByState, TEmailGrid::StateColumn);
        check(*grid, SortEmailsByEmailAddress, TEmailGrid::FromColumn);
        check(*grid, SortEmailsBySubject, TEmailGrid::SubjectColumn);
        check(*grid, SortEmailsByReceived, TEmailGrid::ReceivedColumn);
    }
    check(m_Views->Senders(), SortEmailAddressByState, TEmailAddressGrid::StateColumn);
    check(m_Views->Senders(), SortEmailAddressByEmailAddress, TEmailAddressGrid::EmailAddressColumn);
    check(m_Views->Senders(), SortEmailAddressByDisplayName, TEmailAddressGrid::NameColumn);
    check(m_Views->DomainNames(), SortDomainNameByState, TDomainNameGrid::StateColumn);
    check(m_Views->DomainNames(), SortDomainNameByDomainName, TDomainNameGrid::DomainNameColumn);
    check(m_Views->ActivityLog(), SortLogItemsByKind, TLogItemGrid::StateColumn);
    check(m_Views->ActivityLog(), SortLogItemsByOccurred, TLogItemGrid::OccurredColumn);
    check(m_Views->ActivityLog(), SortLogItemsByDetails, TLogItemGrid::DetailsColumn);
}

TEST_F(UTessivarGridTest, CellTextsAndStateIcons) {
    const TDateTime received = EncodeDateTime(2026, 3, 4, 5, 6, 7);
    Insert("plain@x.example", "one", received);
    Insert("named@x.example", "two", received - 1, "Named Person");
    const TEmailGrid& mail = m_Views->AwaitingAuthorization();
    EXPECT_EQ(Column(mail, TEmailGrid::FromColumn),
              (std::vector<std::string>{"plain@x.example", "named@x.example (Named Person)"}));
    EXPECT_EQ(Column(mail, TEmailGrid::ReceivedColumn)[0], DateTimeText(received).toStdString());
    EXPECT_NE(DateTimeText(received).indexOf(QStringLiteral("06")), -1);

    // Approved by sender: icon 0; approved once only: icon 2; blocked: icon 1.
    // (Received apart: rows that sort equal keep no particular order.)
    Insert("friend@y.example", "by sender", received + 2);
    Insert("once@z.example", "once", received + 1).ApproveOnce();
    Insert("foe@w.example", "blocked").BlockOnce();
    Sender("friend@y.example").Approve();
    const TEmailGrid& delivery = m_Views->AwaitingDelivery();
    EXPECT_EQ(Subjects(delivery), (std::vector<std::string>{"by sender", "once"}));
    EXPECT_EQ(Column(delivery, TEmailGrid::StateColumn, TTessivarGrid::StateIconRole),
              (std::vector<std::string>{"0", "2"}));
    EXPECT_EQ(Column(m_Views->BlockedMail(), TEmailGrid::StateColumn, TTessivarGrid::StateIconRole),
              (std::vector<std::string>{"1"}));
    EXPECT_EQ(Column(mail, TEmailGrid::StateColumn, TTessivarGrid::StateIconRole),
              (std::vector<std::string>{"2", "2"}));
    EXPECT_EQ(Column(m_Views->Senders(), TEmailAddressGrid::StateColumn, TTessivarGrid::StateIconRole),
              (std::vector<std::string>{"0"}));
    EXPECT_EQ(StateIcon(1).size(), QSize(12, 12));
    EXPECT_NE(StateIcon(0).pixel(2, 6), StateIcon(1).pixel(2, 6));
    EXPECT_NE(StateIcon(1).pixel(2, 6), StateIcon(2).pixel(2, 6));
}

TEST_F(UTessivarGridTest, UnderlineColoursFollowSenderAndDomain) {
    for (const char* from : {"ok@good.example", "no@bad.example", "pend@x.example", "auth@x.example"})
        Insert(from, from);
    {
        TUpdateScope<TTessivarBusinessLogic> scope(Model());
        Sender("ok@good.example").Approve();
        Sender("ok@good.example").SetAuthenticationStatus(TAuthenticationStatus::Pending);
        Domain("good.example").Approve();
        Sender("no@bad.example").Block();
        Domain("bad.example").Block();
        Sender("auth@x.example").SetAuthenticationStatus(TAuthenticationStatus::Authenticated);
    }
    // "pend" is still Pending from its first message; "auth" awaits delivery as authenticated.
    auto all = [&](const TEmailGrid& grid, int role) { return Colours(grid, TEmailGrid::FromColumn, role); };
    EXPECT_EQ(all(m_Views->AwaitingAuthorization(), TTessivarGrid::UserUnderlineRole),
              std::vector<std::string>{"#800080"});
    EXPECT_EQ(all(m_Views->BlockedMail(), TTessivarGrid::UserUnderlineRole), std::vector<std::string>{"#ff0000"});
    EXPECT_EQ(all(m_Views->BlockedMail(), TTessivarGrid::DomainUnderlineRole), std::vector<std::string>{"#ff0000"});
    EXPECT_EQ(Subjects(m_Views->AwaitingDelivery()), (std::vector<std::string>{"ok@good.example", "auth@x.example"}));
    EXPECT_EQ(all(m_Views->AwaitingDelivery(), TTessivarGrid::UserUnderlineRole),
              (std::vector<std::string>{"#008000", "#ff8800"}));
    EXPECT_EQ(all(m_Views->AwaitingDelivery(), TTessivarGrid::DomainUnderlineRole),
              (std::vector<std::string>{"#008000", "none"}));
    // The senders list colours the name part by authentication only.
    const TEmailAddressGrid& senders = m_Views->Senders();
    EXPECT_EQ(Column(senders, TEmailAddressGrid::EmailAddressColumn),
              (std::vector<std::string>{"auth@x.example", "no@bad.example", "ok@good.example"}));
    EXPECT_EQ(Colours(senders, TEmailAddressGrid::EmailAddressColumn, TTessivarGrid::UserUnderlineRole),
              (std::vector<std::string>{"#ff8800", "#800080", "#800080"}));
}

TEST_F(UTessivarGridTest, BlockedWordsDrawARedLineUnderTheSubject) {
    Model().SetBlockedWords("lottery");
    Insert("x@y.example", "You won the lottery");
    Insert("x@y.example", "Minutes of the meeting");
    const TEmailGrid& blocked = m_Views->BlockedMail();
    ASSERT_EQ(Subjects(blocked), std::vector<std::string>{"You won the lottery"});
    EXPECT_TRUE(blocked.data(blocked.index(0, TEmailGrid::SubjectColumn), TTessivarGrid::RedLineRole).toBool());
    const TEmailGrid& waiting = m_Views->AwaitingAuthorization();
    EXPECT_FALSE(waiting.data(waiting.index(0, TEmailGrid::SubjectColumn), TTessivarGrid::RedLineRole).toBool());
}

TEST_F(UTessivarGridTest, CutTextEndsInDotsAndUnderlinesStopBeforeThem) {
    const QFontMetrics metrics(QApplication::font());
    const QString address = QStringLiteral("someone@somewhere.example (Some Person)");
    EXPECT_EQ(CutText(address, 10000, metrics).Shown, address);
    const int width = metrics.horizontalAdvance(QStringLiteral("someone@some"));
    const TCutText cut = CutText(address, width, metrics);
    EXPECT_TRUE(cut.Shown.endsWith(QStringLiteral("...")));
    EXPECT_LE(metrics.horizontalAdvance(cut.Shown), width);
    EXPECT_EQ(cut.Shown, address.left(cut.Kept) + QStringLiteral("..."));
    EXPECT_GT(cut.Kept, 4);
    EXPECT_EQ(CutText(address, 0, metrics).Kept, 0);
    const TAddressSpans spans = AddressSpans(address);
    EXPECT_EQ(spans.At, 7);
    EXPECT_EQ(address.mid(spans.At + 1, spans.DomainEnd - spans.At - 1), QStringLiteral("somewhere.example"));
    EXPECT_EQ(AddressSpans(QStringLiteral("no address")).At, -1);
}

TEST_F(UTessivarGridTest, ViewFollowsTheGridAndPaintsEveryCell) {
    for (const char* from : {"a@x.example", "b@x.example", "c@x.example"})
        Insert(from, std::string("subject of ") + from);
    TEmailGrid& grid = m_Views->AwaitingAuthorization();
    TTessivarGridView view(grid);
    view.resize(500, 200);
    EXPECT_EQ(view.verticalHeader()->defaultSectionSize(), view.fontMetrics().height() + 7);
    EXPECT_EQ(view.horizontalHeader()->sectionSize(TEmailGrid::StateColumn), 20);
    EXPECT_EQ(view.horizontalHeader()->sectionResizeMode(TEmailGrid::StateColumn), QHeaderView::Fixed);
    EXPECT_EQ(view.horizontalHeader()->sectionSize(TEmailGrid::SubjectColumn), 216);

    view.selectRow(1);
    EXPECT_EQ(grid.SelectedIndex(), 1);
    Insert("d@x.example"); // rebuilt: the same row stays selected in the view
    EXPECT_EQ(view.currentIndex().row(), 1);
    grid.SetSelectedIndex(-1);
    EXPECT_FALSE(view.selectionModel()->hasSelection());
    emit view.horizontalHeader()->sectionClicked(TEmailGrid::FromColumn);
    EXPECT_EQ(grid.SortColumn(), TEmailGrid::FromColumn);
    EXPECT_EQ(view.horizontalHeader()->sortIndicatorOrder(), Qt::DescendingOrder);
    view.selectRow(0);
    EXPECT_FALSE(view.grab().isNull());
}

namespace {

// Paints one cell into an image as wide as given; the columns of the image where `colour` shows.
std::vector<int> PaintedColumns(const QModelIndex& index, int width, QRgb colour) {
    TTessivarGridDelegate delegate;
    QStyleOptionViewItem option;
    option.font = QApplication::font();
    option.fontMetrics = QFontMetrics(option.font);
    option.palette = QApplication::palette();
    option.state = QStyle::State_Enabled;
    option.rect = QRect(0, 0, width, TTessivarGridDelegate::RowHeight(option.fontMetrics));
    QImage image(option.rect.size(), QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    delegate.paint(&painter, option, index);
    painter.end();
    std::vector<int> columns;
    for (int x = 0; x < image.width(); ++x)
        for (int y = 0; y < image.height(); ++y)
            if (image.pixel(x, y) == colour) {
                columns.push_back(x);
                break;
            }
    return columns;
}

} // namespace

TEST_F(UTessivarGridTest, UnderlinesAreDrawnUnderTheirPartsAndStopBeforeTheDots) {
    Insert("friend@friends.example", "hello", EncodeDateTime(2026, 1, 1), "A Friend");
    Sender("friend@friends.example").Approve();
    Domain("friends.example").Approve();
    const TEmailGrid& mail = m_Views->AwaitingDelivery();
    const QModelIndex from = mail.index(0, TEmailGrid::FromColumn);
    const QString text = from.data().toString();
    const QFontMetrics metrics(QApplication::font());
    const int margin = TTessivarGridDelegate::TextMargin;
    const QRgb green = qRgb(0, 128, 0);

    // Both parts in green, with the "@" between them left out, none under the display name.
    const std::vector<int> wide = PaintedColumns(from, 1000, green);
    ASSERT_FALSE(wide.empty());
    EXPECT_EQ(wide.front(), margin);
    EXPECT_EQ(wide.back(), margin + metrics.horizontalAdvance(QStringLiteral("friend@friends.example")) - 1);
    const int at = margin + metrics.horizontalAdvance(QStringLiteral("friend")) + 1;
    EXPECT_EQ(std::count(wide.begin(), wide.end(), at), 0);

    // Cut inside the domain: the line ends where the dots begin.
    const int width = metrics.horizontalAdvance(QStringLiteral("friend@frie")) + 2 * margin;
    const TCutText cut = CutText(text, width - 2 * margin, metrics);
    const std::vector<int> narrow = PaintedColumns(from, width, green);
    ASSERT_FALSE(narrow.empty());
    EXPECT_EQ(narrow.back(), margin + metrics.horizontalAdvance(text.left(cut.Kept)) - 1);
    EXPECT_LT(narrow.back(), wide.back());
    EXPECT_TRUE(PaintedColumns(mail.index(0, TEmailGrid::SubjectColumn), 300, qRgb(255, 0, 0)).empty());
}

// A list sorted by a column whose keys never change is sorted again by placing the rows that
// joined it: whatever joins and leaves, the order must be the one a whole sort gives.
TEST_F(UTessivarGridTest, RowsJoiningAndLeavingASortedListLandWhereAWholeSortPutsThem) {
    TEmailGrid& mail = m_Views->AwaitingAuthorization();
    mail.HeaderClicked(TEmailGrid::FromColumn);
    uint32_t seed = 12345;
    const auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 8) % 1000; };
    std::vector<TTessivarEmail*> inserted;
    for (int round = 0; round < 60; ++round) {
        const std::string user = "u" + std::to_string(next() % 40);
        inserted.push_back(&Insert(user + "@d" + std::to_string(next() % 5) + ".example", "s" + std::to_string(round),
                                   EncodeDateTime(2026, 1, 1, 0, 0, 0) + next() / 1000.0,
                                   next() % 2 ? "Name " + std::to_string(next() % 7) : ""));
        // Now and then some leave: approved once (to awaiting delivery) or deleted.
        if (round % 7 == 6) {
            TUpdateScope<TTessivarBusinessLogic> scope(Model());
            inserted[next() % inserted.size()]->ApproveOnce();
            if (!inserted[next() % inserted.size()]->Deleted())
                inserted[next() % inserted.size()]->Delete();
        }
        if (round == 20)
            mail.HeaderClicked(TEmailGrid::SubjectColumn);
        if (round == 40)
            mail.HeaderClicked(TEmailGrid::ReceivedColumn);
        const std::vector<std::string> shown = Column(mail, mail.SortColumn());
        mail.ForgetOrder();
        m_Views->RefreshViews(Model());
        EXPECT_EQ(Column(mail, mail.SortColumn()), shown) << "round " << round;
    }
}
