#include "local/IncomingBody.h"

#include <QTest>

// The fast path must give exactly what Incoming::decode gives, error messages included. Bodies of
// every shape are compared by fuzz/fuzz_incoming_body, whose seeds hold the small cases; large
// cubes, unescaped in place eight bytes at a time, are compared here.
class TestIncomingBody : public QObject {
    Q_OBJECT

private slots:
    void agreesWithTheOrdinaryDecoder_data();
    void agreesWithTheOrdinaryDecoder();
};

void TestIncomingBody::agreesWithTheOrdinaryDecoder_data() {
    // Escapes of every length and multi-byte sequences all through a large cube.
    const QByteArray cube =
        QByteArray("0.25 0.5 0.75\\ncaf\xc3\xa9 \xf0\x9f\x98\x80\\u2603\\u0041\\u00e9\\u07ffx")
            .repeated(70000);
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("a large cube with escapes of every length")
        << R"({"name":"Big","size":33,"cube":")" + cube + R"("})";
    QTest::newRow("an error after the cube is reported at its own offset")
        << R"({"cube":")" + cube + R"(","name":tru})";
    QTest::newRow("a second cube under an escaped key counts instead")
        << R"({"name":"Big","cube":")" + cube + R"(","cu\u0062e":"\ufdd0tonewharf-cube\ufdd1"})";
}

void TestIncomingBody::agreesWithTheOrdinaryDecoder() {
    QFETCH(QByteArray, body);
    const Decoded<Incoming> ordinary = Incoming::decode(body);
    const Decoded<Incoming> fast = IncomingBody::decode(body, 0);
    QCOMPARE(fast.error(), ordinary.error());
    // Compared as a whole: a failing comparison of a megabyte cube would print it all.
    QVERIFY(fast.ok() == ordinary.ok() && (!fast.ok() || fast.value() == ordinary.value()));
}

QTEST_GUILESS_MAIN(TestIncomingBody)
#include "TestIncomingBody.moc"
