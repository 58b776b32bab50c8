#pragma once

#include "platform/LoginItem.h"

// Launch at login through an XDG autostart entry.
class XdgAutostartLoginItem final : public LoginItem {
public:
    // autostartFolder: normally ~/.config/autostart; executable: what the entry launches.
    XdgAutostartLoginItem(QString autostartFolder, QString executable);

    bool isEnabled() const override;
    QString setEnabled(bool enabled) override;

    QString entryPath() const;
    // What follows "Exec=" for a program that takes no arguments: a reader of desktop entries
    // gives back exactly `program`, whatever characters its path holds.
    static QString execValue(const QString& program);

private:
    QString m_folder;
    QString m_executable;
};
