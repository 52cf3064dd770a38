#pragma once
// Paints the cells of the main window's lists: the state icon centred in its column, text cut with
// "..." when it does not fit, the one-pixel sender and domain underlines of address texts (which
// stop before the dots) and the red line under blocked subjects. Rows are as tall as the font's
// height plus 7 pixels. Thread contract: the user-interface thread only.

#include <QStyledItemDelegate>

class QFontMetrics;

// The part of a text that fits a width: the whole text, or as many of its first characters as fit
// together with "..." (Kept counts those characters; Shown ends in "...").
struct TCutText {
    QString Shown;
    int Kept = 0;
};
TCutText CutText(const QString& text, int width, const QFontMetrics& metrics);

// Where the address underlines go in a text: [0, At) before "@" and (At, DomainEnd) after it, up
// to the first blank; At is -1 without "@".
struct TAddressSpans {
    int At = -1;
    int DomainEnd = -1;
};
TAddressSpans AddressSpans(const QString& text);

// Whether a cell of the given width cuts the text (its tooltip then shows the whole text).
bool TextIsCut(const QString& text, int cellWidth, const QFontMetrics& metrics);

class TTessivarGridDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit TTessivarGridDelegate(QObject* parent = nullptr) : QStyledItemDelegate(parent) {}
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // A cut cell shows its whole text as a tooltip; a whole one shows none.
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

    // Pixels between the cell's left edge and its text.
    static constexpr int TextMargin = 3;
    static int RowHeight(const QFontMetrics& metrics);
};
