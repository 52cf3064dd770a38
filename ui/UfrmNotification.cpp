#include "ui/UfrmNotification.h"

#include "base/UDebug.h"
#include "ui/UDesktopNotifications.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QScreen>


namespace {

const int WindowWidth = 160;
const int TickMilliseconds = 100;
const int SlideStep = 16;
// A window this low or lower is gone.
const int VanishingHeight = 6;
// Border line plus the space inside it.
const int Margin = 6;

} // namespace

TDesktopPanel PanelOfScreen(const QRect& screen, const QRect& available) {
    const int top = available.top() - screen.top();
    const int bottom = screen.bottom() - available.bottom();
    const int left = available.left() - screen.left();
    const int right = screen.right() - available.right();
    TDesktopPanel panel;
    if (top > 0 && top >= bottom && top >= left && top >= right) {
        panel.Edge = TDesktopPanel::Top;
        panel.Rect = QRect(screen.left(), screen.top(), screen.width(), top);
    } else if (left > 0 && left > bottom && left >= right) {
        panel.Edge = TDesktopPanel::Left;
        panel.Rect = QRect(screen.left(), screen.top(), left, screen.height());
    } else if (right > 0 && right > bottom) {
        panel.Edge = TDesktopPanel::Right;
        panel.Rect = QRect(available.right() + 1, screen.top(), right, screen.height());
    } else {
        panel.Edge = TDesktopPanel::Bottom;
        panel.Rect = QRect(screen.left(), available.bottom() + 1, screen.width(), bottom);
    }
    return panel;
}

TfrmNotification::TfrmNotification(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus),
      m_PlacesItself(QGuiApplication::platformName() != QLatin1String("wayland")) {
    setObjectName(QStringLiteral("frmNotification"));
    setWindowTitle(QStringLiteral("Tessivar"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    // No layout: a layout would hold the window at the text's height, and the window is to show
    // only as much of the text as its height lets through while it slides.
    lblText = new QLabel(this);
    lblText->setObjectName(QStringLiteral("lblText"));
    lblText->setWordWrap(true);
    lblText->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    lblText->setForegroundRole(QPalette::ToolTipText);
    setFixedWidth(WindowWidth);
    tmrNotification.setInterval(TickMilliseconds);
    connect(&tmrNotification, &QTimer::timeout, this, &TfrmNotification::tmrNotificationTimer);
    SetDesktopNotifications(std::make_unique<TDesktopNotifications>());
    m_PanelSource = [] {
        const QScreen* screen = QGuiApplication::primaryScreen();
        return screen ? PanelOfScreen(screen->geometry(), screen->availableGeometry()) : TDesktopPanel{};
    };
}

TfrmNotification::~TfrmNotification() = default;

void TfrmNotification::SetDesktopNotifications(std::unique_ptr<IDesktopNotifications> desktop) {
    m_Desktop = std::move(desktop);
    m_DesktopOpenId = 0;
    if (m_Desktop)
        connect(m_Desktop.get(), &IDesktopNotifications::ActionInvoked, this, &TfrmNotification::DesktopActionInvoked);
}

void TfrmNotification::DesktopActionInvoked(uint id, const QString& key) {
    if (id != 0 && id == m_DesktopOpenId && (key == QLatin1String("open") || key == QLatin1String("default")))
        emit OpenRequested();
}

int TfrmNotification::FullHeight() const {
    return lblText->heightForWidth(WindowWidth - 2 * Margin) + 2 * Margin;
}

void TfrmNotification::ShowNotification(const QString& text, int duration) {
    // A notification the user can act on comes first, wherever the desktop offers one.
    if (m_Desktop && m_Desktop->OffersActions()) {
        if (const uint id = m_Desktop->Notify(text, duration, true)) {
            m_DesktopOpenId = id;
            return;
        }
    }
    if (!m_PlacesItself) {
        if (!(m_Desktop && m_Desktop->Notify(text, duration, false)) && m_TrayMessage)
            m_TrayMessage(text, duration);
        return;
    }
    lblText->setText(text);
    lblText->setGeometry(Margin, Margin, WindowWidth - 2 * Margin, lblText->heightForWidth(WindowWidth - 2 * Margin));
    m_RemainingTime = duration;
    m_SlideState = TSlideState::Growing;
    tmrNotification.start();
}

void TfrmNotification::tmrNotificationTimer() {
    switch (m_SlideState) {
    case TSlideState::Growing:
        Slide(SlideStep);
        break;
    case TSlideState::Showing:
        m_RemainingTime -= TickMilliseconds;
        if (m_RemainingTime < 0)
            m_SlideState = TSlideState::Shrinking;
        break;
    case TSlideState::Shrinking:
        Slide(-SlideStep);
        break;
    case TSlideState::Hidden:
        tmrNotification.stop();
        hide();
        break;
    }
}

void TfrmNotification::Slide(int delta) {
    int target = m_Height + delta;
    const int full = FullHeight();
    if (target > full) {
        target = full;
        m_SlideState = TSlideState::Showing;
    }
    if (target <= VanishingHeight) {
        tmrNotification.stop();
        m_SlideState = TSlideState::Hidden;
        m_Height = 0;
        hide();
        return;
    }
    const TDesktopPanel panel = m_PanelSource();
    const int right = panel.Rect.left() + panel.Rect.width();
    int top;
    switch (panel.Edge) {
    case TDesktopPanel::Top:
        top = panel.Rect.top() + panel.Rect.height();
        break;
    case TDesktopPanel::Bottom:
        top = panel.Rect.top() - target;
        break;
    default:
        // A panel at a side: the window rises from the bottom of the screen beside it.
        top = panel.Rect.top() + panel.Rect.height() - target;
        break;
    }
    const int left = panel.Edge == TDesktopPanel::Right ? panel.Rect.left() - WindowWidth : right - WindowWidth;
    const int placedLeft = panel.Edge == TDesktopPanel::Left ? right : left;
    m_Height = target;
    setGeometry(placedLeft, top, WindowWidth, target);
    if (!isVisible())
        show();
}

void TfrmNotification::closeEvent(QCloseEvent* event) {
    event->accept();
    emit ProgramEndRequested();
}

void TfrmNotification::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::ToolTipBase));
    painter.setPen(palette().color(QPalette::Dark));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}
