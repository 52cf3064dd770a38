#include "ui/UTessivarIcons.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace {

// An envelope on a shield-blue ground, scaled to `size`; `lit` draws the flap open in amber.
QImage DrawEnvelope(int size, bool lit) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 16.0, size / 16.0);
    const QRectF body(1.5, 4.0, 13.0, 9.5);
    painter.setPen(QPen(QColor(30, 60, 110), 1.0));
    painter.setBrush(lit ? QColor(255, 196, 40) : QColor(235, 240, 250));
    painter.drawRoundedRect(body, 1.2, 1.2);
    QPainterPath flap;
    flap.moveTo(body.left(), body.top());
    flap.lineTo(body.center().x(), lit ? 1.2 : 9.5);
    flap.lineTo(body.right(), body.top());
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(30, 60, 110), 1.1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(flap);
    if (!lit) {
        // A small green badge: the mailbox is screened.
        painter.setPen(QPen(Qt::white, 0.8));
        painter.setBrush(QColor(0, 140, 60));
        painter.drawEllipse(QRectF(9.5, 9.0, 6.0, 6.0));
    }
    return image;
}

QIcon ScaledIcon(bool lit) {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128})
        icon.addPixmap(QPixmap::fromImage(DrawEnvelope(size, lit)));
    return icon;
}

QIcon Mark(bool approve) {
    QImage image(16, 16, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    if (approve) {
        painter.setPen(QPen(QColor(0, 140, 0), 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        QPainterPath tick;
        tick.moveTo(2.5, 8.5);
        tick.lineTo(6.5, 12.5);
        tick.lineTo(13.5, 3.5);
        painter.drawPath(tick);
    } else {
        painter.setPen(QPen(QColor(200, 0, 0), 2.2));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(QRectF(2.0, 2.0, 12.0, 12.0));
        painter.drawLine(QPointF(4.2, 11.8), QPointF(11.8, 4.2));
    }
    return QIcon(QPixmap::fromImage(image));
}

} // namespace

QImage TrayFrame(int index) {
    index = std::clamp(index, 0, TrayFrameCount - 1);
    return DrawEnvelope(TrayFrameSize, index == 0);
}

QIcon TrayFrameIcon(int index) {
    return ScaledIcon(std::clamp(index, 0, TrayFrameCount - 1) == 0);
}

QIcon ApproveIcon() {
    return Mark(true);
}

QIcon BlockIcon() {
    return Mark(false);
}

QIcon ApplicationIcon() {
    return ScaledIcon(false);
}
