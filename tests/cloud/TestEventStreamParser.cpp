#include "records/CloudRecords.h"
#include "cloud/EventStreamParser.h"

#include <QTest>

using EventStream::BlockBuffer;

namespace {

const QStringList fourCollections{QStringLiteral("tintara_looks"), QStringLiteral("tintara_luts"),
                                  QStringLiteral("tintara_projects"), QStringLiteral("tintara_shots")};

// One readable line per outcome, so that a failing comparison shows what was produced.
QString describe(const EventStream::Outcome& outcome) {
    if (const auto* connected = std::get_if<EventStream::Connected>(&outcome)) {
        return QStringLiteral("connected %1").arg(connected->clientId);
    }
    if (const auto* event = std::get_if<RealtimeEvent>(&outcome)) {
        return QStringLiteral("%1 %2 %3 raw=%4")
            .arg(EventStream::actionText(event->action), event->collection, event->recordID,
                 QString::fromUtf8(event->raw));
    }
    return QStringLiteral("nothing");
}

} // namespace

class TestEventStreamParser : public QObject {
    Q_OBJECT

private slots:
    void cutsBlocksAtLineFeedPairs_data() {
        QTest::addColumn<qsizetype>("limit"); // 0: the default
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QList<QByteArray>>("blocks");
        QTest::addColumn<QByteArray>("remainder");
        QTest::addColumn<bool>("overflowed");
        QTest::newRow("two and a half blocks in one piece give two blocks and keep the half")
            << qsizetype(0) << QList<QByteArray>{"event:a\ndata:1\n\nevent:b\ndata:2\n\nevent:c\nda"}
            << QList<QByteArray>{"event:a\ndata:1", "event:b\ndata:2"} << QByteArray("event:c\nda") << false;
        QTest::newRow("a separator split between two pieces is found")
            << qsizetype(0) << QList<QByteArray>{"event:a\ndata:1\n", "\nevent:b"}
            << QList<QByteArray>{"event:a\ndata:1"} << QByteArray("event:b") << false;
        QTest::newRow("a block arriving one byte at a time is cut once it is complete")
            << qsizetype(0) << QList<QByteArray>{"d", "a", "t", "a", ":", "x", "\n", "\n", "y"}
            << QList<QByteArray>{"data:x"} << QByteArray("y") << false;
        QTest::newRow("CR LF CR LF does not separate blocks")
            << qsizetype(0) << QList<QByteArray>{"event:a\r\ndata:1\r\n\r\nevent:b\r\ndata:2"}
            << QList<QByteArray>{} << QByteArray("event:a\r\ndata:1\r\n\r\nevent:b\r\ndata:2") << false;
        QTest::newRow("CR LF lines end at the first LF LF pair")
            << qsizetype(0) << QList<QByteArray>{"event:a\r\n\r\n\n\nrest"}
            << QList<QByteArray>{"event:a\r\n\r"} << QByteArray("\nrest") << false;
        QTest::newRow("three line feeds end a block and leave one for the next")
            << qsizetype(0) << QList<QByteArray>{"a\n\n\nb\n\n"} << QList<QByteArray>{"a", "\nb"}
            << QByteArray() << false;
        const QByteArray sixteen(16, 'x');
        QTest::newRow("exactly the limit waiting is kept")
            << qsizetype(16) << QList<QByteArray>{sixteen} << QList<QByteArray>{} << sixteen << false;
        QTest::newRow("one byte past the limit empties the buffer, which then starts afresh")
            << qsizetype(16) << QList<QByteArray>{sixteen, "y"} << QList<QByteArray>{} << QByteArray()
            << true;
        QTest::newRow("complete blocks do not count against the limit")
            << qsizetype(16) << QList<QByteArray>{QByteArray(40, 'a') + "\n\n" + QByteArray(10, 'b')}
            << QList<QByteArray>{QByteArray(40, 'a')} << QByteArray(10, 'b') << false;
        QTest::newRow("blocks completed before an overflow in the same piece are still given")
            << qsizetype(16) << QList<QByteArray>{"ok\n\n" + QByteArray(17, 'z')} << QList<QByteArray>{"ok"}
            << QByteArray() << true;
    }

    void cutsBlocksAtLineFeedPairs() {
        QFETCH(qsizetype, limit);
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QList<QByteArray>, blocks);
        QFETCH(QByteArray, remainder);
        QFETCH(bool, overflowed);
        BlockBuffer buffer(limit > 0 ? limit : BlockBuffer::defaultLimit);
        QList<QByteArray> cut;
        bool lastOverflowed = false;
        for (const QByteArray& piece : pieces) {
            cut += buffer.append(piece, &lastOverflowed);
        }
        QCOMPARE(lastOverflowed, overflowed);
        QCOMPARE(cut, blocks);
        QCOMPARE(buffer.size(), remainder.size());
        // The remainder is really kept (and after an overflow, nothing is): ending it shows its bytes.
        QCOMPARE(buffer.append("next\n\n"), QList<QByteArray>{remainder + "next"});
    }

    void readsBlockFields_data() {
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("the event name is trimmed of spaces and tabs")
            << QByteArray("event: \t tintara_luts \t\ndata:x") << true << QStringLiteral("tintara_luts")
            << QByteArray("x");
        QTest::newRow("a space after the data colon is kept")
            << QByteArray("event:e\ndata: {\"a\":1} ") << true << QStringLiteral("e")
            << QByteArray(" {\"a\":1} ");
        QTest::newRow("data lines are joined with nothing between them")
            << QByteArray("data:ab\ndata:\ndata: cd") << true << QStringLiteral("message")
            << QByteArray("ab cd");
        QTest::newRow("a later event line replaces an earlier one")
            << QByteArray("event:first\nevent:second") << true << QStringLiteral("second") << QByteArray();
        QTest::newRow("field names are case-sensitive") << QByteArray("Event:loud\nDATA:y\ndata:z") << true
                                                        << QStringLiteral("message") << QByteArray("z");
        QTest::newRow("comments, ids and retry fields are ignored")
            << QByteArray(":comment\nid:1\nretry:10\nevent:e\n\ndata:q") << true << QStringLiteral("e")
            << QByteArray("q");
        QTest::newRow("a carriage return is not trimmed from the name")
            << QByteArray("event:tintara_luts\r\ndata:x\r") << true << QStringLiteral("tintara_luts\r")
            << QByteArray("x\r");
        QTest::newRow("multi-byte characters survive")
            << QByteArray("event:\xc3\xa9t\xc3\xa9\ndata:\xe2\x86\x92") << true
            << QString::fromUtf8("\xc3\xa9t\xc3\xa9") << QByteArray("\xe2\x86\x92");
        QTest::newRow("a truncated multi-byte sequence drops the block")
            << QByteArray("event:e\ndata:\xe2\x86") << false << QString() << QByteArray();
    }

    void readsBlockFields() {
        QFETCH(QByteArray, block);
        QFETCH(bool, valid);
        QFETCH(QString, name);
        QFETCH(QByteArray, data);
        const std::optional<EventStream::Block> read = EventStream::readBlock(block);
        QCOMPARE(read.has_value(), valid);
        if (read) {
            QCOMPARE(read->name, name);
            QCOMPARE(read->data, data);
        }
    }

    void handlesBlocks_data() {
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("a create in another subscribed collection with extra keys")
            << QByteArray(
                   "id:c\nevent:tintara_looks\ndata:{\"action\":\"create\",\"record\":{\"id\":\"L\",\"n\":2},"
                   "\"x\":1}")
            << QStringLiteral(
                   "create tintara_looks L raw={\"action\":\"create\",\"record\":{\"id\":\"L\",\"n\":2},"
                   "\"x\":1}");
        QTest::newRow("an update split over two data lines, named after leading slashes and a record id")
            << QByteArray(
                   "event://tintara_shots/s\ndata:{\"action\":\"update\",\ndata:\"record\":{\"id\":\"s\"}}")
            << QStringLiteral("update tintara_shots s raw={\"action\":\"update\",\"record\":{\"id\":\"s\"}}");
        QTest::newRow("PB_CONNECT gives the client id")
            << QByteArray("id:abc\nevent:PB_CONNECT\ndata:{\"clientId\":\"abc\"}")
            << QStringLiteral("connected abc");
        QTest::newRow("PB_CONNECT with a numeric client id gives nothing")
            << QByteArray("event:PB_CONNECT\ndata:{\"clientId\":5}") << QStringLiteral("nothing");
        QTest::newRow("PB_CONNECT with undecodable data gives nothing")
            << QByteArray("event:PB_CONNECT\ndata:{\"clientId\":") << QStringLiteral("nothing");
        QTest::newRow("PB_CONNECT is case-sensitive")
            << QByteArray("event:pb_connect\ndata:{\"clientId\":\"abc\"}") << QStringLiteral("nothing");
        QTest::newRow("an event name of slashes only names no collection")
            << QByteArray("event://\ndata:{\"action\":\"create\",\"record\":{\"id\":\"r\"}}")
            << QStringLiteral("nothing");
        QTest::newRow("a collection outside the four is dropped")
            << QByteArray("event:users/u1\ndata:{\"action\":\"create\",\"record\":{\"id\":\"u1\"}}")
            << QStringLiteral("nothing");
        QTest::newRow("an action other than the three is dropped")
            << QByteArray("event:tintara_luts\ndata:{\"action\":\"Create\",\"record\":{\"id\":\"r\"}}")
            << QStringLiteral("nothing");
        QTest::newRow("a message lacking the record key is dropped")
            << QByteArray("event:tintara_luts\ndata:{\"action\":\"create\",\"id\":\"r\"}")
            << QStringLiteral("nothing");
        QTest::newRow("a record whose id is not a string is dropped")
            << QByteArray("event:tintara_luts\ndata:{\"action\":\"create\",\"record\":{\"id\":7}}")
            << QStringLiteral("nothing");
        QTest::newRow("a record that is not an object is dropped")
            << QByteArray("event:tintara_luts\ndata:{\"action\":\"create\",\"record\":\"r\"}")
            << QStringLiteral("nothing");
        QTest::newRow("a JSON array is dropped")
            << QByteArray("event:tintara_luts\ndata:[{\"action\":\"create\",\"record\":{\"id\":\"r\"}}]")
            << QStringLiteral("nothing");
        QTest::newRow("invalid UTF-8 in the data is dropped")
            << QByteArray("event:tintara_luts\ndata:{\"action\":\"create\",\"record\":{\"id\":\"\xc0\xaf\"}}")
            << QStringLiteral("nothing");
        QTest::newRow("an empty block, as four line feeds make, gives nothing")
            << QByteArray() << QStringLiteral("nothing");
    }

    void handlesBlocks() {
        QFETCH(QByteArray, block);
        QFETCH(QString, outcome);
        QCOMPARE(describe(EventStream::handleBlock(block, fourCollections)), outcome);
    }

    void decodesTheFullRecordFromRaw_data() {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<bool>("valid");
        QTest::newRow("a full record with a leading space and unknown keys")
            << QByteArray(
                   R"( {"action":"update","record":{"id":"r1","name":"Warm","file":"warm_a1b2c3d4e5.cube",)"
                   R"("resolve":true,"collectionName":"tintara_luts"},"extra":1})")
            << true;
        QTest::newRow("a message without a record fails")
            << QByteArray(R"({"action":"delete","id":"r1"})") << false;
        QTest::newRow("a record of the wrong shape fails")
            << QByteArray(R"({"action":"create","record":{"id":"r1","name":7,"file":""}})") << false;
    }

    void decodesTheFullRecordFromRaw() {
        QFETCH(QByteArray, raw);
        QFETCH(bool, valid);
        const auto message = RealtimeEvent::FullMsg<LUTRecord>::decode(raw);
        QCOMPARE(message.ok(), valid);
        if (valid) {
            QCOMPARE(message->record.id, QStringLiteral("r1"));
            QCOMPARE(message->record.name, QStringLiteral("Warm"));
            QCOMPARE(message->record.resolve, std::optional<bool>(true));
        } else {
            QVERIFY(!message.error().isEmpty());
        }
    }
};

QTEST_APPLESS_MAIN(TestEventStreamParser)
#include "TestEventStreamParser.moc"
