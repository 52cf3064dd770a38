#pragma once
// The main window's six lists and their rebuild from the model (RefreshViews, the model's OnChange):
// which records go in which list, the automatic deletion of old blocked mail, and the notification
// about new mail awaiting authorization. The main window owns one and installs RefreshViews as the
// model's OnChange. Thread contract: the model's thread (the user-interface thread) only.

#include <array>
#include <cstdint>
#include <memory>
#include <string>

class TTessivarBusinessLogic;
class TEmailGrid;
class TEmailAddressGrid;
class TDomainNameGrid;
class TLogItemGrid;
class TTessivarGrid;

// What a refresh asks of the window around the lists.
class ITessivarViewsOwner {
public:
    virtual ~ITessivarViewsOwner() = default;
    // The notification window: the text for the given time.
    virtual void ShowNotification(const std::string& text, int milliseconds) = 0;
    // A system sound by its alias, played without waiting.
    virtual void PlaySystemSound(const std::string& alias) = 0;
    virtual void StartTrayAnimation() = 0;
    virtual void StopTrayAnimation() = 0;
    virtual void StartSyncTimer() = 0;
};

// The preference values a refresh reads; all off until the preferences are read.
struct TViewPreferences {
    bool AutomaticallyDeleteBlockedMail = false;
    int32_t AutomaticallyDeleteBlockedMailDays = 0;
    bool NewMessageNotificationWindow = false;
    bool NewMessageNotificationSound = false;
    bool NewMessageAnimateTrayIcon = false;
};

class TTessivarViews {
public:
    explicit TTessivarViews(ITessivarViewsOwner& owner);
    ~TTessivarViews();
    TTessivarViews(const TTessivarViews&) = delete;
    TTessivarViews& operator=(const TTessivarViews&) = delete;

    TViewPreferences Preferences;

    // Rebuilds every list from the model. A change the refresh itself makes (deleting old blocked
    // mail) is already in the lists it builds, so the OnChange it causes is not run again; any other
    // change reported meanwhile is shown by a further round.
    void RefreshViews(TTessivarBusinessLogic& model);
    // Empties every list: to be called before the model releases its records (Shutdown).
    void Clear();
    // The model has freed records since the lists were built: they must be rebuilt before they are
    // shown again (a refresh put off until later would show freed records meanwhile).
    bool Stale(const TTessivarBusinessLogic& model) const;

    // Rows of the mail-awaiting-authorization list after the previous refresh; -1 before the first.
    int PreviousAwaitingCount() const { return m_PreviousAwaitingCount; }
    // The next refresh is the first again: it announces nothing (the model was only just loaded).
    void ForgetAwaitingCount() { m_PreviousAwaitingCount = -1; }

    TEmailGrid& AwaitingDelivery() const { return *m_AwaitingDelivery; }
    TEmailGrid& AwaitingAuthorization() const { return *m_AwaitingAuthorization; }
    TEmailGrid& BlockedMail() const { return *m_BlockedMail; }
    TEmailAddressGrid& Senders() const { return *m_Senders; }
    TDomainNameGrid& DomainNames() const { return *m_DomainNames; }
    TLogItemGrid& ActivityLog() const { return *m_ActivityLog; }

private:
    void FillDomainNames(TTessivarBusinessLogic& model);
    void FillSenders(TTessivarBusinessLogic& model);
    void FillMail(TTessivarBusinessLogic& model);
    void FillActivityLog(TTessivarBusinessLogic& model);
    void Notify(int awaiting);
    std::array<TTessivarGrid*, 6> Grids() const;

    ITessivarViewsOwner& m_Owner;
    std::unique_ptr<TEmailGrid> m_AwaitingDelivery;
    std::unique_ptr<TEmailGrid> m_AwaitingAuthorization;
    std::unique_ptr<TEmailGrid> m_BlockedMail;
    std::unique_ptr<TEmailAddressGrid> m_Senders;
    std::unique_ptr<TDomainNameGrid> m_DomainNames;
    std::unique_ptr<TLogItemGrid> m_ActivityLog;
    int m_PreviousAwaitingCount = -1;
    uint64_t m_RecordsReleased = 0;
    bool m_Refreshing = false;
    bool m_Deleting = false;
    bool m_RefreshAgain = false;
};
