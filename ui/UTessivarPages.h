#pragma once
// The main window's tab pages: "Pending Mail" with the three mail lists, "Review Approvals" with
// the senders and domain names, "Current Activity" with the activity log, and "Account Setup";
// each list with its row of buttons and their states, every button wired to its action. The lists
// themselves belong to the views; the pages only show them. Thread contract: the user-interface
// thread.

#include <QPushButton>
#include <QString>
#include <QTabWidget>

class QLineEdit;
class QSplitter;
class TMessagePreviewPane;

#include <functional>
#include <map>

class TTessivarViews;
class TTessivarGridView;
class TTessivarDomainName;
class TTessivarEmailAddress;

// What the buttons that open other windows do; a missing one hides its button.
struct TPageCommands {
    std::function<void()> NewSender;
    std::function<void(TTessivarEmailAddress&)> EditSender;
    std::function<void()> NewDomainName;
    std::function<void(TTessivarDomainName&)> EditDomainName;
    std::function<void()> ImportContacts;
};

class TTessivarPages : public QTabWidget {
    Q_OBJECT
public:
    enum TMainPage : int { PendingMailPage, ReviewApprovalsPage, CurrentActivityPage, AccountSetupPage };
    enum TPendingPage : int { AwaitingDeliveryPage, AwaitingAuthorizationPage, BlockedMailPage };
    enum TReviewPage : int { SendersPage, DomainNamesPage };

    TTessivarPages(TTessivarViews& views, TPageCommands commands, QWidget* parent);

    QTabWidget& PendingTabs() const { return *m_Pending; }
    // The find field above the lists: it narrows every list as the user types.
    QLineEdit& FindField() const { return *m_Find; }
    // The preview of the selected message below the mail lists, and the splitter that closes it.
    TMessagePreviewPane& Preview() const { return *m_Preview; }
    QSplitter& PreviewSplitter() const { return *m_PreviewSplitter; }
    // Every list view, for saving and restoring their column widths.
    const std::map<std::pair<int, int>, TTessivarGridView*>& GridViews() const { return m_GridViews; }
    QTabWidget& ReviewTabs() const { return *m_Review; }
    // The first page of each tab set.
    void SelectFirstPages();
    void SelectAwaitingAuthorization();
    // The Account Setup page's content (set by the window that provides it).
    void SetAccountSetupPage(QWidget* page);

    // A button by its object name (e.g. "btnAwaitingAuthorizationApproveBySender"); for tests.
    QPushButton* Button(const QString& name) const;
    TTessivarGridView& View(int mainPage, int subPage) const;

private:
    QWidget* MailPage(class TEmailGrid& grid, const QString& name, bool approve, bool block, bool deleteAll);
    template <class TGrid, class TRecord>
    QWidget* ApprovalPage(TGrid& grid, const QString& name, int subPage, void (*toggleRecord)(TGrid&),
                          void (*deleteRecord)(TGrid&), std::function<void(TRecord&)> editRecord,
                          std::function<void()> newRecord, std::function<void()> import);
    QWidget* ActivityPage(class TLogItemGrid& grid);
    QPushButton* AddButton(class QHBoxLayout& row, const QString& name, const QString& caption);
    void FocusList(QTabWidget& tabs, int index);
    // Shows the selected email of the mail list on show (while the preview is open).
    void UpdatePreview();
    void ApplyFilter(const QString& text);

    TTessivarViews& m_Views;
    TPageCommands m_Commands;
    QTabWidget* m_Pending;
    QTabWidget* m_Review;
    QWidget* m_AccountSetupHolder;
    QSplitter* m_PreviewSplitter;
    TMessagePreviewPane* m_Preview;
    QLineEdit* m_Find;
    std::map<QString, QPushButton*> m_Buttons;
    std::map<std::pair<int, int>, TTessivarGridView*> m_GridViews;
};
