#include "cloud/CloudService.h"

#include <QString>
#include <QtGlobal>

namespace CloudService {

QUrl baseUrl() {
    const QString configured = qEnvironmentVariable(environmentVariable).trimmed();
    if (!configured.isEmpty()) {
        const QUrl url(configured, QUrl::StrictMode);
        const QString scheme = url.scheme().toLower();
        if (url.isValid() && !url.host().isEmpty() && (scheme == u"http" || scheme == u"https")) {
            return url;
        }
    }
    return QUrl(QString::fromLatin1(defaultUrl));
}

} // namespace CloudService
