#pragma once
// Base of the records the model owns (domain names, senders, emails, accounts): the update
// protocol that writes a record's row once per outermost bracket. Thread contract: the model's
// thread only; opening a bracket from any other thread raises the model's invalid-thread exception
// and changes nothing.

#include "core/URecordHeap.h"
#include "core/UUpdateBuffer.h"

#include <cstddef>

class TTessivarBusinessLogic;

class TTessivarRecord {
public:
    TTessivarRecord(const TTessivarRecord&) = delete;
    TTessivarRecord& operator=(const TTessivarRecord&) = delete;
    virtual ~TTessivarRecord();

    TTessivarBusinessLogic& Owner() const { return m_Owner; }

    // A model holds its records by the hundred thousand: they come from the record heap. The
    // destructor is virtual, so a record is freed with the size of its own class.
    static void* operator new(size_t size) { return TRecordHeap::AllocateRecord(size); }
    static void operator delete(void* block, size_t size) noexcept { TRecordHeap::DeallocateRecord(block, size); }

    // Opens the owner's bracket, then the record's own.
    void BeginUpdate();
    // Closes the record's bracket (the outermost close saves the row), then the owner's bracket,
    // also when the save failed; the save's failure then passes on.
    void EndUpdate();
    bool IsUpdating() const { return m_Update.IsUpdating(); }

protected:
    TTessivarRecord(TTessivarBusinessLogic& owner, const char* name);

    // Writes the record's row; run when the outermost bracket closes.
    virtual void Save() = 0;

    // The setters' pattern: nothing when the value is unchanged, else assign inside one bracket.
    template <class T, class V> void Change(T& field, const V& value) {
        if (field == value)
            return;
        TUpdateScope<TTessivarRecord> scope(*this);
        field = value;
    }

private:
    TTessivarBusinessLogic& m_Owner;
    TUpdateCounter m_Update;
};
