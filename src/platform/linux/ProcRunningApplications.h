#pragma once

#include "platform/RunningApplications.h"

#include <QString>

// Running processes as Linux shows them under /proc: a process counts when its executable
// (the target of /proc/<pid>/exe) is the profile's running identity.
class ProcRunningApplications final : public RunningApplications {
public:
    // procRoot: normally "/proc"; a test may hand in a folder laid out the same way.
    explicit ProcRunningApplications(QString procRoot = QStringLiteral("/proc"));

    bool isResolveRunning(const ResolveProfile& profile) const override;

    // True when some process's executable is `executable` (its symbolic links resolved or not).
    bool isExecutableRunning(const QString& executable) const;

private:
    QString m_procRoot;
};
