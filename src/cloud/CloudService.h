#pragma once

#include <QUrl>

// The root of the cloud record service, one value for the whole process: the records client and
// the realtime stream both start from it.
namespace CloudService {

inline constexpr auto defaultUrl = "https://cloud.quillfen.com";
// The environment variable that replaces the built-in URL (a self-hosted service, the system tests).
inline constexpr auto environmentVariable = "TONEWHARF_CLOUD_URL";

// TONEWHARF_CLOUD_URL when it holds an absolute http or https URL, else the built-in one.
QUrl baseUrl();

} // namespace CloudService
