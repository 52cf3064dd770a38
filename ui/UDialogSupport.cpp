#include "ui/UDialogSupport.h"

#include "base/LUnicode.h"
#include "base/UDebug.h"
#include "core/UTessivarApprovalRecord.h"
#include "core/UTessivarBusinessLogic.h"
#include "ui/UMessageBox.h"

#include <QBoxLayout>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialog>
#include <QEvent>
#include <QUrl>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QWidget>

namespace {

const int ApprovedItem = 0;
const int BlockedItem = 1;

// The application's style, but for the character a password edit draws.
class TMaskStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '*';
        if (hint == SH_LineEdit_PasswordMaskDelay)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

// Room a title bar takes besides the caption: the window's icon and its buttons, and margins.
constexpr int TitleBarRoom = 140;

// Widens its window to its caption whenever the caption changes.
class TCaptionWidthKeeper : public QObject {
public:
    explicit TCaptionWidthKeeper(QWidget& window) : QObject(&window) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::WindowTitleChange || event->type() == QEvent::Show)
            Apply(*static_cast<QWidget*>(watched));
        return false;
    }
    static void Apply(QWidget& window) {
        const int width = CaptionWidth(window);
        if (window.minimumWidth() < width)
            window.setMinimumWidth(width);
        if (window.width() < width)
            window.resize(width, window.height());
    }
};

} // namespace

int CaptionWidth(const QWidget& window) {
    QFont font = QGuiApplication::font();
    font.setBold(true);
    return QFontMetrics(font).horizontalAdvance(window.windowTitle()) + TitleBarRoom;
}

bool OpenInWebBrowser(QWidget* parent, const QString& url, const std::function<bool(const QString&)>& open) {
    const bool opened = open ? open(url) : QDesktopServices::openUrl(QUrl(url));
    if (!opened)
        TMessageBox::Show(parent, QMessageBox::Information, QStringLiteral("Help"),
                          QStringLiteral("No web browser could be started to show this page. Open this address in "
                                         "your web browser:\n\n") +
                              url,
                          QMessageBox::Ok);
    return opened;
}

void KeepCaptionReadable(QWidget& window) {
    window.installEventFilter(new TCaptionWidthKeeper(window));
    TCaptionWidthKeeper::Apply(window);
}

QString ToQString(const std::string& text) {
    return QString::fromStdString(TextToUtf8(text));
}

std::string ToText(const QString& text) {
    return text.toStdString();
}

int CharacterCount(const QString& text) {
    return static_cast<int>(text.toUcs4().size());
}

void CentreWindowOver(QWidget& window, const QWidget& other) {
    const QRect outer = other.frameGeometry();
    const QSize size = window.frameGeometry().size();
    window.move(outer.left() + (outer.width() - size.width()) / 2, outer.top() + (outer.height() - size.height()) / 2);
}

void CentreWindowOnDesktop(QWidget& window) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return;
    const QRect area = screen->availableGeometry();
    const QSize size = window.frameGeometry().size();
    window.move(area.left() + (area.width() - size.width()) / 2, area.top() + (area.height() - size.height()) / 2);
}

void MaskEdit(QLineEdit& edit) {
    // The edit is the style's parent: a deleted style falls back to the application's.
    auto* style = new TMaskStyle;
    style->setParent(&edit);
    edit.setStyle(style);
    edit.setEchoMode(QLineEdit::Password);
}

bool ApplyToModel(TTessivarBusinessLogic& model, const char* windowClass, const std::function<void()>& change) {
    try {
        TUpdateScope<TTessivarBusinessLogic> scope(model);
        change();
        return true;
    } catch (const std::exception& error) {
        DebugException(windowClass, error);
        try {
            model.AddLogItem(error.what(), 1);
        } catch (const std::exception& logError) {
            DebugException(windowClass, logError);
        }
        return false;
    }
}

QComboBox* NewApprovalList(QWidget& parent) {
    auto* list = new QComboBox(&parent);
    list->setObjectName("cmbApproval");
    list->addItems({QStringLiteral("Approved"), QStringLiteral("Blocked")});
    list->setEditable(false);
    return list;
}

bool BlockedSelected(const QComboBox& list) {
    return list.currentIndex() == BlockedItem;
}

void SelectBlocked(QComboBox& list, bool blocked) {
    list.setCurrentIndex(blocked ? BlockedItem : ApprovedItem);
}

void ApplyApproval(TTessivarApprovalRecord& record, bool blocked, const std::string& notes) {
    TUpdateScope<TTessivarApprovalRecord> scope(record);
    if (blocked)
        record.Block();
    else
        record.Approve();
    record.SetNotes(notes);
}

QPushButton* AddOkCancel(QDialog& window, QBoxLayout& layout, QPushButton** cancel) {
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* ok = new QPushButton(QStringLiteral("Ok"), &window);
    ok->setObjectName("btnOk");
    ok->setDefault(true);
    auto* cancelButton = new QPushButton(QStringLiteral("Cancel"), &window);
    cancelButton->setObjectName("btnCancel");
    buttons->addWidget(ok);
    buttons->addWidget(cancelButton);
    layout.addLayout(buttons);
    QObject::connect(cancelButton, &QPushButton::clicked, &window, &QDialog::reject);
    if (cancel != nullptr)
        *cancel = cancelButton;
    return ok;
}
