#include "ui/UTessivarFrame.h"

#include "core/UTessivarBusinessLogic.h"
#include "ui/UStateIcons.h"
#include "ui/UTessivarIcons.h"

#include <QEnterEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

namespace {

const QColor BandTop(38, 78, 140);
const QColor BandBottom(18, 42, 86);
constexpr int CaptionHeight = 34;
constexpr int FooterHeight = 22;

void PaintBand(QWidget& band) {
    QPainter painter(&band);
    QLinearGradient gradient(0, 0, 0, band.height());
    gradient.setColorAt(0, BandTop);
    gradient.setColorAt(1, BandBottom);
    painter.fillRect(band.rect(), gradient);
}

} // namespace

QString VersionCaption() {
    return QStringLiteral("v") + QString::fromStdString(std::string(SoftwareVersion).substr(0, 5));
}

void DrawShadowedText(QPainter& painter, const QRect& rect, int flags, const QString& text) {
    painter.setPen(Qt::black);
    painter.drawText(rect.translated(1, 1), flags, text);
    painter.setPen(Qt::white);
    painter.drawText(rect, flags, text);
}

TCaptionButton::TCaptionButton(const QString& text, QWidget* parent) : QAbstractButton(parent) {
    setText(text);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
}

QSize TCaptionButton::sizeHint() const {
    return fontMetrics().size(Qt::TextSingleLine, text()) + QSize(12, 8);
}

void TCaptionButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QFont font = painter.font();
    font.setBold(true);
    font.setUnderline(m_Hover);
    painter.setFont(font);
    if (m_Hover) {
        painter.setPen(QColor(120, 180, 255));
        painter.drawText(rect(), Qt::AlignCenter, text());
    } else {
        DrawShadowedText(painter, rect(), Qt::AlignCenter, text());
    }
}

void TCaptionButton::enterEvent(QEnterEvent* event) {
    m_Hover = true;
    update();
    QAbstractButton::enterEvent(event);
}

void TCaptionButton::leaveEvent(QEvent* event) {
    m_Hover = false;
    update();
    QAbstractButton::leaveEvent(event);
}

TTessivarCaptionBand::TTessivarCaptionBand(QWidget* parent)
    : QWidget(parent), m_Help(new TCaptionButton(QStringLiteral("Help!"), this)),
      m_Exit(new TCaptionButton(QStringLiteral("Exit"), this)),
      m_Close(new TCaptionButton(QStringLiteral("\u2715"), this)) {
    m_Help->setObjectName(QStringLiteral("btnHelp"));
    m_Exit->setObjectName(QStringLiteral("btnExit"));
    m_Exit->hide();
    m_Close->setObjectName(QStringLiteral("btnClose"));
    m_Close->setToolTip(QStringLiteral("Close"));
    m_Close->setAccessibleName(QStringLiteral("Close"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 4, 0);
    layout->setSpacing(2);
    layout->addStretch();
    // The version text is painted just left of the buttons.
    layout->addSpacing(fontMetrics().horizontalAdvance(VersionCaption()) + 16);
    layout->addWidget(m_Help);
    layout->addWidget(m_Exit);
    layout->addWidget(m_Close);
    setAttribute(Qt::WA_OpaquePaintEvent);
    // The band keeps its height whatever the window below it shows.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QSize TTessivarCaptionBand::sizeHint() const {
    return {400, CaptionHeight};
}

void TTessivarCaptionBand::paintEvent(QPaintEvent*) {
    PaintBand(*this);
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QPixmap logo = ApplicationIcon().pixmap(24, 24);
    painter.drawPixmap(6, (height() - 24) / 2, logo);
    QFont title = painter.font();
    title.setBold(true);
    title.setPointSizeF(title.pointSizeF() * 1.35);
    painter.setFont(title);
    DrawShadowedText(painter, QRect(36, 0, width() / 2, height()), Qt::AlignVCenter | Qt::AlignLeft,
                     QStringLiteral("Tessivar"));
    painter.setFont(font());
    int right = m_Close->geometry().left();
    for (const TCaptionButton* button : {m_Exit, m_Help})
        if (button->isVisible())
            right = button->geometry().left();
    DrawShadowedText(painter, QRect(0, 0, right - 8, height()), Qt::AlignVCenter | Qt::AlignRight,
                     VersionCaption());
}

void TTessivarCaptionBand::mousePressEvent(QMouseEvent* event) {
    // The window manager moves the window while the button is held.
    if (event->button() == Qt::LeftButton && window()->windowHandle())
        window()->windowHandle()->startSystemMove();
}

// The footer's text: a label, so that a screen reader reads it, painted white on its shadow and cut
// with "..." (the ellipsis character of the font when it has one).
class TTessivarFooterText : public QLabel {
public:
    explicit TTessivarFooterText(QWidget* parent) : QLabel(parent) {
        setObjectName(QStringLiteral("lblStatus"));
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        if (text().isEmpty())
            return;
        QPainter painter(this);
        const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, width());
        DrawShadowedText(painter, rect(), Qt::AlignVCenter | Qt::AlignLeft, shown);
    }
};

TTessivarFooterBand::TTessivarFooterBand(QWidget* parent) : QWidget(parent), m_Label(new TTessivarFooterText(this)) {
    setObjectName(QStringLiteral("pnlFooter"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(6 + StateIconSize + 6, 0, 18, 0);
    layout->addWidget(m_Label);
    m_Label->setAccessibleDescription(QStringLiteral("Latest activity"));
}

void TTessivarFooterBand::SetStatus(int kind, const QString& text) {
    m_Kind = kind;
    m_Text = text;
    // One line; the label tells a screen reader of the change. A paint request, not a paint: a
    // burst of log items costs one paint.
    m_Label->setText(QString(text).replace(QLatin1Char('\n'), QLatin1Char(' ')));
    m_Label->setAccessibleDescription(kind == 1 ? QStringLiteral("Latest activity: an error")
                                                : QStringLiteral("Latest activity"));
    update();
}

QSize TTessivarFooterBand::sizeHint() const {
    return {400, FooterHeight};
}

void TTessivarFooterBand::paintEvent(QPaintEvent*) {
    PaintBand(*this);
    if (m_Text.isEmpty() || m_Kind < 0)
        return;
    QPainter painter(this);
    painter.drawImage(6, (height() - StateIconSize) / 2, StateIcon(m_Kind));
}
