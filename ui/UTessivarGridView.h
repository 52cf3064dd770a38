#pragma once
// A view of one of the main window's lists: one selected row at most, a header with the grid's
// captions and column widths (the state column fixed, the others dragged by the user, the last one
// filling the rest), rows of the font's height plus 7 pixels, the header's click rule of the grid,
// and the selection kept in step with the grid's selected row index both ways. It does not own the
// grid. Thread contract: the user-interface thread only.

#include <QTableView>

class TTessivarGrid;

class TTessivarGridView : public QTableView {
    Q_OBJECT
public:
    explicit TTessivarGridView(TTessivarGrid& grid, QWidget* parent = nullptr);
    TTessivarGrid& Grid() const { return m_Grid; }

    // The widths of the columns as text ("20,135,216,119"), and back. A text that does not fit the
    // columns (another count, a width out of range) is ignored: the widths stay as they are.
    QString ColumnWidths() const;
    void SetColumnWidths(const QString& widths);

    // A list that grows at its end (the activity log) keeps its newest row in view while the user
    // is at the end of the list.
    void SetFollowEnd(bool value) { m_FollowEnd = value; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void ApplyRowHeight();
    void ShowSortIndicator();
    // Selects the grid's selected row (none for -1) without echoing it back.
    void SelectGridRow();

    TTessivarGrid& m_Grid;
    bool m_Syncing = false;
    bool m_FollowEnd = false;
    bool m_AtEnd = true;
};
