#include "support/CloudTestService.h"

#include <QJsonObject>
#include <QTest>

// The launcher itself: the service starts, answers its control API and records what it is sent.
class TestCloudTestService : public QObject {
    Q_OBJECT

private slots:
    void startsAndRecords() {
        CloudTestService service;
        QVERIFY(service.start());
        QVERIFY(service.baseUrl().port() > 0);
        const QString id = service.createUser(QStringLiteral("a@b.c"), QStringLiteral("pw"));
        QCOMPARE(id.size(), 15);
        QCOMPARE(service.requests().size(), 0);
        QCOMPARE(
            service.control("GET", QStringLiteral("/_test/realtime/opens")).toObject().value("count").toInt(),
            0);
        QCOMPARE(service.control("GET", QStringLiteral("/_test/nothing")).toObject().value("code").toInt(),
                 404);
        QCOMPARE(service.lastStatus(), 404);
    }
};

QTEST_GUILESS_MAIN(TestCloudTestService)
#include "TestCloudTestService.moc"
