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

private:
    QString m_folder;
    QString m_executable;
};
