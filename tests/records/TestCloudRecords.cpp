#include "records/CloudRecords.h"

#include <QTest>

namespace {

const QByteArray look = R"({"name":"Warm","space":"rec709","slope":[1.1,1,0.9],"offset":[0.01,0,-0.01],)"
                        R"("power":[1,1,1.2],"saturation":1.05)";

QByteArray lookWith(const QByteArray& more) {
    return look + (more.isEmpty() ? "" : "," + more) + "}";
}

QByteArray recordWith(const QByteArray& more) {
    return R"({"id":"r1","name":"Warm","file":"warm_ab12cd34ef.cube")" + (more.isEmpty() ? "" : "," + more) +
           "}";
}

} // namespace

class TestCloudRecords : public QObject {
    Q_OBJECT

private slots:
    // An empty error stands for success.
    void decodesLooksStrictly_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error");
        QTest::newRow("a look with every key, null ones and unknown ones decodes")
            << lookWith(R"("contrast":null,"pivot":0.4,"split":false,"x":{"y":[]})") << QString();
        QTest::newRow("lists of any length decode")
            << QByteArray(
                   R"({"name":"a","space":"s","slope":[1],"offset":[1,2,3,4],"power":[],"saturation":1})")
            << QString();
        QTest::newRow("a missing saturation names the key")
            << QByteArray(R"({"name":"a","space":"s","slope":[],"offset":[],"power":[]})")
            << R"(The data is missing the key "saturation")";
        QTest::newRow("a null required key fails")
            << QByteArray(R"({"name":null,"space":"s","slope":[],"offset":[],"power":[],"saturation":1})")
            << R"(Expected a string for "name" but found null)";
        QTest::newRow("a string inside a number list names its place")
            << QByteArray(
                   R"({"name":"a","space":"s","slope":[1,"2",3],"offset":[],"power":[],"saturation":1})")
            << R"(Expected a number for "slope[1]" but found a string)";
        QTest::newRow("a split given as the string true fails")
            << lookWith(R"("split":"true")") << R"(Expected a boolean for "split" but found a string)";
        QTest::newRow("a pivot of the wrong type fails")
            << lookWith(R"("pivot":"0.4")") << R"(Expected a number for "pivot" but found a string)";
        QTest::newRow("an array is not a look")
            << QByteArray("[]") << "Expected an object at the top level but found an array";
    }

    void decodesLooksStrictly() {
        QFETCH(QByteArray, json);
        QFETCH(QString, error);
        const Decoded<LUTLook> decoded = LUTLook::decode(json);
        QCOMPARE(decoded.error(), error);
        QCOMPARE(decoded.ok(), error.isEmpty());
    }

    void encodesOnlyThePresentOptionalKeys() {
        LUTLook warm = LUTLook::decode(lookWith({})).value();
        QCOMPARE(warm.toJson().keys(),
                 (QStringList{"name", "offset", "power", "saturation", "slope", "space"}));
        warm.contrast = 0.1 + 0.2; // not representable exactly: must survive the trip bit for bit
        warm.pivot = 0.0;
        warm.split = false;
        QCOMPARE(LUTLook::decode(Json::compact(warm.toJson())).value(), warm);
    }

    void readsRecordsLeniently_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<std::optional<qint64>>("size");
        QTest::addColumn<bool>("others"); // resolve, source and look
        using Size = std::optional<qint64>;
        QTest::newRow("every lenient field present")
            << recordWith(R"("size":33,"resolve":true,"source":"resolve","look":)" + lookWith({})) << Size(33)
            << true;
        QTest::newRow("fields of the wrong type are dropped")
            << recordWith(R"("size":"33","resolve":1,"source":7,"look":"{}")") << Size() << false;
        QTest::newRow("null fields and a look without saturation are dropped")
            << recordWith(R"("size":null,"resolve":null,"source":null,"look":{"name":"a"})") << Size()
            << false;
        QTest::newRow("a size with a fraction is dropped") << recordWith(R"("size":33.5)") << Size() << false;
        QTest::newRow("an integral size written with a fraction counts")
            << recordWith(R"("size":33.0)") << Size(33) << false;
        QTest::newRow("2^53 + 1, which no double holds, stays exact")
            << recordWith(R"("size":9007199254740993)") << Size(9007199254740993LL) << false;
        QTest::newRow("the largest 64-bit size stays exact")
            << recordWith(R"("size":9223372036854775807)") << Size(std::numeric_limits<qint64>::max())
            << false;
        QTest::newRow("the smallest 64-bit size stays exact")
            << recordWith(R"("size":-9223372036854775808)") << Size(std::numeric_limits<qint64>::min())
            << false;
        QTest::newRow("a size past the 64-bit range is dropped")
            << recordWith(R"("size":9223372036854775808)") << Size() << false;
    }

    void readsRecordsLeniently() {
        QFETCH(QByteArray, json);
        QFETCH(bool, others);
        const Decoded<LUTRecord> record = LUTRecord::decode(json);
        QVERIFY2(record.ok(), qPrintable(record.error()));
        QCOMPARE(record->file, QStringLiteral("warm_ab12cd34ef.cube"));
        QTEST(record->size, "size");
        QCOMPARE(record->resolve.has_value(), others);
        QCOMPARE(record->source.has_value(), others);
        QCOMPARE(record->look.has_value(), others);
    }

    void listingsAndSignInsFailAsAWhole() {
        const auto listing = LUTListResponse::decode(
            R"({"items":[{"id":"a","name":"A","file":"a.cube"},{"id":"b","name":"B","file":"b.cube"}],"page":1})");
        QVERIFY(listing.ok());
        QCOMPARE(listing->items.size(), 2);
        QCOMPARE(listing->items.at(1).id, QStringLiteral("b"));
        QCOMPARE(LUTListResponse::decode(
                     R"({"items":[{"id":"a","name":"A","file":"a.cube"},{"id":7,"name":"B","file":"b"}]})")
                     .error(),
                 R"(Expected a string for "items[1].id" but found a number)");
        QVERIFY(!LUTRecord::decode(R"({"id":"r1","name":"Warm"})").ok());
        QVERIFY(!LUTListResponse::decode(R"({"items":{}})").ok());
        QVERIFY(!LUTListResponse::decode(R"({"page":1})").ok());

        const auto auth = AuthResponse::decode(
            R"({"token":"t","record":{"id":"u1","email":"ana@example.com","verified":true}})");
        QVERIFY(auth.ok());
        QCOMPARE(auth->token, QStringLiteral("t"));
        QCOMPARE(auth->record, (AuthResponse::Record{"u1", "ana@example.com"}));
        QVERIFY(!AuthResponse::decode(R"({"token":"t","record":{"id":"u1"}})").ok());
        QVERIFY(!AuthResponse::decode(R"({"token":"t","record":"u1"})").ok());
        QVERIFY(!AuthResponse::decode(R"({"record":{"id":"u1","email":"e"}})").ok());
    }
};

QTEST_APPLESS_MAIN(TestCloudRecords)
#include "TestCloudRecords.moc"
