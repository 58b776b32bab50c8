#include "cloud/BearerAuthorization.h"

#include <algorithm>

void setBearerAuthorization(QNetworkRequest& request, const std::optional<QString>& token) {
    if (!token) {
        return;
    }
    const QByteArray bytes = token->toUtf8();
    const bool control = std::any_of(bytes.begin(), bytes.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
    if (!control) {
        request.setRawHeader("Authorization", "Bearer " + bytes);
    }
}
