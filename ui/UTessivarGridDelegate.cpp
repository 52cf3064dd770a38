#include "ui/UTessivarGridDelegate.h"

#include "ui/UStateIcons.h"
#include "ui/UTessivarGrid.h"

#include <QApplication>
#include <QAbstractItemView>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

namespace {

const QString Dots = QStringLiteral("...");

// A one-pixel line under characters [from, to) of the visible text.
void Underline(QPainter& painter, const QFontMetrics& metrics, const QString& text, int from, int to, QPoint origin,
               const QColor& colour) {
    if (!colour.isValid() || to <= from)
        return;
    const int left = origin.x() + metrics.horizontalAdvance(text.left(from));
    const int right = origin.x() + metrics.horizontalAdvance(text.left(to));
    const int y = origin.y() + metrics.underlinePos();
    painter.setPen(QPen(colour, 1));
    painter.drawLine(left, y, right - 1, y);
}

} // namespace

TCutText CutText(const QString& text, int width, const QFontMetrics& metrics) {
    if (metrics.horizontalAdvance(text) <= width)
        return {text, static_cast<int>(text.size())};
    // The most characters that fit with the dots: advances only grow with the length.
    int low = 0, high = static_cast<int>(text.size()) - 1;
    while (low < high) {
        const int middle = (low + high + 1) / 2;
        if (metrics.horizontalAdvance(text.left(middle) + Dots) <= width)
            low = middle;
        else
            high = middle - 1;
    }
    // A surrogate pair is never split.
    if (low > 0 && text.at(low - 1).isHighSurrogate())
        --low;
    return {text.left(low) + Dots, low};
}

TAddressSpans AddressSpans(const QString& text) {
    TAddressSpans spans;
    spans.At = static_cast<int>(text.indexOf(QLatin1Char('@')));
    if (spans.At < 0)
        return spans;
    const auto blank = text.indexOf(QLatin1Char(' '), spans.At + 1);
    spans.DomainEnd = blank < 0 ? static_cast<int>(text.size()) : static_cast<int>(blank);
    return spans;
}

bool TextIsCut(const QString& text, int cellWidth, const QFontMetrics& metrics) {
    return metrics.horizontalAdvance(text) > cellWidth - 2 * TTessivarGridDelegate::TextMargin;
}

bool TTessivarGridDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                      const QModelIndex& index) {
    if (!event || !view || event->type() != QEvent::ToolTip)
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    const QString text = index.data(Qt::DisplayRole).toString();
    if (text.isEmpty() || !TextIsCut(text, option.rect.width(), option.fontMetrics)) {
        QToolTip::hideText();
        event->ignore();
        return true;
    }
    // As rich text that is escaped: a subject such as "<b>" is shown as written, and long texts wrap.
    QToolTip::showText(event->globalPos(), QStringLiteral("<qt>") + text.toHtmlEscaped() + QStringLiteral("</qt>"),
                       view, option.rect);
    return true;
}

int TTessivarGridDelegate::RowHeight(const QFontMetrics& metrics) {
    return metrics.height() + 7;
}

QSize TTessivarGridDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const QVariant width = index.model()->headerData(index.column(), Qt::Horizontal, TTessivarGrid::ColumnWidthRole);
    return {width.toInt(), RowHeight(option.fontMetrics)};
}

void TTessivarGridDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                  const QModelIndex& index) const {
    painter->save();
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette::ColorGroup group = option.state & QStyle::State_Active ? QPalette::Active : QPalette::Inactive;
    if (selected)
        painter->fillRect(option.rect, option.palette.brush(group, QPalette::Highlight));

    const QVariant icon = index.data(TTessivarGrid::StateIconRole);
    if (icon.isValid()) {
        const QImage& image = StateIcon(icon.toInt());
        const QPoint at(option.rect.x() + (option.rect.width() - image.width()) / 2,
                        option.rect.y() + (option.rect.height() - image.height()) / 2);
        painter->drawImage(at, image);
        painter->restore();
        return;
    }

    const QFontMetrics& metrics = option.fontMetrics;
    const QString text = index.data(Qt::DisplayRole).toString();
    const QRect area = option.rect.adjusted(TextMargin, 0, -TextMargin, 0);
    const TCutText cut = CutText(text, area.width(), metrics);
    const QPoint origin(area.x(), area.y() + (area.height() - metrics.height()) / 2 + metrics.ascent());
    painter->setFont(option.font);
    painter->setClipRect(option.rect);
    painter->setPen(option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
    painter->drawText(origin, cut.Shown);

    if (index.data(TTessivarGrid::RedLineRole).toBool())
        Underline(*painter, metrics, cut.Shown, 0, static_cast<int>(cut.Shown.size()), origin, QColor(255, 0, 0));
    const QColor user = index.data(TTessivarGrid::UserUnderlineRole).value<QColor>();
    const QColor domain = index.data(TTessivarGrid::DomainUnderlineRole).value<QColor>();
    if (user.isValid() || domain.isValid()) {
        const TAddressSpans spans = AddressSpans(text);
        if (spans.At >= 0) {
            Underline(*painter, metrics, cut.Shown, 0, std::min(spans.At, cut.Kept), origin, user);
            Underline(*painter, metrics, cut.Shown, spans.At + 1, std::min(spans.DomainEnd, cut.Kept), origin, domain);
        }
    }
    painter->restore();
}
