#pragma once

#include "platform/CredentialStore.h"

// The credential store of the Linux desktop: the Secret Service (gnome-keyring, KeePassXC, KWallet)
// through libsecret's synchronous calls, items in the default collection. Where no Secret Service
// can be reached, or its default collection is locked, nothing is read or kept, silently: a call
// never waits for an unlock prompt.
class SecretServiceCredentialStore final : public CredentialStore {
public:
    std::optional<QString> read(const QString& service, const QString& account) override;
    void write(const QString& service, const QString& account, const std::optional<QString>& value) override;

    // Whether a Secret Service answers and its default collection is unlocked.
    static bool isAvailable();
};
