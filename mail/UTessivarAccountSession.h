#pragma once
// A delivery session: the emails offered to one connection of the mail program. Thread contract:
// built (AddEmail) and destroyed on the model's thread; between those, only the connection's
// thread uses it. The process-wide count of live sessions may change on any thread.

#include <cstdint>
#include <memory>
#include <vector>

class TTessivarAccount;
class TTessivarEmail;

class TTessivarAccountSessionItem {
public:
    // Marks the email as offered by a session until the item is destroyed.
    explicit TTessivarAccountSessionItem(TTessivarEmail& email);
    ~TTessivarAccountSessionItem();
    TTessivarAccountSessionItem(const TTessivarAccountSessionItem&) = delete;
    TTessivarAccountSessionItem& operator=(const TTessivarAccountSessionItem&) = delete;

    TTessivarEmail& Email() const { return m_Email; }
    bool MarkedForDeletion() const { return m_MarkedForDeletion; }
    void MarkForDeletion() { m_MarkedForDeletion = true; }
    void ResetDeletion() { m_MarkedForDeletion = false; }
    // Size of the stored message, read from the file on every call; raises when it cannot be read.
    int64_t Size() const;

private:
    TTessivarEmail& m_Email;
    bool m_MarkedForDeletion = false;
};

class TTessivarAccountSession {
public:
    explicit TTessivarAccountSession(TTessivarAccount& account);
    ~TTessivarAccountSession();
    TTessivarAccountSession(const TTessivarAccountSession&) = delete;
    TTessivarAccountSession& operator=(const TTessivarAccountSession&) = delete;

    TTessivarAccount& Account() const { return m_Account; }
    int Count() const { return static_cast<int>(m_Items.size()); }
    // Index from 0.
    TTessivarAccountSessionItem& Items(int index) const { return *m_Items.at(index); }
    // Sum of the sizes of every item, marked ones included.
    int64_t TotalSize() const;
    void ResetDeletions();
    // Appends an item for the email; only while the model builds the session. An email whose stored
    // file cannot be read, or holds nothing, is left out (false): offered, it would fail STAT and LIST
    // at every login, so that no mail at all reached the mail program any more. It is traced every
    // time and written to the activity log (kind 1) the first time the program meets it; it is
    // offered again once its file can be read.
    bool AddEmail(TTessivarEmail& email);

    // Sessions alive in the process (for the trace).
    static int LiveCount();

private:
    TTessivarAccount& m_Account;
    std::vector<std::unique_ptr<TTessivarAccountSessionItem>> m_Items;
};
