#pragma once

#include <QString>

#include <optional>

// The application's own resource files (bridge script, still templates, export script, icons).
// They are real files, because python3 must be able to run the bridge script.
class Resources {
public:
    explicit Resources(QString folder = {})
        : m_folder(std::move(folder)) {}

    // The folder the build put relative to the executable's folder: ../share/tonewharf of an
    // installation under any prefix, or share/tonewharf of a build folder.
    static Resources besideExecutable(const QString& applicationDir);

    const QString& folder() const { return m_folder; }
    // The path of "name.extension" when that file exists.
    std::optional<QString> path(const QString& name, const QString& extension) const;

private:
    QString m_folder;
};
