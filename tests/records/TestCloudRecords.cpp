#include "records/CloudRecords.h"

#include <QJsonDocument>
#include <QTest>

namespace {

const QByteArray warmLook = R"({"name":"Warm","space":"rec709","slope":[1.1,1,0.9],"offset":[0.01,0,-0.01],
                               "power":[1,1,1.2],"saturation":1.05})";

QByteArray withRecordField(const QByteArray& field) {
    return R"({"id":"r1","name":"Warm","file":"warm_ab12cd34ef.cube")" +
           (field.isEmpty() ? "" : "," + field) + "}";
}

} // namespace

class TestCloudRecords : public QObject {
    Q_OBJECT

private slots:
    void lookDecoding_data();
    void lookDecoding();
    void lookEncodingWritesOptionalKeysOnlyWhenPresent();
    void lookRoundTripAndEquality();
    void recordLenientFields_data();
    void recordLenientFields();
    void recordRequiredFields_data();
    void recordRequiredFields();
    void largeIntegersStayExact();
    void listingFailsAsAWhole_data();
    void listingFailsAsAWhole();
    void authResponse_data();
    void authResponse();
};

void TestCloudRecords::lookDecoding_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("decodes");
    QTest::addColumn<QString>("errorMentions");

    QTest::newRow("a complete look decodes") << warmLook << true << QString();
    QTest::newRow("a null contrast gives no contrast")
        << QByteArray(
               R"({"name":"a","space":"s","slope":[],"offset":[],"power":[],"saturation":1,"contrast":null})")
        << true << QString();
    QTest::newRow("lists of any length decode")
        << QByteArray(R"({"name":"a","space":"s","slope":[1],"offset":[1,2,3,4],"power":[],"saturation":1})")
        << true << QString();
    QTest::newRow("unknown keys are ignored")
        << QByteArray(
               R"({"name":"a","space":"s","slope":[],"offset":[],"power":[],"saturation":1,"x":{"y":[]}})")
        << true << QString();
    QTest::newRow("a split given as the string true fails")
        << QByteArray(
               R"({"name":"a","space":"s","slope":[],"offset":[],"power":[],"saturation":1,"split":"true"})")
        << false << QStringLiteral("split");
    QTest::newRow("a missing saturation fails")
        << QByteArray(R"({"name":"a","space":"s","slope":[],"offset":[],"power":[]})") << false
        << QStringLiteral("saturation");
    QTest::newRow("a null required key fails")
        << QByteArray(R"({"name":null,"space":"s","slope":[],"offset":[],"power":[],"saturation":1})")
        << false << QStringLiteral("name");
    QTest::newRow("a string inside a number list fails")
        << QByteArray(R"({"name":"a","space":"s","slope":[1,"2",3],"offset":[],"power":[],"saturation":1})")
        << false << QStringLiteral("slope[1]");
    QTest::newRow("a pivot of the wrong type fails")
        << QByteArray(
               R"({"name":"a","space":"s","slope":[],"offset":[],"power":[],"saturation":1,"pivot":"0.4"})")
        << false << QStringLiteral("pivot");
    QTest::newRow("an array is not a look") << QByteArray("[]") << false << QStringLiteral("object");
    QTest::newRow("text that is not JSON fails")
        << QByteArray("{\"name\":") << false << QStringLiteral("JSON");
    QTest::newRow("invalid UTF-8 fails") << QByteArray("{\"name\":\"\xff\xfe\"}") << false << QString();
}

void TestCloudRecords::lookDecoding() {
    QFETCH(QByteArray, json);
    QFETCH(bool, decodes);
    QFETCH(QString, errorMentions);

    const auto look = LUTLook::decode(json);
    QCOMPARE(look.ok(), decodes);
    if (!decodes) {
        QVERIFY(!look.error().isEmpty());
        QVERIFY2(look.error().contains(errorMentions), qPrintable(look.error()));
    }
}

void TestCloudRecords::lookEncodingWritesOptionalKeysOnlyWhenPresent() {
    LUTLook look = *LUTLook::decode(warmLook);
    QStringList keys = look.toJson().keys();
    keys.sort();
    QCOMPARE(keys, (QStringList{"name", "offset", "power", "saturation", "slope", "space"}));

    look.contrast = 1.2;
    look.pivot = 0.435;
    look.split = false;
    const QJsonObject json = look.toJson();
    QCOMPARE(json.value("contrast").toDouble(), 1.2);
    QCOMPARE(json.value("pivot").toDouble(), 0.435);
    QCOMPARE(json.value("split"), QJsonValue(false));
}

void TestCloudRecords::lookRoundTripAndEquality() {
    LUTLook look = *LUTLook::decode(warmLook);
    look.contrast = 0.1 + 0.2; // not representable exactly: must survive the trip bit for bit
    look.split = true;
    const auto again = LUTLook::decode(QJsonDocument(look.toJson()).toJson(QJsonDocument::Compact));
    QVERIFY(again.ok());
    QCOMPARE(*again, look);

    LUTLook other = look;
    other.power[2] = std::nextafter(other.power[2], 2.0);
    QVERIFY(!(other == look));
    other = look;
    other.pivot = 0.0;
    QVERIFY(!(other == look));
}

void TestCloudRecords::recordLenientFields_data() {
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<bool>("hasSize");
    QTest::addColumn<bool>("hasResolve");
    QTest::addColumn<bool>("hasSource");
    QTest::addColumn<bool>("hasLook");

    QTest::newRow("all lenient fields present")
        << QByteArray(R"("size":33,"resolve":true,"source":"resolve","look":)" + warmLook) << true << true
        << true << true;
    QTest::newRow("size given as a string is dropped")
        << QByteArray(R"("size":"33")") << false << false << false << false;
    QTest::newRow("size with a fraction is dropped")
        << QByteArray(R"("size":33.5)") << false << false << false << false;
    QTest::newRow("resolve given as a number is dropped")
        << QByteArray(R"("resolve":1)") << false << false << false << false;
    QTest::newRow("null fields are dropped")
        << QByteArray(R"("size":null,"resolve":null,"source":null,"look":null)") << false << false << false
        << false;
    QTest::newRow("a look without saturation is dropped")
        << QByteArray(R"("look":{"name":"a","space":"s","slope":[],"offset":[],"power":[]})") << false
        << false << false << false;
    QTest::newRow("a look that is a string is dropped")
        << QByteArray(R"("look":"{}")") << false << false << false << false;
    QTest::newRow("service bookkeeping keys are ignored")
        << QByteArray(R"("collectionId":"c","created":"2026-01-01 10:00:00.000Z","owner":"u1")") << false
        << false << false << false;
}

void TestCloudRecords::recordLenientFields() {
    QFETCH(QByteArray, field);
    const auto record = LUTRecord::decode(withRecordField(field));
    QVERIFY2(record.ok(), qPrintable(record.error()));
    QCOMPARE(record->id, QStringLiteral("r1"));
    QCOMPARE(record->file, QStringLiteral("warm_ab12cd34ef.cube"));
    QTEST(record->size.has_value(), "hasSize");
    QTEST(record->resolve.has_value(), "hasResolve");
    QTEST(record->source.has_value(), "hasSource");
    QTEST(record->look.has_value(), "hasLook");
}

void TestCloudRecords::recordRequiredFields_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("errorMentions");

    QTest::newRow("a record without file fails")
        << QByteArray(R"({"id":"r1","name":"Warm"})") << QStringLiteral("file");
    QTest::newRow("a numeric id fails")
        << QByteArray(R"({"id":7,"name":"Warm","file":"f"})") << QStringLiteral("id");
    QTest::newRow("a null name fails")
        << QByteArray(R"({"id":"r","name":null,"file":"f"})") << QStringLiteral("name");
}

void TestCloudRecords::recordRequiredFields() {
    QFETCH(QByteArray, json);
    QFETCH(QString, errorMentions);
    const auto record = LUTRecord::decode(json);
    QVERIFY(!record.ok());
    QVERIFY2(record.error().contains(errorMentions), qPrintable(record.error()));
}

void TestCloudRecords::largeIntegersStayExact() {
    // 2^53 + 1 is the first integer a double cannot hold.
    const auto record = LUTRecord::decode(withRecordField(R"("size":9007199254740993)"));
    QVERIFY(record.ok());
    QCOMPARE(record->size, std::optional<qint64>(9007199254740993LL));

    const auto largest = LUTRecord::decode(withRecordField(R"("size":9223372036854775807)"));
    QCOMPARE(largest->size, std::optional<qint64>(std::numeric_limits<qint64>::max()));
    const auto beyond = LUTRecord::decode(withRecordField(R"("size":9223372036854775808)"));
    QVERIFY(beyond.ok());
    QCOMPARE(beyond->size, std::nullopt);
    const auto integralDouble = LUTRecord::decode(withRecordField(R"("size":33.0)"));
    QCOMPARE(integralDouble->size, std::optional<qint64>(33));
}

void TestCloudRecords::listingFailsAsAWhole_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("count");

    QTest::newRow("an empty listing") << QByteArray(R"({"items":[],"page":1,"perPage":200})") << 0;
    QTest::newRow("two records in order")
        << QByteArray(
               R"({"items":[{"id":"a","name":"A","file":"a.cube"},{"id":"b","name":"B","file":"b.cube"}]})")
        << 2;
    QTest::newRow("one record without file fails the listing")
        << QByteArray(R"({"items":[{"id":"a","name":"A","file":"a.cube"},{"id":"b","name":"B"}]})") << -1;
    QTest::newRow("items that are not an array fail") << QByteArray(R"({"items":{}})") << -1;
    QTest::newRow("a listing without items fails") << QByteArray(R"({"page":1})") << -1;
}

void TestCloudRecords::listingFailsAsAWhole() {
    QFETCH(QByteArray, json);
    QFETCH(int, count);
    const auto listing = LUTListResponse::decode(json);
    QCOMPARE(listing.ok(), count >= 0);
    if (count >= 0) {
        QCOMPARE(listing->items.size(), count);
        if (count == 2) {
            QCOMPARE(listing->items.at(0).id, QStringLiteral("a"));
            QCOMPARE(listing->items.at(1).id, QStringLiteral("b"));
        }
    } else {
        QVERIFY(!listing.error().isEmpty());
    }
}

void TestCloudRecords::authResponse_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("decodes");

    QTest::newRow("token and record with extra keys")
        << QByteArray(R"({"token":"t","record":{"id":"u1","email":"ana@example.com","verified":true}})")
        << true;
    QTest::newRow("a record without email fails")
        << QByteArray(R"({"token":"t","record":{"id":"u1"}})") << false;
    QTest::newRow("a missing token fails") << QByteArray(R"({"record":{"id":"u1","email":"e"}})") << false;
    QTest::newRow("a record that is a string fails") << QByteArray(R"({"token":"t","record":"u1"})") << false;
}

void TestCloudRecords::authResponse() {
    QFETCH(QByteArray, json);
    QFETCH(bool, decodes);
    const auto auth = AuthResponse::decode(json);
    QCOMPARE(auth.ok(), decodes);
    if (decodes) {
        QCOMPARE(auth->token, QStringLiteral("t"));
        QCOMPARE(auth->record, (AuthResponse::Record{"u1", "ana@example.com"}));
    } else {
        QVERIFY(!auth.error().isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestCloudRecords)
#include "TestCloudRecords.moc"
