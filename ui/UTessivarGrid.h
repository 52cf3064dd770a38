#pragma once
// A list of the main window: record references (the records stay the model's), columns with
// their comparison functions and sort orders, and a selected row index (-1 for none), offered to
// Qt's views as a table model. The rows are rebuilt by the owner between BeginRefresh and
// EndRefresh; between those a view sees an empty list. Thread contract: the model's thread (the
// user-interface thread) only.

#include "ui/UTessivarFilter.h"

#include <QAbstractTableModel>
#include <QString>

#include <algorithm>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

class TTessivarGrid : public QAbstractTableModel {
    Q_OBJECT
public:
    // What the delegate reads besides the text.
    enum TRole : int {
        StateIconRole = Qt::UserRole + 1, // int: index of the state icon (state column only)
        UserUnderlineRole,                // QColor under the part before "@"; none when invalid
        DomainUnderlineRole,              // QColor under the part after "@" up to the first blank
        RedLineRole,                      // bool: a red line under the whole visible text
        ColumnWidthRole,                  // int: the column's starting width (header data)
    };
    struct TColumn {
        QString Caption;
        int Width = 0;
        bool FixedWidth = false;
        // +1 or -1.
        int Order = 1;
        // The rows appear in ascending order of the shown values when the order is -1 (the
        // comparison function compares b with a); for the header's sort arrow.
        bool AscendingWhenNegative = false;
    };

    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    const std::vector<TColumn>& Columns() const { return m_Columns; }
    int SortColumn() const { return m_SortColumn; }
    // Qt's sort arrow for the sort column.
    Qt::SortOrder SortIndicator() const;
    // A click on a column header: flips the sort column's order, or makes another column the sort
    // column with its order unchanged; then sorts, keeping the selected record selected.
    void HeaderClicked(int column);

    // The find field's text: only the rows whose texts (an email's sender address, display name
    // and subject, say) contain it, letter case ignored, are shown; the selected record stays
    // selected while it is shown. An empty text shows every row.
    void SetFilter(const QString& text);
    const TFilterMatcher& Filter() const { return m_Filter; }

    int SelectedIndex() const { return m_SelectedIndex; }
    // Cut to -1..rows-1; SelectionChanged when the index changed.
    void SetSelectedIndex(int index);

    // The rebuild: BeginRefresh empties the list for the owner to append to; EndRefresh sorts,
    // keeps the selected row index (cut to the last row, -1 when empty) and runs SelectionChanged.
    void BeginRefresh();
    void EndRefresh();
    bool IsRefreshing() const { return m_Refreshing; }
    // Forgets every row at once (the records are about to go).
    void Clear();
    // Forgets the order of the last sort, so that the next one sorts every row again: to be called
    // when records the list held may have been freed.
    virtual void ForgetOrder() = 0;

signals:
    // The selected row index was set or the rows under it were rebuilt.
    void SelectionChanged();

protected:
    explicit TTessivarGrid(QObject* parent) : QAbstractTableModel(parent) {}
    void AddColumn(const QString& caption, int width, bool fixedWidth, int order, bool ascendingWhenNegative);
    void SetSortColumn(int column) { m_SortColumn = column; }

    virtual int RowCount() const = 0;
    virtual void ClearRows() = 0;
    // Sorts the rows by the sort column and applies the filter; returns the new position of the
    // shown row at `follow` (-1: none, or no longer shown).
    virtual int SortRows(int follow) = 0;
    // Applies the filter anew; returns the new position of the shown row at `follow`. `narrowing`:
    // the new text contains the old one, so only the rows shown so far can still match.
    virtual int FilterRows(int follow, bool narrowing) = 0;
    // The columns whose comparison reads only what a record keeps for its life (an email's sender
    // and subject, say, not an approval): a list sorted by one of them is sorted again by placing
    // only the rows that joined it, and dropping those that left.
    void SetFixedKeys(std::initializer_list<int> columns);
    bool FixedKey(int column) const;

private:
    std::vector<TColumn> m_Columns;
    std::vector<int> m_FixedKeys;
    TFilterMatcher m_Filter{std::string_view()};
    int m_SortColumn = 0;
    int m_SelectedIndex = -1;
    bool m_Refreshing = false;
};

// The rows of one record class and its comparison functions.
template <class T> class TTessivarRecordGrid : public TTessivarGrid {
public:
    using TCompare = int (*)(const T&, const T&);
    // Writes a key whose byte order is the comparison's (see UTessivarGridSort.h).
    using TKey = void (*)(const T&, std::string&);
    // Writes the texts the find field searches.
    using TFilterText = void (*)(const T&, std::string&);

    int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : RowCount(); }
    // During a refresh only. `place`: the record's position in the model's list, which keeps its
    // records where they are until it releases some (the owner then calls ForgetOrder). Rows appended
    // in increasing places let the next sort find those that joined and left the list in one walk
    // along the previous rows, instead of a lookup per row.
    void Append(T& record, size_t place) {
        m_Rows.push_back(&record);
        m_Places.push_back(place);
    }
    // Without a place: the next sort sorts every row.
    void Append(T& record) {
        m_Rows.push_back(&record);
        m_Unplaced = true;
    }
    // The shown rows (those the filter lets through).
    T& Rows(int index) const { return *Shown().at(static_cast<size_t>(index)); }
    // The record of the selected row, or none.
    T* Selected() const { return SelectedIndex() < 0 ? nullptr : Shown()[static_cast<size_t>(SelectedIndex())]; }
    // A copy of the shown row references, in the shown order.
    std::vector<T*> Records() const { return Shown(); }
    // Every row, shown or not.
    int AllRowCount() const { return static_cast<int>(m_Rows.size()); }
    void ForgetOrder() override {
        m_Sorted.clear();
        m_Fill = {};
        m_SortedBy = {-1, 0};
    }

protected:
    explicit TTessivarRecordGrid(QObject* parent) : TTessivarGrid(parent) {}
    // A text column passes its key function; its comparison then compares b's key with a's.
    void AddColumn(const QString& caption, int width, bool fixedWidth, TCompare compare, int order = 1,
                   bool ascendingWhenNegative = false, TKey key = nullptr) {
        TTessivarGrid::AddColumn(caption, width, fixedWidth, order, ascendingWhenNegative);
        m_Compares.push_back(compare);
        m_Keys.push_back(key);
    }
    T* RecordAt(const QModelIndex& index) const {
        return index.isValid() && index.row() < RowCount() ? Shown()[static_cast<size_t>(index.row())] : nullptr;
    }
    void SetFilterText(TFilterText text) { m_FilterText = text; }

    int RowCount() const override { return static_cast<int>(Shown().size()); }
    void ClearRows() override {
        m_Rows.clear();
        m_Shown.clear();
        m_Places.clear();
        m_Unplaced = false;
        m_Refilled = true;
    }
    int FilterRows(int follow, bool narrowing) override {
        const T* followed = follow >= 0 && follow < RowCount() ? Shown()[static_cast<size_t>(follow)] : nullptr;
        ApplyFilter(narrowing && m_Filtered);
        return Position(followed);
    }
    int SortRows(int follow) override {
        const T* followed = follow >= 0 && follow < RowCount() ? Shown()[static_cast<size_t>(follow)] : nullptr;
        const auto column = static_cast<size_t>(SortColumn());
        const int order = Columns()[column].Order;
        const std::pair<int, int> sortedBy{SortColumn(), order};
        if (m_Refilled) {
            // The rows as appended: what the next refill is compared with.
            m_Refilled = false;
            TFill before = std::move(m_Fill);
            m_Fill = {};
            if (!m_Unplaced && m_Places.size() == m_Rows.size() &&
                std::adjacent_find(m_Places.begin(), m_Places.end(), std::greater_equal<size_t>()) ==
                    m_Places.end()) {
                m_Fill.Rows = m_Rows;
                m_Fill.Places = std::move(m_Places);
                m_Fill.Valid = true;
            }
            m_Places.clear();
            if (FixedKey(SortColumn()) && m_SortedBy == sortedBy && before.Valid && m_Fill.Valid) {
                SortJoined(column, order, before);
                ApplyFilter();
                return Position(followed);
            }
        }
        FullSort(column, order);
        // A fixed-key order is kept for the next refill to be placed into; it needs the places of
        // the rows it holds.
        if (FixedKey(SortColumn()) && m_Fill.Valid) {
            m_Sorted = m_Rows;
            m_SortedBy = sortedBy;
        } else {
            m_Sorted.clear();
            m_SortedBy = {-1, 0};
        }
        ApplyFilter();
        return Position(followed);
    }

private:
    // The rows in the order they were appended, with their places in the model's list.
    struct TFill {
        std::vector<T*> Rows;
        std::vector<size_t> Places;
        bool Valid = false;
    };

    const std::vector<T*>& Shown() const { return m_Filtered ? m_Shown : m_Rows; }

    int Position(const T* record) const {
        if (!record)
            return -1;
        const std::vector<T*>& shown = Shown();
        const auto found = std::find(shown.begin(), shown.end(), record);
        return found == shown.end() ? -1 : static_cast<int>(found - shown.begin());
    }

    // The rows the filter lets through, in the order of all rows; from those shown so far only when
    // the filter only narrowed.
    void ApplyFilter(bool narrowing = false) {
        std::vector<T*> candidates;
        if (narrowing)
            candidates.swap(m_Shown);
        m_Shown.clear();
        m_Filtered = !Filter().Empty() && m_FilterText;
        if (!m_Filtered)
            return;
        std::string text, scratch;
        for (T* row : narrowing ? candidates : m_Rows) {
            text.clear();
            m_FilterText(*row, text);
            if (Filter().Matches(text, scratch))
                m_Shown.push_back(row);
        }
    }

    void FullSort(size_t column, int order) {
        if (const TKey key = m_Keys[column])
            SortByKey(key, Columns()[column].AscendingWhenNegative == (order < 0));
        else
            std::stable_sort(
                m_Rows.begin(), m_Rows.end(),
                [compare = m_Compares[column], order](const T* a, const T* b) { return compare(*a, *b) * order < 0; });
    }

    // The rows as the last sort left them, less those that left the list, with those that joined
    // it sorted and placed each by a binary search: a few comparisons per change instead of a sort
    // of the whole list. Which rows joined and left comes from one walk along the places of the
    // previous fill and this one, both increasing.
    // `before`: the fill the rows of m_Sorted came from.
    void SortJoined(size_t column, int order, const TFill& before) {
        const auto less = [compare = m_Compares[column], order](const T* a, const T* b) {
            return compare(*a, *b) * order < 0;
        };
        std::vector<T*> joined, left;
        size_t i = 0, j = 0;
        while (i < before.Rows.size() || j < m_Fill.Rows.size()) {
            if (j == m_Fill.Rows.size() || (i < before.Rows.size() && before.Places[i] < m_Fill.Places[j])) {
                left.push_back(before.Rows[i++]);
            } else if (i == before.Rows.size() || m_Fill.Places[j] < before.Places[i]) {
                joined.push_back(m_Fill.Rows[j++]);
            } else if (before.Rows[i] != m_Fill.Rows[j]) {
                // Another record in the same place: the list cannot have missed a release, but if it
                // did, the old one left and the new one joined.
                left.push_back(before.Rows[i++]);
                joined.push_back(m_Fill.Rows[j++]);
            } else {
                ++i, ++j;
            }
        }
        std::vector<T*> kept;
        if (left.empty()) {
            kept = std::move(m_Sorted);
        } else {
            const std::unordered_set<const T*> gone(left.begin(), left.end());
            kept.reserve(m_Sorted.size() - std::min(m_Sorted.size(), left.size()));
            for (T* row : m_Sorted)
                if (!gone.count(row))
                    kept.push_back(row);
        }
        std::stable_sort(joined.begin(), joined.end(), less);
        m_Rows.clear();
        m_Rows.reserve(kept.size() + joined.size());
        auto from = kept.begin();
        for (T* row : joined) {
            const auto at = std::upper_bound(from, kept.end(), row, less);
            m_Rows.insert(m_Rows.end(), from, at);
            m_Rows.push_back(row);
            from = at;
        }
        m_Rows.insert(m_Rows.end(), from, kept.end());
        m_Sorted = m_Rows;
    }

    // The same order as the comparison function (equal rows keep their order either way), with each
    // row's text built once instead of twice per comparison.
    void SortByKey(TKey key, bool ascending) {
        // All keys in one buffer: one allocation instead of one per row.
        std::string buffer, scratch;
        std::vector<size_t> ends(m_Rows.size());
        for (size_t i = 0; i < m_Rows.size(); ++i) {
            key(*m_Rows[i], scratch);
            buffer += scratch;
            ends[i] = buffer.size();
        }
        std::vector<std::pair<std::string_view, T*>> keyed(m_Rows.size());
        for (size_t i = 0, start = 0; i < m_Rows.size(); start = ends[i++])
            keyed[i] = {std::string_view(buffer).substr(start, ends[i] - start), m_Rows[i]};
        if (ascending)
            std::stable_sort(keyed.begin(), keyed.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
        else
            std::stable_sort(keyed.begin(), keyed.end(),
                             [](const auto& a, const auto& b) { return b.first < a.first; });
        for (size_t i = 0; i < keyed.size(); ++i)
            m_Rows[i] = keyed[i].second;
    }

    // Every row, and (when filtered) those shown.
    std::vector<T*> m_Rows;
    std::vector<T*> m_Shown;
    bool m_Filtered = false;
    TFilterText m_FilterText = nullptr;
    // The places of the rows being appended; whether one came without, and whether the rows were
    // refilled since the last sort.
    std::vector<size_t> m_Places;
    bool m_Unplaced = false;
    bool m_Refilled = false;
    // The fill of the present rows.
    TFill m_Fill;
    // The present rows in the order of the last sort by a fixed-key column, and that column and
    // order ({-1, 0}: none kept).
    std::vector<T*> m_Sorted;
    std::pair<int, int> m_SortedBy{-1, 0};
    std::vector<TCompare> m_Compares;
    std::vector<TKey> m_Keys;
};
