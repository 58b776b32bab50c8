#include "cloud/EventStreamParser.h"
#include "records/CloudRecords.h"

#include <QTest>

using EventStream::BlockBuffer;

class TestEventStreamParser : public QObject {
    Q_OBJECT

private slots:
    void cutsBlocksAtLineFeedPairs_data() {
        QTest::addColumn<qsizetype>("limit");
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QList<QByteArray>>("blocks");
        QTest::addColumn<QByteArray>("remainder");
        QTest::addColumn<bool>("overflowed");
        const qsizetype large = BlockBuffer::defaultLimit;
        QTest::newRow("two and a half blocks in one piece give two blocks and keep the half")
            << large << QList<QByteArray>{"event:a\ndata:1\n\nevent:b\ndata:2\n\nevent:c\nda"}
            << QList<QByteArray>{"event:a\ndata:1", "event:b\ndata:2"} << QByteArray("event:c\nda") << false;
        QTest::newRow("a separator split between two pieces is found")
            << large << QList<QByteArray>{"event:a\ndata:1\n", "\nevent:b"}
            << QList<QByteArray>{"event:a\ndata:1"} << QByteArray("event:b") << false;
        QTest::newRow("CR LF CR LF does not separate blocks")
            << large << QList<QByteArray>{"event:a\r\ndata:1\r\n\r\nevent:b"} << QList<QByteArray>{}
            << QByteArray("event:a\r\ndata:1\r\n\r\nevent:b") << false;
        QTest::newRow("three line feeds end a block and leave one for the next")
            << large << QList<QByteArray>{"a\n\n\nb\n\n"} << QList<QByteArray>{"a", "\nb"} << QByteArray()
            << false;
        QTest::newRow("exactly the limit waiting is kept")
            << qsizetype(16) << QList<QByteArray>{QByteArray(16, 'x')} << QList<QByteArray>{}
            << QByteArray(16, 'x') << false;
        QTest::newRow("one byte past the limit empties the buffer, which then starts afresh")
            << qsizetype(16) << QList<QByteArray>{QByteArray(16, 'x'), "y"} << QList<QByteArray>{}
            << QByteArray() << true;
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
        BlockBuffer buffer(limit);
        QList<QByteArray> cut;
        bool overflowed = false;
        for (const QByteArray& piece : pieces) {
            cut += buffer.append(piece, &overflowed);
        }
        QTEST(overflowed, "overflowed");
        QTEST(cut, "blocks");
        // The remainder is really kept (and after an overflow, nothing is): ending it shows its bytes.
        QFETCH(QByteArray, remainder);
        QCOMPARE(buffer.append("next\n\n"), QList<QByteArray>{remainder + "next"});
    }

    void readsBlocks_data() {
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<QString>("outcome");
        const auto row = [](const char* name, const QByteArray& block, const char* outcome) {
            QTest::newRow(name) << block << QString::fromUtf8(outcome);
        };
        row("a create with extra keys, its name trimmed of spaces and tabs, keeps its data as it stands",
            "id:c\nevent: \ttintara_looks "
            "\t\ndata:{\"action\":\"create\",\"record\":{\"id\":\"L\",\"n\":2},\"x\":1}",
            R"(create tintara_looks L raw={"action":"create","record":{"id":"L","n":2},"x":1})");
        row("an update split over data lines joined as they stand, named after slashes and a record id",
            "event://tintara_shots/s\ndata:{\"action\":\"update\",\ndata:\"record\":\ndata: {\"id\":\"s\"}}",
            R"(update tintara_shots s raw={"action":"update","record": {"id":"s"}})");
        row("a delete whose data starts with a space, after comments and a later event line",
            ":comment\nevent:users\nevent:tintara_luts/r1\nretry:10\ndata: "
            "{\"action\":\"delete\",\"record\":{\"id\":\"r1\"}}",
            R"(delete tintara_luts r1 raw= {"action":"delete","record":{"id":"r1"}})");
        row("PB_CONNECT gives the client id", "id:abc\nevent:PB_CONNECT\ndata:{\"clientId\":\"abc\"}",
            "connected abc");
        row("PB_CONNECT with a numeric client id gives nothing", "event:PB_CONNECT\ndata:{\"clientId\":5}",
            "nothing");
        row("PB_CONNECT is case-sensitive", "event:pb_connect\ndata:{\"clientId\":\"abc\"}", "nothing");
        row("field names are case-sensitive",
            "event:tintara_luts\nEvent:users\nDATA:x\ndata:{\"action\":\"create\",\"record\":{\"id\":\"r\"}}",
            R"(create tintara_luts r raw={"action":"create","record":{"id":"r"}})");
        row("a carriage return is not trimmed from the name",
            "event:tintara_luts\r\ndata:{\"action\":\"create\",\"record\":{\"id\":\"r\"}}", "nothing");
        row("an event name of slashes only names no collection",
            "event://\ndata:{\"action\":\"create\",\"record\":{\"id\":\"r\"}}", "nothing");
        row("a collection outside the four is dropped",
            "event:users/u1\ndata:{\"action\":\"create\",\"record\":{\"id\":\"u1\"}}", "nothing");
        row("an action other than the three is dropped",
            "event:tintara_luts\ndata:{\"action\":\"Create\",\"record\":{\"id\":\"r\"}}", "nothing");
        row("a message lacking the record key is dropped",
            "event:tintara_luts\ndata:{\"action\":\"create\",\"id\":\"r\"}", "nothing");
        row("a record that is not an object is dropped",
            "event:tintara_luts\ndata:{\"action\":\"create\",\"record\":\"r\"}", "nothing");
        row("a record whose id is not a string is dropped",
            "event:tintara_luts\ndata:{\"action\":\"create\",\"record\":{\"id\":7}}", "nothing");
        row("a JSON array is dropped",
            "event:tintara_luts\ndata:[{\"action\":\"create\",\"record\":{\"id\":\"r\"}}]", "nothing");
        row("a truncated multi-byte sequence drops the block",
            "event:tintara_luts\ndata:{\"action\":\"create\",\"record\":{\"id\":\"\xe2\x86\"}}", "nothing");
        row("an empty block, as four line feeds make, gives nothing", "", "nothing");
    }

    void readsBlocks() {
        QFETCH(QByteArray, block);
        const QStringList four{QStringLiteral("tintara_looks"), QStringLiteral("tintara_luts"),
                               QStringLiteral("tintara_projects"), QStringLiteral("tintara_shots")};
        const EventStream::Outcome outcome = EventStream::handleBlock(block, four);
        QString seen = QStringLiteral("nothing");
        if (const auto* connected = std::get_if<EventStream::Connected>(&outcome)) {
            seen = QStringLiteral("connected ") + connected->clientId;
        } else if (const auto* event = std::get_if<RealtimeEvent>(&outcome)) {
            seen = QStringLiteral("%1 %2 %3 raw=%4")
                       .arg(EventStream::actionText(event->action), event->collection, event->recordID,
                            QString::fromUtf8(event->raw));
        }
        QTEST(seen, "outcome");
    }

    void decodesTheFullRecordFromRaw() {
        const auto message = RealtimeEvent::FullMsg<LUTRecord>::decode(
            R"( {"action":"update","record":{"id":"r1","name":"Warm","file":"w.cube","resolve":true},"x":1})");
        QVERIFY2(message.ok(), qPrintable(message.error()));
        QCOMPARE(message->record, (LUTRecord{"r1", "Warm", "w.cube", {}, true, {}, {}}));
        QVERIFY(!RealtimeEvent::FullMsg<LUTRecord>::decode(R"({"action":"delete","id":"r1"})").ok());
    }
};

QTEST_APPLESS_MAIN(TestEventStreamParser)
#include "TestEventStreamParser.moc"
