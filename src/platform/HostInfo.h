#pragma once

#include <QString>

namespace HostInfo {

// The computer's user-visible name: PRETTY_HOSTNAME from machineInfoPath, else the host name,
// else "Mac" (the name iPads show when the computer reports none).
QString computerName(const QString& machineInfoPath = QStringLiteral("/etc/machine-info"));

// The short login name of the user running the program.
QString userName();

} // namespace HostInfo
