#include "records/CloudRecords.h"

#include <QTest>

static const QByteArray look =
    R"({"name":"W","space":"s","slope":[1.1],"offset":[0],"power":[1],"saturation":1)";
static const QByteArray record = R"({"id":"r1","name":"W","file":"w.cube")";

static QByteArray with(const QByteArray& start, const QByteArray& more) {
    return start + (more.isEmpty() ? "" : "," + more) + "}";
}

class TestCloudRecords : public QObject {
    Q_OBJECT

private slots:
    void decodesLooksStrictly_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error");
        QTest::newRow("a missing required key is named")
            << QByteArray(R"({"name":"a","space":"s","slope":[],"offset":[],"power":[]})")
            << R"(The data is missing the key "saturation")";
        QTest::newRow("a string inside a number list names its place")
            << with(R"({"name":"a","space":"s","slope":[1,"2"],"offset":[],"power":[],"saturation":1)", {})
            << R"(Expected a number for "slope[1]" but found a string)";
        QTest::newRow("an optional boolean of another type fails")
            << with(look, R"("split":"true")") << R"(Expected a boolean for "split" but found a string)";
        QTest::newRow("an optional number of another type fails")
            << with(look, R"("pivot":"0.4")") << R"(Expected a number for "pivot" but found a string)";
    }

    void decodesLooksStrictly() {
        QFETCH(QByteArray, json);
        QTEST(LUTLook::decode(json).error(), "error");
    }

    void encodesOnlyThePresentOptionalKeys() {
        QCOMPARE(LUTLook::decode(with(look, {}))->toJson().keys(),
                 (QStringList{"name", "offset", "power", "saturation", "slope", "space"}));
        // 0.1 + 0.2 has no exact decimal form: it must survive the trip bit for bit.
        const auto full =
            LUTLook::decode(with(look, R"("contrast":0.30000000000000004,"pivot":0,"split":false)"));
        QCOMPARE(full->contrast, 0.1 + 0.2);
        QCOMPARE(LUTLook::decode(Json::compact(full->toJson())).value(), full.value());
    }

    void readsRecordsLeniently() {
        const auto full =
            LUTRecord::decode(with(record, R"("size":33,"resolve":true,"source":"resolve","look":)" +
                                               with(look, R"("pivot":null,"x":[])")));
        QVERIFY(full->size && full->resolve && full->source && full->look);
        const auto wrong =
            LUTRecord::decode(with(record, R"("size":"3","resolve":1,"source":7,"look":{"name":"a"})"));
        QVERIFY(wrong.ok() && !wrong->size && !wrong->resolve && !wrong->source && !wrong->look);
    }

    void readsSizesExactly_data() {
        using Size = std::optional<qint64>;
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<Size>("size");
        QTest::newRow("an integral size written with a fraction counts") << QByteArray("33.0") << Size(33);
        QTest::newRow("2^53 + 1, which no double holds, stays exact")
            << QByteArray("9007199254740993") << Size(9007199254740993LL);
        QTest::newRow("the smallest 64-bit size stays exact")
            << QByteArray("-9223372036854775808") << Size(INT64_MIN);
    }

    void readsSizesExactly() {
        QFETCH(QByteArray, json);
        QTEST(LUTRecord::decode(with(record, R"("size":)" + json))->size, "size");
    }

    void listingsAndSignInsFailAsAWhole() {
        QCOMPARE(LUTListResponse::decode(R"({"items":[{"id":"a","name":"A","file":"a"},{"id":7}]})").error(),
                 R"(Expected a string for "items[1].id" but found a number)");
        QCOMPARE(AuthResponse::decode(R"({"token":"t","record":{"id":"u","email":"e"}})").value(),
                 (AuthResponse{"t", {"u", "e"}}));
        QVERIFY(!AuthResponse::decode(R"({"token":"t","record":{"id":"u"}})").ok());
    }
};

QTEST_APPLESS_MAIN(TestCloudRecords)
#include "TestCloudRecords.moc"
