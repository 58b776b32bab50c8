#include "ui/SingleInstance.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class TestSingleInstance : public QObject {
    Q_OBJECT

private slots:
    void secondLaunchAsksTheFirstToShowItsSettings() {
        QTemporaryDir runtime;
        for (int round = 0; round < 2; ++round) { // the second takes over the lock and socket of the first
            SingleInstance primary(runtime.path());
            QVERIFY(primary.isPrimary());
            QSignalSpy shown(&primary, &SingleInstance::showSettingsRequested);
            SingleInstance second(runtime.path());
            QVERIFY(!second.isPrimary());
            QVERIFY(second.askToShowSettings());
            QVERIFY(shown.wait());
        }
    }
};

QTEST_MAIN(TestSingleInstance)
#include "TestSingleInstance.moc"
