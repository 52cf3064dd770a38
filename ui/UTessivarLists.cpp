#include "ui/UTessivarLists.h"

#include "base/LUnicode.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "core/UTessivarLogItem.h"
#include "ui/UStateIcons.h"
#include "ui/UTessivarGridSort.h"

#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>

const QColor UnderlineGreen(0, 128, 0);
const QColor UnderlineRed(255, 0, 0);
const QColor UnderlinePurple(128, 0, 128);
const QColor UnderlineOrange(255, 136, 0);

namespace {

constexpr int StateColumnWidth = 20;

// The locale's long time format without the time zone, which our local times do not carry.
QString LongTimeFormat(const QLocale& locale) {
    QString format = locale.timeFormat(QLocale::LongFormat);
    static const QRegularExpression zone(QStringLiteral("\\s*t+\\s*"));
    return format.remove(zone).trimmed();
}

QVariant StateCell(int role, int icon) {
    if (icon < 0 || icon >= StateIconCount)
        icon = StateIconNeither;
    if (role == Qt::AccessibleTextRole)
        return icon == StateIconApproved  ? QStringLiteral("Approved")
               : icon == StateIconBlocked ? QStringLiteral("Blocked")
                                          : QStringLiteral("Undecided");
    if (role == TTessivarGrid::StateIconRole)
        return icon;
    if (role == Qt::DecorationRole)
        return StateIcon(icon);
    return {};
}

QColor DomainColour(const TTessivarEmailAddress* sender) {
    const TTessivarDomainName* domain = sender ? sender->DomainName() : nullptr;
    if (!domain)
        return {};
    return domain->IsApproved() ? UnderlineGreen : domain->IsBlocked() ? UnderlineRed : QColor();
}

QColor AuthenticationColour(const TTessivarEmailAddress& sender) {
    switch (sender.AuthenticationStatus()) {
    case TAuthenticationStatus::Pending:
        return UnderlinePurple;
    case TAuthenticationStatus::Authenticated:
        return UnderlineOrange;
    default:
        return {};
    }
}

// Before "@" in the mail lists: the sender's own approval first, then its authentication.
QColor SenderColour(const TTessivarEmailAddress* sender) {
    if (!sender)
        return {};
    return sender->IsApproved() ? UnderlineGreen : sender->IsBlocked() ? UnderlineRed : AuthenticationColour(*sender);
}

int EmailStateIcon(const TTessivarEmail& email) {
    if (email.IsAwaitingDelivery()) {
        const TTessivarEmailAddress* sender = email.FromEmailAddress();
        const bool approved =
            sender && (sender->IsApproved() || (sender->DomainName() && sender->DomainName()->IsApproved()));
        return approved ? StateIconApproved : StateIconNeither;
    }
    return email.IsBlockedMail() ? StateIconBlocked : StateIconNeither;
}

QString FromText(const TTessivarEmail& email) {
    const TTessivarEmailAddress* sender = email.FromEmailAddress();
    std::string text = sender ? sender->EmailAddress() : std::string();
    if (!email.FromDisplayName().empty()) {
        text += " (";
        text += email.FromDisplayName();
        text += ')';
    }
    return DisplayText(text);
}

// The texts the find field searches, each on its own so that a match never spans two of them.
constexpr char FilterSeparator = '\x1f';

// The address text, appended without building it: this runs for every row at every keystroke.
void AppendAddress(const TTessivarEmailAddress& sender, std::string& text) {
    if (!sender.DomainName()) {
        text += sender.EmailAddress();
        return;
    }
    text += sender.Username();
    text += '@';
    text += sender.DomainName()->DomainName();
}

void EmailFilterText(const TTessivarEmail& email, std::string& text) {
    if (const TTessivarEmailAddress* sender = email.FromEmailAddress())
        AppendAddress(*sender, text);
    text += FilterSeparator;
    text += email.FromDisplayName();
    text += FilterSeparator;
    text += email.Subject();
}

void EmailAddressFilterText(const TTessivarEmailAddress& sender, std::string& text) {
    AppendAddress(sender, text);
    text += FilterSeparator;
    text += sender.DisplayName();
}

void DomainNameFilterText(const TTessivarDomainName& domain, std::string& text) {
    text += domain.DomainName();
}

void LogItemFilterText(const TTessivarLogItem& item, std::string& text) {
    text += item.Details();
}

} // namespace

QString DateTimeText(TDateTime value) {
    int year, month, day, hour, minute, second, msec;
    DecodeDateTime(value, year, month, day, hour, minute, second, msec);
    const QLocale locale = QLocale::system();
    return locale.toString(QDate(year, month, day), QLocale::ShortFormat) + QLatin1Char(' ') +
           locale.toString(QTime(hour, minute, second), LongTimeFormat(locale));
}

QString DisplayText(std::string_view text) {
    return QString::fromStdString(TextToUtf8(text));
}

// ---- Mail lists ----------------------------------------------------------------------------------

TEmailGrid::TEmailGrid(QObject* parent) : TTessivarRecordGrid(parent) {
    AddColumn(QString(), StateColumnWidth, true, SortEmailsByState, 1, true, EmailStateKey);
    AddColumn(QStringLiteral("From"), 135, false, SortEmailsByEmailAddress, 1, true, EmailAddressKey);
    AddColumn(QStringLiteral("Subject"), 216, false, SortEmailsBySubject, 1, true, EmailSubjectKey);
    AddColumn(QStringLiteral("Received"), 119, false, SortEmailsByReceived, -1, false);
    SetSortColumn(ReceivedColumn);
    SetFixedKeys({FromColumn, SubjectColumn, ReceivedColumn});
    SetFilterText(EmailFilterText);
}

QVariant TEmailGrid::data(const QModelIndex& index, int role) const {
    const TTessivarEmail* email = RecordAt(index);
    if (!email)
        return {};
    switch (index.column()) {
    case StateColumn:
        return StateCell(role, EmailStateIcon(*email));
    case FromColumn:
        if (role == Qt::DisplayRole)
            return FromText(*email);
        if (role == UserUnderlineRole)
            return SenderColour(email->FromEmailAddress());
        if (role == DomainUnderlineRole)
            return DomainColour(email->FromEmailAddress());
        return {};
    case SubjectColumn:
        if (role == Qt::DisplayRole)
            return DisplayText(email->Subject());
        if (role == RedLineRole)
            return email->WordBlocked() || email->AdultBlocked();
        return {};
    case ReceivedColumn:
        return role == Qt::DisplayRole ? QVariant(DateTimeText(email->Received())) : QVariant();
    default:
        return {};
    }
}

// ---- Senders -------------------------------------------------------------------------------------

TEmailAddressGrid::TEmailAddressGrid(QObject* parent) : TTessivarRecordGrid(parent) {
    AddColumn(QString(), StateColumnWidth, true, SortEmailAddressByState, 1, true, EmailAddressStateKey);
    AddColumn(QStringLiteral("Email Address"), 220, false, SortEmailAddressByEmailAddress, -1, true,
              EmailAddressAddressKey);
    AddColumn(QStringLiteral("Name"), 250, false, SortEmailAddressByDisplayName, 1, true, EmailAddressDisplayNameKey);
    SetSortColumn(EmailAddressColumn);
    SetFixedKeys({EmailAddressColumn});
    SetFilterText(EmailAddressFilterText);
}

QVariant TEmailAddressGrid::data(const QModelIndex& index, int role) const {
    const TTessivarEmailAddress* sender = RecordAt(index);
    if (!sender)
        return {};
    switch (index.column()) {
    case StateColumn:
        return StateCell(role, sender->IsBlocked()    ? StateIconBlocked
                               : sender->IsApproved() ? StateIconApproved
                                                      : StateIconNeither);
    case EmailAddressColumn:
        if (role == Qt::DisplayRole)
            return DisplayText(sender->EmailAddress());
        if (role == UserUnderlineRole)
            return AuthenticationColour(*sender);
        if (role == DomainUnderlineRole)
            return DomainColour(sender);
        return {};
    case NameColumn:
        return role == Qt::DisplayRole ? QVariant(DisplayText(sender->DisplayName())) : QVariant();
    default:
        return {};
    }
}

// ---- Domain names --------------------------------------------------------------------------------

TDomainNameGrid::TDomainNameGrid(QObject* parent) : TTessivarRecordGrid(parent) {
    AddColumn(QString(), StateColumnWidth, true, SortDomainNameByState);
    AddColumn(QStringLiteral("Domain Name"), 498, false, SortDomainNameByDomainName, -1, true, DomainNameKey);
    SetSortColumn(DomainNameColumn);
    SetFixedKeys({DomainNameColumn});
    SetFilterText(DomainNameFilterText);
}

QVariant TDomainNameGrid::data(const QModelIndex& index, int role) const {
    const TTessivarDomainName* domain = RecordAt(index);
    if (!domain)
        return {};
    switch (index.column()) {
    case StateColumn:
        return StateCell(role, domain->IsApproved() ? StateIconApproved : StateIconBlocked);
    case DomainNameColumn:
        return role == Qt::DisplayRole ? QVariant(DisplayText(domain->DomainName())) : QVariant();
    default:
        return {};
    }
}

// ---- Activity log --------------------------------------------------------------------------------

TLogItemGrid::TLogItemGrid(QObject* parent) : TTessivarRecordGrid(parent) {
    AddColumn(QString(), StateColumnWidth, true, SortLogItemsByKind);
    AddColumn(QStringLiteral("Occurred"), 100, false, SortLogItemsByOccurred, -1, true);
    AddColumn(QStringLiteral("Details"), 370, false, SortLogItemsByDetails, 1, true, LogItemDetailsKey);
    SetSortColumn(OccurredColumn);
    SetFixedKeys({StateColumn, OccurredColumn, DetailsColumn});
    SetFilterText(LogItemFilterText);
}

QVariant TLogItemGrid::data(const QModelIndex& index, int role) const {
    const TTessivarLogItem* item = RecordAt(index);
    if (!item)
        return {};
    switch (index.column()) {
    case StateColumn:
        if (role == Qt::AccessibleTextRole)
            return item->Kind() == 1 ? QStringLiteral("Error") : QStringLiteral("Information");
        return StateCell(role, item->Kind());
    case OccurredColumn:
        return role == Qt::DisplayRole ? QVariant(DateTimeText(item->Occurred())) : QVariant();
    case DetailsColumn:
        return role == Qt::DisplayRole ? QVariant(DisplayText(item->Details())) : QVariant();
    default:
        return {};
    }
}
