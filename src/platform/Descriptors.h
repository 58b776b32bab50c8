#pragma once

#include <QtGlobal>

// How many descriptors the process may hold open.
namespace Descriptors {

// Raises the soft limit on open descriptors to the hard limit, once at start: the common soft
// limit of 1,024 is soon reached by the connections of a busy local network.
void raiseLimit();

// The soft limit now in force; a very large number when there is none.
qint64 limit();

// Gives a child process back the limit the program started with: a program that still waits with
// select() fails on a descriptor numbered past 1,024. Only what is safe between fork and exec.
void restoreInChild();

} // namespace Descriptors
