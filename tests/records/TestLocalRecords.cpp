#include "records/LocalRecords.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

class TestLocalRecords : public QObject {
    Q_OBJECT

private slots:
    void incomingDecoding_data();
    void incomingDecoding();
    void snapshotEncoding();
    void sequenceAbove2To53StaysExact();
    void itemEquality();
};

void TestLocalRecords::incomingDecoding_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("decodes");
    QTest::addColumn<bool>("hasLook");

    QTest::newRow("name and cube only")
        << QByteArray(R"({"name":"Warm","cube":"LUT_3D_SIZE 2\n"})") << true << false;
    QTest::newRow("extra keys are ignored")
        << QByteArray(R"({"name":"W","cube":"c","device":"iPad","size":33})") << true << false;
    QTest::newRow("a null look and size count as absent")
        << QByteArray(R"({"name":"W","cube":"c","look":null,"size":null})") << true << false;
    QTest::newRow("a complete look is kept")
        << QByteArray(
               R"({"name":"W","cube":"c","look":{"name":"W","space":"s","slope":[1,1,1],"offset":[0,0,0],"power":[1,1,1],"saturation":1}})")
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
    QTest::newRow("a cube given as a number fails")
        << QByteArray(R"({"name":"W","cube":7})") << false << false;
    QTest::newRow("an empty body fails") << QByteArray() << false << false;
    QTest::newRow("a JSON array fails") << QByteArray("[1]") << false << false;
}

void TestLocalRecords::incomingDecoding() {
    QFETCH(QByteArray, json);
    QFETCH(bool, decodes);
    QFETCH(bool, hasLook);

    const auto incoming = Incoming::decode(json);
    QCOMPARE(incoming.ok(), decodes);
    if (decodes) {
        QCOMPARE(incoming->look.has_value(), hasLook);
    } else {
        QVERIFY(!incoming.error().isEmpty());
    }
}

void TestLocalRecords::snapshotEncoding() {
    const QJsonObject empty = QJsonDocument::fromJson(InboxSnapshot{4, {}}.encode()).object();
    QCOMPARE(empty.value("seq").toInteger(), 4);
    QVERIFY(empty.value("items").isArray());
    QCOMPARE(empty.value("items").toArray().size(), 0);

    const InboxSnapshot snapshot{7, {{"B.cube", QString(64, 'a'), 12}, {"a.cube", QString(64, 'b'), 0}}};
    const QJsonObject json = QJsonDocument::fromJson(snapshot.encode()).object();
    const QJsonArray items = json.value("items").toArray();
    QCOMPARE(items.size(), 2);
    QCOMPARE(items.at(0).toObject().value("name").toString(), QStringLiteral("B.cube"));
    QCOMPARE(items.at(0).toObject().value("size").toInteger(), 12);
    QCOMPARE(items.at(1).toObject().value("hash").toString(), QString(64, 'b'));
    QCOMPARE(items.at(0).toObject().keys(), (QStringList{"hash", "name", "size"}));
}

void TestLocalRecords::sequenceAbove2To53StaysExact() {
    const qint64 seq = (qint64(1) << 53) + 1;
    const QByteArray bytes = InboxSnapshot{seq, {{"x.cube", "h", seq}}}.encode();
    QVERIFY2(bytes.contains("9007199254740993"), bytes.constData());
    const QJsonObject json = QJsonDocument::fromJson(bytes).object();
    QCOMPARE(json.value("seq").toInteger(), seq);
}

void TestLocalRecords::itemEquality() {
    const InboxItem item{"a.cube", "h", 3};
    QVERIFY(item == (InboxItem{"a.cube", "h", 3}));
    QVERIFY(!(item == (InboxItem{"a.cube", "h", 4})));
    QVERIFY(!(item == (InboxItem{"a.cube", "g", 3})));
    QVERIFY(!(item == (InboxItem{"A.cube", "h", 3})));
}

QTEST_GUILESS_MAIN(TestLocalRecords)
#include "TestLocalRecords.moc"
