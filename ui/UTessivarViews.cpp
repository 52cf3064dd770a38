#include "ui/UTessivarViews.h"

#include "base/LDates.h"
#include "base/UDebug.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "core/UTessivarLogItem.h"
#include "ui/UTessivarLists.h"

#include <array>

namespace {

constexpr int NotificationMilliseconds = 5000;
const char* const NewMailSound = "SystemAsterisk";

// Ends the refresh of the lists on every exit path.
class TRefreshScope {
public:
    explicit TRefreshScope(std::array<TTessivarGrid*, 6> grids, bool& refreshing) : m_Grids(grids), m_Flag(refreshing) {
        m_Flag = true;
        for (TTessivarGrid* grid : m_Grids)
            grid->BeginRefresh();
    }
    ~TRefreshScope() {
        for (TTessivarGrid* grid : m_Grids)
            grid->EndRefresh();
        m_Flag = false;
    }
    TRefreshScope(const TRefreshScope&) = delete;
    TRefreshScope& operator=(const TRefreshScope&) = delete;

private:
    std::array<TTessivarGrid*, 6> m_Grids;
    bool& m_Flag;
};

} // namespace

TTessivarViews::TTessivarViews(ITessivarViewsOwner& owner)
    : m_Owner(owner), m_AwaitingDelivery(std::make_unique<TEmailGrid>()),
      m_AwaitingAuthorization(std::make_unique<TEmailGrid>()), m_BlockedMail(std::make_unique<TEmailGrid>()),
      m_Senders(std::make_unique<TEmailAddressGrid>()), m_DomainNames(std::make_unique<TDomainNameGrid>()),
      m_ActivityLog(std::make_unique<TLogItemGrid>()) {}

TTessivarViews::~TTessivarViews() = default;

void TTessivarViews::RefreshViews(TTessivarBusinessLogic& model) {
    if (m_Refreshing) {
        // A change made while the lists are built (not the refresh's own deletions, which they
        // already show) is shown by another round.
        m_RefreshAgain = m_RefreshAgain || !m_Deleting;
        return;
    }
    do {
        m_RefreshAgain = false;
        const TDateTime start = Now();
        int awaiting = 0;
        {
            TRefreshScope scope(Grids(), m_Refreshing);
            if (Stale(model))
                for (TTessivarGrid* grid : Grids())
                    grid->ForgetOrder();
            m_RecordsReleased = model.RecordsReleased();
            FillDomainNames(model);
            FillSenders(model);
            FillMail(model);
            FillActivityLog(model);
            awaiting = m_AwaitingAuthorization->rowCount();
        }
        // Announced once the lists are complete, in case the window's answer runs the event loop.
        Notify(awaiting);
        Debug("BusinessLogic Update Completed in " + FormatDateTime("HH:NN:SS.ZZZ", Now() - start) + ".");
        m_Owner.StartSyncTimer();
    } while (m_RefreshAgain);
}

void TTessivarViews::Clear() {
    for (TTessivarGrid* grid : Grids())
        grid->Clear();
}

std::array<TTessivarGrid*, 6> TTessivarViews::Grids() const {
    return {m_AwaitingDelivery.get(), m_AwaitingAuthorization.get(), m_BlockedMail.get(),
            m_Senders.get(), m_DomainNames.get(), m_ActivityLog.get()};
}

bool TTessivarViews::Stale(const TTessivarBusinessLogic& model) const {
    return model.RecordsReleased() != m_RecordsReleased;
}

void TTessivarViews::FillDomainNames(TTessivarBusinessLogic& model) {
    for (int i = 0, count = model.DomainNameCount(); i < count; ++i) {
        TTessivarDomainName& domain = model.DomainNames(i);
        if (!domain.Deleted() && (domain.IsApproved() || domain.IsBlocked()))
            m_DomainNames->Append(domain, static_cast<size_t>(i));
    }
}

void TTessivarViews::FillSenders(TTessivarBusinessLogic& model) {
    for (int i = 0, count = model.EmailAddressCount(); i < count; ++i) {
        TTessivarEmailAddress& sender = model.EmailAddresses(i);
        if (!sender.Deleted() && (sender.IsApproved() || sender.IsBlocked() || sender.IsAuthenticated()))
            m_Senders->Append(sender, static_cast<size_t>(i));
    }
}

void TTessivarViews::FillMail(TTessivarBusinessLogic& model) {
    const bool autoDelete = Preferences.AutomaticallyDeleteBlockedMail;
    const TDateTime deleteBefore = Now() - Preferences.AutomaticallyDeleteBlockedMailDays;
    for (int i = 0, count = model.EmailCount(); i < count; ++i) {
        TTessivarEmail& email = model.Emails(i);
        if (email.Deleted())
            continue;
        if (email.IsAwaitingDelivery()) {
            // The approved mail of an IMAP account is in its INBOX already: delivered, not waiting.
            if (!email.Account() || !email.Account()->IsIMAP())
                m_AwaitingDelivery->Append(email, static_cast<size_t>(i));
        } else if (email.IsBlockedMail()) {
            if (!autoDelete || deleteBefore <= email.Received()) {
                m_BlockedMail->Append(email, static_cast<size_t>(i));
                continue;
            }
            // Listed nowhere, even when its row could not be written: the next start tries again.
            try {
                m_Deleting = true;
                email.Delete();
                m_Deleting = false;
            } catch (const std::exception& error) {
                m_Deleting = false;
                DebugException("TfrmTessivar", error);
            }
        } else {
            m_AwaitingAuthorization->Append(email, static_cast<size_t>(i));
        }
    }
}

void TTessivarViews::FillActivityLog(TTessivarBusinessLogic& model) {
    for (int i = 0, count = model.LogItemCount(); i < count; ++i)
        m_ActivityLog->Append(model.LogItems(i), static_cast<size_t>(i));
}

// Announces mail awaiting authorization only when the count grew since a previous refresh; the
// tray stops animating once nothing awaits authorization.
void TTessivarViews::Notify(int awaiting) {
    const bool grew = m_PreviousAwaitingCount != -1 && m_PreviousAwaitingCount < awaiting;
    // Counted before the window is told, so that a refresh the telling causes does not repeat it.
    m_PreviousAwaitingCount = awaiting;
    if (grew) {
        if (Preferences.NewMessageNotificationWindow)
            m_Owner.ShowNotification("There are " + std::to_string(awaiting) + " emails waiting for authorization.",
                                     NotificationMilliseconds);
        if (Preferences.NewMessageNotificationSound)
            m_Owner.PlaySystemSound(NewMailSound);
        if (Preferences.NewMessageAnimateTrayIcon)
            m_Owner.StartTrayAnimation();
    } else if (awaiting == 0) {
        m_Owner.StopTrayAnimation();
    }
}
