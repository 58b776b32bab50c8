#pragma once

#include <QString>

#include <optional>

// How the names of the files a look becomes are formed.
namespace LookFileNames {

// A name that is one plain file name: not empty, no "/" or "\", not "." or "..", and no U+0000,
// other C0 control character or U+007F (a NUL would cut the path short where the system reads it).
bool isSafe(const QString& name);

// A cube file name that can be written as it is: safe, and both it and its still's name within the
// 255 bytes of UTF-8 that file systems allow for one name.
bool isUsable(const QString& cubeFileName);

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

// The n-th file of a cube file name, for looks that share a name: the name itself for 1, then
// "Warm 2.cube", "Warm 3.cube", ...
QString numbered(const QString& cubeFileName, int n);

// Whether `fileName` is `cubeFileName` or one of its numbered forms.
bool isNumberedForm(const QString& fileName, const QString& cubeFileName);

} // namespace LookFileNames
