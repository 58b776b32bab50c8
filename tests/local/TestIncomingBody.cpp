#include "local/IncomingBody.h"

#include <QTest>

// The fast path must give exactly what Incoming::decode gives, or fail where it fails.
class TestIncomingBody : public QObject {
    Q_OBJECT

private slots:
    void agreesWithTheOrdinaryDecoder_data();
    void agreesWithTheOrdinaryDecoder();
};

void TestIncomingBody::agreesWithTheOrdinaryDecoder_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("decodes");

    QTest::newRow("a plain look") << QByteArray(R"({"name":"Warm","cube":"LUT_3D_SIZE 2\n0 0 0\n"})") << true;
    QTest::newRow("blanks around every token")
        << QByteArray(" {\n \"name\" : \"Warm\" ,\r\n\t\"cube\" :\t\"a b\" , \"size\" : 2 }\n") << true;
    QTest::newRow("every simple escape")
        << QByteArray(R"({"name":"W","cube":"q\" s\\ f\/ b\b f\f n\n r\r t\t"})") << true;
    QTest::newRow("a unicode escape outside the surrogates")
        << QByteArray(R"({"name":"W","cube":"caf\u00e9 \u2603 \u0041"})") << true;
    QTest::newRow("an escaped surrogate pair is left to the ordinary decoder")
        << QByteArray(R"({"name":"W","cube":"\ud83d\ude00"})") << true;
    QTest::newRow("a lone escaped surrogate is left to the ordinary decoder")
        << QByteArray(R"({"name":"W","cube":"\ud83d x"})") << true;
    QTest::newRow("raw UTF-8 of two, three and four bytes")
        << QByteArray("{\"name\":\"W\",\"cube\":\"caf\xc3\xa9 \xe2\x98\x83 \xf0\x9f\x98\x80\"}") << true;
    QTest::newRow("bytes that are not UTF-8 in the cube")
        << QByteArray("{\"name\":\"W\",\"cube\":\"bad \xff\xfe\"}") << false;
    QTest::newRow("an overlong UTF-8 form in the cube")
        << QByteArray("{\"name\":\"W\",\"cube\":\"\xc0\xaf\"}") << false;
    QTest::newRow("a raw control character is left to the ordinary decoder, which takes it")
        << QByteArray("{\"name\":\"W\",\"cube\":\"a\x01z\"}") << true;
    QTest::newRow("an unknown escape is left to the ordinary decoder, which takes it")
        << QByteArray(R"({"name":"W","cube":"a\qz"})") << true;
    QTest::newRow("a short unicode escape in the cube")
        << QByteArray(R"({"name":"W","cube":"a\u12"})") << false;
    QTest::newRow("a cube that is a number") << QByteArray(R"({"name":"W","cube":5})") << false;
    QTest::newRow("no cube at all") << QByteArray(R"({"name":"W"})") << false;
    QTest::newRow("no name") << QByteArray(R"({"cube":"x"})") << false;
    QTest::newRow("a size given as a string") << QByteArray(R"({"name":"W","cube":"x","size":"2"})") << false;
    QTest::newRow("a look without saturation")
        << QByteArray(R"({"name":"W","cube":"x","look":{"slope":[1,1,1],"offset":[0,0,0],"power":[1,1,1]}})")
        << false;
    QTest::newRow("extra members, one of them an object holding its own cube")
        << QByteArray(
               R"({"extra":{"cube":"inner","list":["}",{"a":"]"}]},"name":"W","cube":"outer","n":null})")
        << true;
    QTest::newRow("two cube members") << QByteArray(R"({"name":"W","cube":"first","cube":"second"})") << true;
    QTest::newRow("a later cube member written with an escape in its key")
        << QByteArray(R"({"name":"W","cube":"plain","c\u0075be":"escaped"})") << true;
    QTest::newRow("a later cube member that is not a string")
        << QByteArray(R"({"name":"W","cube":"plain","cube":7})") << false;
    QTest::newRow("garbage after the object") << QByteArray(R"({"name":"W","cube":"x"} x)") << false;
    QTest::newRow("an unterminated object") << QByteArray(R"({"name":"W","cube":"x")") << false;
    QTest::newRow("an array instead of an object") << QByteArray(R"([{"name":"W","cube":"x"}])") << false;
    QTest::newRow("an empty body") << QByteArray() << false;

    // Several conversion steps, escapes and multi-byte sequences landing on step boundaries.
    QByteArray cube;
    const QByteArray pieces[] = {"0.25 0.5 0.75\\n", "caf\xc3\xa9 ", "\xf0\x9f\x98\x80", "\\u2603", "x"};
    for (int i = 0; cube.size() < 3 * 1024 * 1024 + 17; ++i) {
        cube += pieces[i % 5];
    }
    QTest::newRow("a cube of megabytes, converted in many steps")
        << R"({"name":"Big","size":33,"cube":")" + cube + R"("})" << true;
}

void TestIncomingBody::agreesWithTheOrdinaryDecoder() {
    QFETCH(QByteArray, body);
    QFETCH(bool, decodes);

    const Decoded<Incoming> ordinary = Incoming::decode(body);
    QCOMPARE(ordinary.ok(), decodes);
    const Decoded<Incoming> fast = IncomingBody::decode(body, 0);
    QCOMPARE(fast.ok(), decodes);
    if (decodes) {
        // Compared as a whole: a failing comparison of a megabyte cube would print it all.
        QVERIFY(fast.value() == ordinary.value());
    }
}

QTEST_GUILESS_MAIN(TestIncomingBody)
#include "TestIncomingBody.moc"
