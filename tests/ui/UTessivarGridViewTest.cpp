// The lists as the user meets them: a header with the captions that sorts on a click and lets the
// columns be dragged, whole texts of cut cells in tooltips, the activity log that keeps its newest
// item in view, and the find field that narrows a list of 100,000 rows at every keystroke.

#include "ui/UTessivarFilter.h"
#include "ui/UTessivarGridDelegate.h"
#include "ui/UTessivarGridView.h"

#include "tests/ui/ViewsFixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QScrollBar>
#include <QTest>

namespace {

class UTessivarGridViewTest : public TViewsTest {};

// A list of plain rows, to run the find field over many rows without a database.
struct TPlainRow {
    std::string Text;
};
int ComparePlainRows(const TPlainRow& a, const TPlainRow& b) {
    return b.Text.compare(a.Text);
}
void PlainRowText(const TPlainRow& row, std::string& text) {
    text += row.Text;
}
class TPlainGrid : public TTessivarRecordGrid<TPlainRow> {
public:
    TPlainGrid() : TTessivarRecordGrid(nullptr) {
        AddColumn(QStringLiteral("Text"), 100, false, ComparePlainRows, -1, true);
        SetFilterText(PlainRowText);
    }
    QVariant data(const QModelIndex& index, int role) const override {
        const TPlainRow* row = RecordAt(index);
        return row && role == Qt::DisplayRole ? QVariant(QString::fromStdString(row->Text)) : QVariant();
    }
};

} // namespace

TEST_F(UTessivarGridViewTest, TheHeaderShowsTheCaptionsSortsOnAClickAndTheLastColumnFillsTheWidth) {
    const TDateTime day = EncodeDateTime(2026, 3, 1);
    Insert("bob@b.example", "beta", day + 1);
    Insert("amy@a.example", "alpha", day + 2);
    TEmailGrid& grid = m_Views->AwaitingAuthorization();
    TTessivarGridView view(grid);
    view.resize(700, 300);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    QHeaderView* header = view.horizontalHeader();
    // The fault: a header of no height, so no captions, no sorting and no resizing.
    EXPECT_TRUE(header->isVisible());
    EXPECT_GE(header->height(), view.fontMetrics().height());
    QStringList captions;
    for (int column = 0; column < grid.columnCount(); ++column)
        captions << grid.headerData(column, Qt::Horizontal).toString();
    EXPECT_EQ(captions, (QStringList{QString(), "From", "Subject", "Received"}));
    EXPECT_EQ(header->sectionResizeMode(TEmailGrid::FromColumn), QHeaderView::Interactive);

    // A click in the middle of "Subject" sorts by it, first from Z to A.
    const int middle = header->sectionViewportPosition(TEmailGrid::SubjectColumn) +
                       header->sectionSize(TEmailGrid::SubjectColumn) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(middle, header->height() / 2));
    EXPECT_EQ(grid.SortColumn(), TEmailGrid::SubjectColumn);
    EXPECT_EQ(Subjects(grid), (std::vector<std::string>{"beta", "alpha"}));

    // The last column reaches the right edge.
    const int last = TEmailGrid::ReceivedColumn;
    EXPECT_EQ(header->sectionViewportPosition(last) + header->sectionSize(last), view.viewport()->width());
}

TEST_F(UTessivarGridViewTest, ColumnWidthsGoToTextAndBackAndTextsThatDoNotFitAreIgnored) {
    TTessivarGridView view(m_Views->AwaitingAuthorization());
    view.resize(800, 200);
    view.SetColumnWidths(QStringLiteral("20,300,150,200"));
    EXPECT_EQ(view.horizontalHeader()->sectionSize(TEmailGrid::FromColumn), 300);
    EXPECT_EQ(view.horizontalHeader()->sectionSize(TEmailGrid::SubjectColumn), 150);
    EXPECT_TRUE(view.ColumnWidths().startsWith(QStringLiteral("20,300,150,")));
    // The fixed state column keeps its width; a wrong count, a word or a width out of range
    // changes nothing.
    for (const char* bad : {"20,111,112", "20,x,150,200", "20,-5,150,200", "20,999999,150,200", ""})
        view.SetColumnWidths(QString::fromLatin1(bad));
    view.SetColumnWidths(QStringLiteral("90,300,150,200"));
    EXPECT_EQ(view.horizontalHeader()->sectionSize(TEmailGrid::StateColumn), 20);
    EXPECT_EQ(view.horizontalHeader()->sectionSize(TEmailGrid::FromColumn), 300);
}

TEST_F(UTessivarGridViewTest, OnlyACutCellHasATooltipWithItsWholeText) {
    const QFontMetrics metrics(QApplication::font());
    const QString text = QStringLiteral("A subject much longer than its column");
    const int whole = metrics.horizontalAdvance(text) + 2 * TTessivarGridDelegate::TextMargin;
    EXPECT_FALSE(TextIsCut(text, whole, metrics));
    EXPECT_TRUE(TextIsCut(text, whole - 1, metrics));
}

TEST_F(UTessivarGridViewTest, TheActivityLogKeepsItsNewestItemInViewOnlyWhileTheUserIsAtTheEnd) {
    TLogItemGrid& log = m_Views->ActivityLog();
    TTessivarGridView view(log);
    view.SetFollowEnd(true);
    view.resize(400, 120);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    QScrollBar* bar = view.verticalScrollBar();
    for (int i = 0; i < 40; ++i)
        Model().AddLogItem("item " + std::to_string(i), 0);
    // Oldest first, and the newest at the bottom in view.
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
    // A user reading further up is left there.
    bar->setValue(0);
    Model().AddLogItem("one more", 0);
    EXPECT_EQ(bar->value(), 0);
}

TEST(FilterMatching, LetterCaseIsIgnoredForAsciiAndLatinCapitalsAndNothingElseIsFolded) {
    std::string scratch;
    EXPECT_TRUE(TFilterMatcher("BOB@").Matches("Bob@Example.test", scratch));
    EXPECT_TRUE(TFilterMatcher("\xC3\x89t\xC3\xA9").Matches("un \xC3\xA9T\xC3\x89 chaud", scratch)); // Été / éTÉ
    EXPECT_FALSE(TFilterMatcher("\xC3\x97").Matches("\xC3\xB7", scratch)); // the multiplication sign has no pair
    EXPECT_TRUE(TFilterMatcher("").Matches("", scratch));
    EXPECT_FALSE(TFilterMatcher("longer").Matches("long", scratch));
    // A lone lead byte at the end is kept as it is.
    EXPECT_EQ(FoldForFilter("A\xC3"), "a\xC3");
}

TEST_F(UTessivarGridViewTest, TheFindFieldNarrowsBySenderNameOrSubjectAndKeepsTheSelectionWhileShown) {
    const TDateTime day = EncodeDateTime(2026, 3, 1);
    Insert("amy@shop.example", "Invoice 12", day + 1, "Amy Pond");
    Insert("bob@bank.example", "Your statement", day + 2, "Bob");
    Insert("carol@club.example", "Meeting", day + 3, "Carol INVOICE");
    TEmailGrid& grid = m_Views->AwaitingAuthorization();
    grid.SetSelectedIndex(1); // bob
    grid.SetFilter(QStringLiteral("BANK"));
    EXPECT_EQ(Subjects(grid), (std::vector<std::string>{"Your statement"}));
    ASSERT_NE(grid.Selected(), nullptr);
    EXPECT_EQ(grid.Selected()->Subject(), "Your statement");
    // Display name or subject, whichever holds it.
    grid.SetFilter(QStringLiteral("invoice"));
    EXPECT_EQ(Subjects(grid), (std::vector<std::string>{"Meeting", "Invoice 12"}));
    // The selected row left the list: nothing is selected, so no action touches it.
    EXPECT_EQ(grid.Selected(), nullptr);
    // A refresh keeps the filter; new mail that matches shows, other mail does not.
    Insert("dave@d.example", "another invoice", day + 4);
    Insert("erin@e.example", "lunch", day + 5);
    EXPECT_EQ(Subjects(grid), (std::vector<std::string>{"another invoice", "Meeting", "Invoice 12"}));
    EXPECT_EQ(grid.AllRowCount(), 5);
    grid.SetFilter(QString());
    EXPECT_EQ(grid.rowCount(), 5);
}

TEST(FilterOnManyRows, NarrowsOneHundredThousandRowsAtEachKeystroke) {
    std::vector<TPlainRow> rows(100000);
    for (size_t i = 0; i < rows.size(); ++i)
        rows[i].Text = "sender" + std::to_string(i) + "@example.test\x1fSubject number " + std::to_string(i);
    TPlainGrid grid;
    grid.BeginRefresh();
    for (TPlainRow& row : rows)
        grid.Append(row);
    grid.EndRefresh();
    ASSERT_EQ(grid.rowCount(), 100000);
    QElapsedTimer clock;
    clock.start();
    // Typing "number 12345" a character at a time.
    const QString typed = QStringLiteral("NUMBER 12345");
    for (int length = 1; length <= typed.size(); ++length)
        grid.SetFilter(typed.left(length));
    const qint64 elapsed = clock.elapsed();
    EXPECT_EQ(grid.rowCount(), 1);
    EXPECT_EQ(grid.Rows(0).Text.substr(0, 12), "sender12345@");
    // Typing on narrows among the rows already shown; deleting a character widens to every row.
    grid.SetFilter(QStringLiteral("NUMBER 1234"));
    EXPECT_EQ(grid.rowCount(), 11);
    // Generous for sanitizer builds on a shared machine (a fault that rescans everything for each
    // row would take minutes); bench/ measures the real figure.
    EXPECT_LT(elapsed / typed.size(), 3000) << elapsed << " ms for " << typed.size() << " keystrokes";
}
