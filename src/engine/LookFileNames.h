#pragma once

#include <QString>

#include <optional>

// How the names of the files a look becomes are formed.
namespace LookFileNames {

// A name that is one plain file name: not empty, no "/" or "\", not "." or "..".
bool isSafe(const QString& name);

// The look name with ".cube" appended unless it already ends so. Cloud names compare the ending
// case-sensitively (Warm.CUBE becomes Warm.CUBE.cube); names from the local network do not.
QString cubeFileName(const QString& lookName, Qt::CaseSensitivity endingCase);

// The cube file name without its last five characters, plus ".drx".
QString stillFileName(const QString& cubeFileName);

// What is left of a name after its last "/" (a/b/Warm gives Warm).
QString lastPathComponent(const QString& name);

// The cube file name for a cloud record's name. A name that is not one plain file name is reduced
// to its last path component, as names from the local network are; nothing when even that is not
// a plain file name, so that no record can lead to a write outside the LUT folder.
std::optional<QString> cloudCubeFileName(const QString& recordName);

} // namespace LookFileNames
