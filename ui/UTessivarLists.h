#pragma once
// The lists of the main window over the model's records: the three mail lists, senders, domain
// names and the activity log, with their columns, start sort columns and cell contents. Thread
// contract: the model's thread (the user-interface thread) only.

#include "base/LDates.h"
#include "ui/UTessivarGrid.h"

#include <QColor>
#include <string>
#include <string_view>

class TTessivarDomainName;
class TTessivarEmail;
class TTessivarEmailAddress;
class TTessivarLogItem;

// The underline colours of address texts.
extern const QColor UnderlineGreen;  // approved
extern const QColor UnderlineRed;    // blocked
extern const QColor UnderlinePurple; // authentication pending
extern const QColor UnderlineOrange; // authenticated

// A date and time in the system's short date and long time format.
QString DateTimeText(TDateTime value);
// The program's 8-bit text (UTF-8, stray bytes as Latin-1) for Qt.
QString DisplayText(std::string_view text);

// Mail awaiting delivery, awaiting authorization or blocked: state, "From", "Subject", "Received".
class TEmailGrid : public TTessivarRecordGrid<TTessivarEmail> {
public:
    enum : int { StateColumn, FromColumn, SubjectColumn, ReceivedColumn };
    explicit TEmailGrid(QObject* parent = nullptr);
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
};

// Senders: state, "Email Address", "Name".
class TEmailAddressGrid : public TTessivarRecordGrid<TTessivarEmailAddress> {
public:
    enum : int { StateColumn, EmailAddressColumn, NameColumn };
    explicit TEmailAddressGrid(QObject* parent = nullptr);
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
};

// Domain names: state, "Domain Name".
class TDomainNameGrid : public TTessivarRecordGrid<TTessivarDomainName> {
public:
    enum : int { StateColumn, DomainNameColumn };
    explicit TDomainNameGrid(QObject* parent = nullptr);
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
};

// Activity log: state (the kind), "Occurred", "Details".
class TLogItemGrid : public TTessivarRecordGrid<TTessivarLogItem> {
public:
    enum : int { StateColumn, OccurredColumn, DetailsColumn };
    explicit TLogItemGrid(QObject* parent = nullptr);
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
};
