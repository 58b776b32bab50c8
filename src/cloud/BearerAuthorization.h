#pragma once

#include <QNetworkRequest>
#include <QString>

#include <optional>

// Sets "Authorization: Bearer <token>" when a token is held. The token comes from the service; one
// carrying a line break or another control character could write headers of its own into our
// requests, so such a token is not sent at all (the request then goes out unauthorised, and the
// service's refusal is handled like any other).
void setBearerAuthorization(QNetworkRequest& request, const std::optional<QString>& token);
