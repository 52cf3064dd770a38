#include "ui/UStateIcons.h"

#include <QPainter>
#include <QPainterPath>

#include <array>

namespace {

void PaintMark(QImage& image, int index) {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor fill = index == StateIconApproved  ? QColor(0, 150, 0)
                        : index == StateIconBlocked ? QColor(210, 0, 0)
                                                    : QColor(150, 150, 150);
    painter.setPen(QPen(fill.darker(140), 1));
    painter.setBrush(fill);
    painter.drawEllipse(QRectF(0.5, 0.5, StateIconSize - 1, StateIconSize - 1));
    QPen mark(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(mark);
    painter.setBrush(Qt::NoBrush);
    if (index == StateIconApproved) {
        QPainterPath tick;
        tick.moveTo(3.2, 6.2);
        tick.lineTo(5.2, 8.2);
        tick.lineTo(8.8, 3.8);
        painter.drawPath(tick);
    } else if (index == StateIconBlocked) {
        painter.drawLine(QPointF(3.8, 3.8), QPointF(8.2, 8.2));
        painter.drawLine(QPointF(8.2, 3.8), QPointF(3.8, 8.2));
    } else {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::white);
        painter.drawEllipse(QPointF(6, 6), 1.6, 1.6);
    }
}

// A round badge with a white mark: a tick on green, a cross on red, a dot on grey.
QImage DrawStateIcon(int index) {
    QImage image(StateIconSize, StateIconSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    PaintMark(image, index);
    return image;
}

} // namespace

const QImage& StateIcon(int index) {
    static const std::array<QImage, StateIconCount> icons = {DrawStateIcon(0), DrawStateIcon(1), DrawStateIcon(2)};
    if (index < 0 || index >= StateIconCount)
        index = StateIconNeither;
    return icons[static_cast<size_t>(index)];
}
