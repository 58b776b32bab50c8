#include "records/LocalRecords.h"

#include <QTest>

class TestLocalRecords : public QObject {
    Q_OBJECT

private slots:
    void decodesIncomingBodies_data() {
        QTest::addColumn<QByteArray>("look");
        QTest::addColumn<bool>("decodes");
        const QByteArray sop = R"("name":"W","space":"s","slope":[],"offset":[],"power":[])";
        QTest::newRow("a null look and size decode") << QByteArray(R"(null,"size":null)") << true;
        QTest::newRow("a complete look is kept") << "{" + sop + R"(,"saturation":1},"size":33)" << true;
        QTest::newRow("a size with a fraction fails the body") << QByteArray(R"(null,"size":3.5)") << false;
        QTest::newRow("a look without saturation fails the body") << "{" + sop + "}" << false;
    }

    void decodesIncomingBodies() {
        QFETCH(QByteArray, look);
        const Decoded<Incoming> incoming = Incoming::decode(R"({"name":"W","cube":"c","look":)" + look + "}");
        QTEST(incoming.ok(), "decodes");
        QCOMPARE(incoming.ok() && incoming->look.has_value(), incoming.ok() && look.startsWith('{'));
    }

    void encodesSnapshotsExactly() { // 2^53 + 1 stays exact
        const qint64 large = (qint64(1) << 53) + 1;
        QCOMPARE(
            (InboxSnapshot{large, {{"B.cube", "ab", large}}}.encode()),
            R"({"items":[{"hash":"ab","name":"B.cube","size":9007199254740993}],"seq":9007199254740993})");
    }
};

QTEST_APPLESS_MAIN(TestLocalRecords)
#include "TestLocalRecords.moc"
