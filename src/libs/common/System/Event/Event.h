#pragma once

#include "System/Event/Posix/posix_event.h"

namespace Common {

// The portable waitable event. The platform base holds the operating-system
// object and does all the work.
class CEvent : public Posix::CEvent
{
public:
    CEvent() = default;
    ~CEvent() override = default;
};

}  // namespace Common
