#include "records/LocalRecords.h"

#include <QJsonDocument>
#include <QTest>

class TestLocalRecords : public QObject {
    Q_OBJECT

private slots:
    void decodesIncomingBodies_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("decodes");
        QTest::addColumn<bool>("hasLook");
        QTest::newRow("name and cube, with a null look and size and keys of its own")
            << QByteArray(R"({"name":"W","cube":"c","look":null,"size":null,"device":"iPad"})") << true
            << false;
        QTest::newRow("a complete look is kept")
            << QByteArray(
                   R"({"name":"W","cube":"c","size":33,"look":{"name":"W","space":"s","slope":[1,1,1],)"
                   R"("offset":[0,0,0],"power":[1,1,1],"saturation":1}})")
            << true << true;
        QTest::newRow("a body without cube fails") << QByteArray(R"({"name":"W"})") << false << false;
        QTest::newRow("a size given as a string fails")
            << QByteArray(R"({"name":"W","cube":"c","size":"33"})") << false << false;
        QTest::newRow("a size with a fraction fails")
            << QByteArray(R"({"name":"W","cube":"c","size":3.5})") << false << false;
        QTest::newRow("a look without saturation fails the body")
            << QByteArray(
                   R"({"name":"W","cube":"c","look":{"name":"W","space":"s","slope":[],"offset":[],"power":[]}})")
            << false << false;
        QTest::newRow("a JSON array fails") << QByteArray("[1]") << false << false;
    }

    void decodesIncomingBodies() {
        QFETCH(QByteArray, json);
        const Decoded<Incoming> incoming = Incoming::decode(json);
        QTEST(incoming.ok(), "decodes");
        QCOMPARE(incoming.error().isEmpty(), incoming.ok());
        QTEST(incoming.ok() && incoming->look.has_value(), "hasLook");
    }

    void encodesSnapshotsExactly() {
        // 2^53 + 1, which a double would round, stays exact in the sequence and in a size.
        const qint64 large = (qint64(1) << 53) + 1;
        const InboxSnapshot snapshot{large,
                                     {{"B.cube", QString(64, 'a'), large}, {"a.cube", QString(64, 'b'), 0}}};
        QCOMPARE(snapshot.encode(), "{\"items\":[{\"hash\":\"" + QByteArray(64, 'a') +
                                        "\",\"name\":\"B.cube\",\"size\":9007199254740993},{\"hash\":\"" +
                                        QByteArray(64, 'b') +
                                        "\",\"name\":\"a.cube\",\"size\":0}],\"seq\":9007199254740993}");
        QCOMPARE((InboxSnapshot{4, {}}.encode()), "{\"items\":[],\"seq\":4}");
    }
};

QTEST_APPLESS_MAIN(TestLocalRecords)
#include "TestLocalRecords.moc"
