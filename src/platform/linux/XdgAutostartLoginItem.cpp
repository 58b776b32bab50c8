#include "platform/linux/XdgAutostartLoginItem.h"

#include "platform/FileSystem.h"

#include <QDir>
#include <QFile>

// GLib names a struct member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <glib.h>
#pragma pop_macro("signals")

namespace {

const char* const group = "Desktop Entry";

// A key of the entry's main group that a desktop reads as the boolean `expected`; a key that is
// missing or not a boolean does not count.
bool holds(GKeyFile* file, const char* key, bool expected) {
    GError* error = nullptr;
    const gboolean value = g_key_file_get_boolean(file, group, key, &error);
    if (error) {
        g_error_free(error);
        return false;
    }
    return bool(value) == expected;
}

} // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(QString autostartFolder, QString executable)
    : m_folder(std::move(autostartFolder))
    , m_executable(std::move(executable)) {}

QString XdgAutostartLoginItem::entryPath() const {
    return QDir(m_folder).filePath(QStringLiteral("tonewharf.desktop"));
}

QString XdgAutostartLoginItem::execValue(const QString& program) {
    // First the Exec quoting: each argument in double quotes, with " ` $ \ escaped inside, and "%%"
    // for a percent sign, which would otherwise start a field code.
    const auto quoted = [](const QString& argument) {
        QString text = QStringLiteral("\"");
        for (const QChar c : argument) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') {
                text += u'\\';
            } else if (c == u'%') {
                text += u'%';
            }
            text += c;
        }
        return text + u'"';
    };
    // GLib looks for the program named first before it turns "%%" back into "%", so it finds no
    // program whose path holds a percent sign; a shell started first runs it, never reading the path.
    const QString command =
        program.contains(u'%')
            ? QStringLiteral("/bin/sh -c ") + quoted(QStringLiteral("exec \"$0\"")) + u' ' + quoted(program)
            : quoted(program);
    // Then the escaping of every string value, which a reader undoes before it looks at quotes:
    // backslashes double, and line breaks and tabs must not end or bend the line.
    QString value;
    for (const QChar c : command) {
        switch (c.unicode()) {
        case '\\':
            value += QStringLiteral("\\\\");
            break;
        case '\n':
            value += QStringLiteral("\\n");
            break;
        case '\r':
            value += QStringLiteral("\\r");
            break;
        case '\t':
            value += QStringLiteral("\\t");
            break;
        default:
            value += c;
        }
    }
    return value;
}

bool XdgAutostartLoginItem::isEnabled() const {
    const std::optional<QByteArray> bytes = FileSystem::readAll(entryPath(), 64 * 1024);
    if (!bytes) {
        return false;
    }
    GKeyFile* file = g_key_file_new();
    GError* error = nullptr;
    bool enabled =
        g_key_file_load_from_data(file, bytes->constData(), gsize(bytes->size()), G_KEY_FILE_NONE, &error) &&
        g_key_file_has_group(file, group);
    if (error) {
        g_error_free(error);
    }
    // An entry the user switched off in their desktop's settings is not enabled.
    enabled = enabled && !holds(file, "Hidden", true) && !holds(file, "X-GNOME-Autostart-enabled", false);
    g_key_file_free(file);
    return enabled;
}

QString XdgAutostartLoginItem::setEnabled(bool enabled) {
    if (!enabled) {
        QFile entry(entryPath());
        if (entry.exists() && !entry.remove()) {
            return entry.errorString();
        }
        return {};
    }
    const WriteResult folder = FileSystem::makeFolder(m_folder);
    if (!folder) {
        return folder.error;
    }
    const QByteArray entry = "[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=Tonewharf\n"
                             "Comment=Carries colour looks between TINTARA and DaVinci Resolve\n"
                             "Exec=" +
                             execValue(m_executable).toUtf8() +
                             "\n"
                             "Terminal=false\n"
                             "X-GNOME-Autostart-enabled=true\n";
    return FileSystem::writeAtomically(entryPath(), entry).error;
}
