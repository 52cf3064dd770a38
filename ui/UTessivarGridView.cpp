#include "ui/UTessivarGridView.h"

#include "ui/UTessivarGrid.h"
#include "ui/UTessivarGridDelegate.h"

#include <QEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QScrollBar>
#include <QStringList>

#include <algorithm>

TTessivarGridView::TTessivarGridView(TTessivarGrid& grid, QWidget* parent) : QTableView(parent), m_Grid(grid) {
    setModel(&grid);
    setItemDelegate(new TTessivarGridDelegate(this));
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setShowGrid(false);
    setWordWrap(false);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    // A fixed row height keeps a list of 100,000 rows as cheap as one of ten.
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ApplyRowHeight();

    QHeaderView* header = horizontalHeader();
    header->setSectionsClickable(true);
    header->setHighlightSections(false);
    header->setStretchLastSection(true);
    header->setSortIndicatorShown(true);
    const auto& columns = grid.Columns();
    // The style's minimum would widen the 20-pixel state column.
    int narrowest = header->minimumSectionSize();
    for (const auto& column : columns)
        narrowest = std::min(narrowest, column.Width);
    header->setMinimumSectionSize(narrowest);
    for (int column = 0; column < static_cast<int>(columns.size()); ++column) {
        header->setSectionResizeMode(
            column, columns[static_cast<size_t>(column)].FixedWidth ? QHeaderView::Fixed : QHeaderView::Interactive);
        header->resizeSection(column, columns[static_cast<size_t>(column)].Width);
    }
    ShowSortIndicator();

    connect(header, &QHeaderView::sectionClicked, this, [this](int column) {
        m_Grid.HeaderClicked(column);
        ShowSortIndicator();
    });
    connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current, const QModelIndex&) {
                if (!m_Syncing)
                    m_Grid.SetSelectedIndex(current.isValid() ? current.row() : -1);
            });
    connect(&grid, &TTessivarGrid::SelectionChanged, this, [this] { SelectGridRow(); });
    connect(&grid, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
        const QScrollBar* bar = verticalScrollBar();
        m_AtEnd = bar->value() >= bar->maximum();
    });
    connect(&grid, &QAbstractItemModel::modelReset, this, [this] {
        SelectGridRow();
        if (m_FollowEnd && m_AtEnd)
            scrollToBottom();
    });
}

QString TTessivarGridView::ColumnWidths() const {
    QStringList widths;
    for (int column = 0; column < horizontalHeader()->count(); ++column)
        widths << QString::number(horizontalHeader()->sectionSize(column));
    return widths.join(QLatin1Char(','));
}

void TTessivarGridView::SetColumnWidths(const QString& text) {
    constexpr int WidestColumn = 10000;
    const QStringList parts = text.split(QLatin1Char(','));
    const auto& columns = m_Grid.Columns();
    if (parts.size() != static_cast<qsizetype>(columns.size()))
        return;
    std::vector<int> widths;
    for (const QString& part : parts) {
        bool ok = false;
        const int width = part.trimmed().toInt(&ok);
        if (!ok || width < horizontalHeader()->minimumSectionSize() || width > WidestColumn)
            return;
        widths.push_back(width);
    }
    for (size_t column = 0; column < widths.size(); ++column)
        if (!columns[column].FixedWidth)
            horizontalHeader()->resizeSection(static_cast<int>(column), widths[column]);
}

void TTessivarGridView::changeEvent(QEvent* event) {
    QTableView::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        ApplyRowHeight();
}

void TTessivarGridView::ApplyRowHeight() {
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setDefaultSectionSize(TTessivarGridDelegate::RowHeight(fontMetrics()));
}

void TTessivarGridView::ShowSortIndicator() {
    horizontalHeader()->setSortIndicator(m_Grid.SortColumn(), m_Grid.SortIndicator());
}

void TTessivarGridView::SelectGridRow() {
    const int row = m_Grid.SelectedIndex();
    const QModelIndex current = currentIndex();
    if (current.isValid() ? current.row() == row && selectionModel()->isRowSelected(row, {}) : row < 0)
        return;
    m_Syncing = true;
    if (row < 0) {
        selectionModel()->clear();
    } else {
        const QModelIndex index = model()->index(row, 0);
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        scrollTo(index);
    }
    m_Syncing = false;
}
