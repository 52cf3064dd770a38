#pragma once
// A view of one of the main window's lists: one selected row at most, the grid's column widths
// (the state column fixed), rows of the font's height plus 7 pixels, the header's click rule of the
// grid, and the selection kept in step with the grid's selected row index both ways. It does not
// own the grid. Thread contract: the user-interface thread only.

#include <QTableView>

class TTessivarGrid;

class TTessivarGridView : public QTableView {
    Q_OBJECT
public:
    explicit TTessivarGridView(TTessivarGrid& grid, QWidget* parent = nullptr);
    TTessivarGrid& Grid() const { return m_Grid; }

protected:
    void changeEvent(QEvent* event) override;

private:
    void ApplyRowHeight();
    void ShowSortIndicator();
    // Selects the grid's selected row (none for -1) without echoing it back.
    void SelectGridRow();

    TTessivarGrid& m_Grid;
    bool m_Syncing = false;
};
