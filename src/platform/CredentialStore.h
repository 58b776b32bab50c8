#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

#include <optional>

// Small per-user secrets kept under a (service, account) pair. Both calls are synchronous
// and silent: a value that cannot be read counts as absent, a write that fails is lost.
// A delete holds, though: once a value is deleted no later read gives it back, even when the
// store could not be written at the time.
class CredentialStore {
public:
    virtual ~CredentialStore() = default;

    virtual std::optional<QString> read(const QString& service, const QString& account) = 0;
    // Deletes every item of (service, account), then adds the value when one is given.
    virtual void write(const QString& service, const QString& account,
                       const std::optional<QString>& value) = 0;
    // Whether a call may wait on another process (a keyring daemon, a prompt), so that callers on
    // the GUI thread make their writes elsewhere.
    virtual bool mayBlock() const { return true; }
};

// For unit tests and for platforms without a secret store.
class InMemoryCredentialStore final : public CredentialStore {
public:
    bool mayBlock() const override { return false; }

    std::optional<QString> read(const QString& service, const QString& account) override {
        QMutexLocker lock(&m_mutex);
        const auto it = m_items.constFind(key(service, account));
        return it == m_items.cend() ? std::nullopt : std::optional<QString>(*it);
    }

    void write(const QString& service, const QString& account, const std::optional<QString>& value) override {
        QMutexLocker lock(&m_mutex);
        m_items.remove(key(service, account));
        if (value) {
            m_items.insert(key(service, account), *value);
        }
    }

    qsizetype size() const {
        QMutexLocker lock(&m_mutex);
        return m_items.size();
    }

private:
    static QString key(const QString& service, const QString& account) {
        return service + QChar(0) + account;
    }

    mutable QMutex m_mutex;
    QHash<QString, QString> m_items;
};
