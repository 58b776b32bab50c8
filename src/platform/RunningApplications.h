#pragma once

#include "platform/ResolveProfile.h"

// Which applications run right now, as far as the Resolve link needs to know.
class RunningApplications {
public:
    virtual ~RunningApplications() = default;

    // True when a running application or process matches the profile's running check.
    virtual bool isResolveRunning(const ResolveProfile& profile) const = 0;
};
