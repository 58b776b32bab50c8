#include "cloud/EventStreamParser.h"

#include <QTest>

using EventStream::BlockBuffer;
using namespace Qt::StringLiterals;

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
        QTest::newRow("a separator split between two pieces is found, the rest kept")
            << large << QList<QByteArray>{"event:a\ndata:1\n", "\nb\n\nc"}
            << QList<QByteArray>{"event:a\ndata:1", "b"} << QByteArray("c") << false;
        QTest::newRow("CR LF CR LF does not separate blocks")
            << large << QList<QByteArray>{"a\r\n\r\nb"} << QList<QByteArray>{} << QByteArray("a\r\n\r\nb")
            << false;
        QTest::newRow("exactly the limit waiting is kept")
            << qsizetype(16) << QList<QByteArray>{QByteArray(16, 'x')} << QList<QByteArray>{}
            << QByteArray(16, 'x') << false;
        QTest::newRow("past the limit the buffer empties, keeping the blocks cut before it")
            << qsizetype(16) << QList<QByteArray>{QByteArray(40, 'a') + "\n\n" + QByteArray(17, 'z')}
            << QList<QByteArray>{QByteArray(40, 'a')} << QByteArray() << true;
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
        QFETCH(QByteArray, remainder); // ending it shows the bytes really kept
        QCOMPARE(buffer.append("next\n\n"), QList<QByteArray>{remainder + "next"});
    }

    void readsBlocks_data() {
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<QString>("outcome");
        const auto row = [](const char* name, const QByteArray& block, const char* outcome) {
            QTest::newRow(name) << block << QString::fromUtf8(outcome);
        };
        row("an update over data lines joined as they stand, after comments, named with slashes",
            ":c\nid:7\nevent:users\nevent: \t//tintara_shots/s \nEvent:users\nDATA:x\n"
            "data: {\"action\":\"update\",\ndata:\"record\":{\"id\":\"s\"}}",
            R"(update tintara_shots s raw= {"action":"update","record":{"id":"s"}})");
        row("a carriage return is not trimmed from the name",
            "event:tintara_luts\r\ndata:{\"action\":\"create\",\"record\":{\"id\":\"r\"}}", "nothing");
        row("an action other than the three is dropped",
            "event:tintara_luts\ndata:{\"action\":\"Create\",\"record\":{\"id\":\"r\"}}", "nothing");
        row("a truncated multi-byte sequence drops the block",
            "event:tintara_luts\ndata:{\"action\":\"create\",\"record\":{\"id\":\"\xe2\x86\"}}", "nothing");
    }

    void readsBlocks() {
        QFETCH(QByteArray, block);
        const EventStream::Outcome outcome = EventStream::handleBlock(
            block, {u"tintara_looks"_s, u"tintara_luts"_s, u"tintara_projects"_s, u"tintara_shots"_s});
        QString seen = QStringLiteral("nothing");
        if (const auto* event = std::get_if<RealtimeEvent>(&outcome)) {
            seen = QStringLiteral("%1 %2 %3 raw=%4")
                       .arg(EventStream::actionText(event->action), event->collection, event->recordID,
                            QString::fromUtf8(event->raw));
        }
        QTEST(seen, "outcome");
    }
};

QTEST_APPLESS_MAIN(TestEventStreamParser)
#include "TestEventStreamParser.moc"
