#include "ui/UTessivarGrid.h"


#include <algorithm>

int TTessivarGrid::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_Columns.size());
}

QVariant TTessivarGrid::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount())
        return {};
    const TColumn& column = m_Columns[static_cast<size_t>(section)];
    switch (role) {
    case Qt::DisplayRole:
        return column.Caption;
    case Qt::ToolTipRole:
    case Qt::AccessibleTextRole:
        // The state column has no caption; a screen reader still says what it holds.
        return column.Caption.isEmpty() ? QStringLiteral("State") : column.Caption;
    case ColumnWidthRole:
        // Not the size hint: the header takes its height from that, and a hint of the width alone
        // gave it none.
        return column.Width;
    default:
        return {};
    }
}

void TTessivarGrid::AddColumn(const QString& caption, int width, bool fixedWidth, int order,
                              bool ascendingWhenNegative) {
    m_Columns.push_back({caption, width, fixedWidth, order, ascendingWhenNegative});
}

void TTessivarGrid::SetFixedKeys(std::initializer_list<int> columns) {
    m_FixedKeys.assign(columns.begin(), columns.end());
}

bool TTessivarGrid::FixedKey(int column) const {
    return std::find(m_FixedKeys.begin(), m_FixedKeys.end(), column) != m_FixedKeys.end();
}

Qt::SortOrder TTessivarGrid::SortIndicator() const {
    const TColumn& column = m_Columns[static_cast<size_t>(m_SortColumn)];
    return (column.Order < 0) == column.AscendingWhenNegative ? Qt::AscendingOrder : Qt::DescendingOrder;
}

void TTessivarGrid::HeaderClicked(int column) {
    if (column < 0 || column >= columnCount() || m_Refreshing)
        return;
    if (column == m_SortColumn)
        m_Columns[static_cast<size_t>(column)].Order = -m_Columns[static_cast<size_t>(column)].Order;
    else
        m_SortColumn = column;
    // A view takes the selected row again from SelectedIndex after the reset.
    beginResetModel();
    m_SelectedIndex = SortRows(m_SelectedIndex);
    endResetModel();
    emit SelectionChanged();
}

void TTessivarGrid::SetFilter(const QString& text) {
    const std::string needle = text.toStdString();
    const std::string previous = m_Filter.Needle();
    if (FoldForFilter(needle) == previous)
        return;
    m_Filter = TFilterMatcher(needle);
    const bool narrowing = !previous.empty() && m_Filter.Needle().find(previous) != std::string::npos;
    // A refresh under way applies it when it ends.
    if (m_Refreshing)
        return;
    beginResetModel();
    m_SelectedIndex = FilterRows(m_SelectedIndex, narrowing);
    endResetModel();
    emit SelectionChanged();
}

void TTessivarGrid::SetSelectedIndex(int index) {
    index = std::clamp(index, -1, RowCount() - 1);
    if (index == m_SelectedIndex)
        return;
    m_SelectedIndex = index;
    emit SelectionChanged();
}

void TTessivarGrid::BeginRefresh() {
    if (m_Refreshing)
        return;
    m_Refreshing = true;
    beginResetModel();
    ClearRows();
}

void TTessivarGrid::EndRefresh() {
    if (!m_Refreshing)
        return;
    SortRows(-1);
    if (m_SelectedIndex >= RowCount())
        m_SelectedIndex = RowCount() - 1;
    m_Refreshing = false;
    endResetModel();
    emit SelectionChanged();
}

void TTessivarGrid::Clear() {
    const bool wasRefreshing = m_Refreshing;
    if (!wasRefreshing)
        beginResetModel();
    ClearRows();
    ForgetOrder();
    m_SelectedIndex = -1;
    m_Refreshing = false;
    endResetModel();
    emit SelectionChanged();
}
