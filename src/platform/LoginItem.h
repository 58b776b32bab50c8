#pragma once

#include <QString>

// The application's own "launch at login" registration.
class LoginItem {
public:
    virtual ~LoginItem() = default;

    virtual bool isEnabled() const = 0;
    // Registers or unregisters; the platform's description of the failure, empty on success.
    virtual QString setEnabled(bool enabled) = 0;
};
