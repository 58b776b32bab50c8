#pragma once

#include <QString>

namespace SupportFolder {

// The user's application data folder plus "Tonewharf" (on Linux the first XDG data location).
QString path();

} // namespace SupportFolder
