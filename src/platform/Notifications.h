#pragma once

#include <QString>

// The desktop's notifications: short messages shown outside the program's windows.
class Notifications {
public:
    virtual ~Notifications() = default;

    // Shows one notification; both texts are plain text. Where the desktop has no notification
    // service nothing is shown and nothing fails.
    virtual void show(const QString& summary, const QString& body) = 0;
};
