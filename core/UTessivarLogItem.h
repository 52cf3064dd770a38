#pragma once
// An entry of the activity log, never stored. Thread contract: created and read on the model's
// thread; immutable after construction.

#include "base/LDates.h"

#include <cstdint>
#include <string>

class TTessivarBusinessLogic;

class TTessivarLogItem {
public:
    enum : int32_t { Information = 0, Error = 1 };

    TTessivarLogItem(TTessivarBusinessLogic& owner, int32_t kind, std::string details)
        : m_Owner(owner), m_Kind(kind), m_Occurred(Now()), m_Details(std::move(details)) {}
    TTessivarLogItem(const TTessivarLogItem&) = delete;
    TTessivarLogItem& operator=(const TTessivarLogItem&) = delete;

    TTessivarBusinessLogic& Owner() const { return m_Owner; }
    // 0 information, 1 error.
    int32_t Kind() const { return m_Kind; }
    // Local time of creation.
    TDateTime Occurred() const { return m_Occurred; }
    const std::string& Details() const { return m_Details; }

private:
    TTessivarBusinessLogic& m_Owner;
    int32_t m_Kind;
    TDateTime m_Occurred;
    std::string m_Details;
};
