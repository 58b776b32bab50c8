#pragma once

#include "platform/CredentialStore.h"

#include <QMutex>

// The credential store of the Linux desktop: the Secret Service (gnome-keyring, KeePassXC, KWallet)
// through libsecret's synchronous calls, items in the default collection. Where no Secret Service
// can be reached, or its default collection is locked, nothing is read or kept, silently: a call
// never waits for an unlock prompt.
//
// A delete that the keyring cannot take then (a sign-out while it is locked) is remembered in
// `forgottenFile`, a plain list of (service, account) pairs: a remembered pair reads as absent,
// its items are deleted once the keyring is open, and a later successful write of a value ends it.
class SecretServiceCredentialStore final : public CredentialStore {
public:
    // Without a file, a delete that fails is lost like any other write.
    explicit SecretServiceCredentialStore(QString forgottenFile = {});

    std::optional<QString> read(const QString& service, const QString& account) override;
    void write(const QString& service, const QString& account, const std::optional<QString>& value) override;

    // Whether a Secret Service answers and its default collection is unlocked.
    static bool isAvailable();

private:
    bool isForgotten(const QString& service, const QString& account);
    void setForgotten(const QString& service, const QString& account, bool forgotten);

    const QString m_forgottenFile;
    QMutex m_forgottenMutex; // reads at start-up and writes on a writer thread may meet
};
