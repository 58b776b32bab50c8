#include "ui/SingleInstance.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class TestSingleInstance : public QObject {
    Q_OBJECT

private slots:
    void secondLaunchAsksTheFirstToShowItsSettings();
};

void TestSingleInstance::secondLaunchAsksTheFirstToShowItsSettings() {
    QTemporaryDir runtime;
    QVERIFY(runtime.isValid());
    auto first = std::make_unique<SingleInstance>(runtime.path());
    QVERIFY(first->isPrimary());
    QSignalSpy shown(first.get(), &SingleInstance::showSettingsRequested);

    SingleInstance second(runtime.path());
    QVERIFY(!second.isPrimary());
    QVERIFY(second.askToShowSettings());
    QVERIFY(shown.wait());
    QCOMPARE(shown.size(), 1);

    // Once the first has gone, the next launch takes over its lock and socket.
    first.reset();
    SingleInstance third(runtime.path());
    QVERIFY(third.isPrimary());
    QSignalSpy thirdShown(&third, &SingleInstance::showSettingsRequested);
    QVERIFY(SingleInstance(runtime.path()).askToShowSettings());
    QVERIFY(thirdShown.wait());
}

QTEST_MAIN(TestSingleInstance)
#include "TestSingleInstance.moc"
