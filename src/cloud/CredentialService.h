#pragma once

#include <QString>

// The credential-store service name under which the session's items live. Process-wide:
// the application entry sets it once, before the engine (and with it the cloud client) exists.
namespace CredentialService {

inline constexpr auto defaultName = "com.quillfen.tintara.cloud";

QString name();
void setName(const QString& name);

} // namespace CredentialService
