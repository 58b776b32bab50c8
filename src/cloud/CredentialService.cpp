#include "cloud/CredentialService.h"

#include <QMutex>

namespace {

QMutex& mutex() {
    static QMutex instance;
    return instance;
}

QString& current() {
    static QString value = QString::fromLatin1(CredentialService::defaultName);
    return value;
}

} // namespace

namespace CredentialService {

QString name() {
    QMutexLocker lock(&mutex());
    return current();
}

void setName(const QString& name) {
    QMutexLocker lock(&mutex());
    current() = name;
}

} // namespace CredentialService
