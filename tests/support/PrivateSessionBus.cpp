#include "support/PrivateSessionBus.h"

PrivateSessionBus::PrivateSessionBus() {
    m_daemon.start(
        QStringLiteral("dbus-daemon"),
        {"--config-file=" TONEWHARF_TEST_SUPPORT_DIR "/private-bus.conf", "--nofork", "--print-address=1"});
    while (m_daemon.waitForReadyRead(10000) && !m_daemon.canReadLine()) {
    }
    m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
    m_environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
}

PrivateSessionBus::~PrivateSessionBus() {
    m_daemon.terminate();
    m_daemon.waitForFinished();
}
