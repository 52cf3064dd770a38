#include "core/UTessivarRecord.h"

#include "core/UTessivarBusinessLogic.h"

TTessivarRecord::TTessivarRecord(TTessivarBusinessLogic& owner, const char* name)
    : m_Owner(owner), m_Update(name) {}

TTessivarRecord::~TTessivarRecord() = default;

void TTessivarRecord::BeginUpdate() {
    m_Owner.BeginUpdate();
    m_Update.BeginUpdate();
}

void TTessivarRecord::EndUpdate() {
    m_Owner.CheckThread();
    // Without an open bracket of its own the record leaves the owner's count alone: closing it would
    // unbalance a bracket somebody else opened.
    if (!m_Update.IsUpdating()) {
        m_Update.EndUpdate(); // raises "Illegal update state: ..."
        return;
    }
    try {
        if (m_Update.EndUpdate())
            Save();
    } catch (...) {
        // The save's failure is the one that matters; the owner's bracket closes regardless.
        try {
            m_Owner.EndUpdate();
        } catch (...) {
        }
        throw;
    }
    m_Owner.EndUpdate();
}
