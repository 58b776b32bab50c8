#include "colour/Ale.h"
#include "support/RunProgram.h"

#include <QMap>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTest>

namespace {

struct AleFile {
    QMap<QString, QString> heading;
    QList<QMap<QString, QString>> rows; // column name to field
};

// Avid Log Exchange read strictly: UTF-8 lines; Heading (tab-separated pairs, FIELD_DELIM TABS),
// Column and Data sections apart by one blank line; one field per column. Answers why not, or "".
QString readAle(const QByteArray& bytes, AleFile& file) {
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(bytes);
    QList<QStringList> sections;
    for (const QString& section : text.chopped(1).split(QStringLiteral("\n\n"))) {
        sections.append(section.split(u'\n'));
    }
    if (utf8.hasError() || text.contains(u'\r') || !text.endsWith(u'\n') || sections.size() != 3 ||
        sections[0][0] != u"Heading" || sections[1].size() != 2 || sections[1][0] != u"Column" ||
        sections[2][0] != u"Data") {
        return QStringLiteral("not the Heading, Column and Data sections in UTF-8 lines ended by line feeds");
    }
    for (const QString& line : sections[0].mid(1)) {
        const QStringList pair = line.split(u'\t');
        if (pair.size() != 2) {
            return QStringLiteral("a heading line that is not a pair");
        }
        file.heading.insert(pair[0], pair[1]);
    }
    const QStringList columns = sections[1][1].split(u'\t');
    for (const QString& line : sections[2].mid(1)) {
        const QStringList fields = line.split(u'\t');
        if (fields.size() != columns.size()) {
            return QStringLiteral("a row of %1 fields for %2 columns").arg(fields.size()).arg(columns.size());
        }
        QMap<QString, QString>& row = file.rows.emplace_back();
        for (qsizetype i = 0; i < fields.size(); ++i) {
            row.insert(columns[i], fields[i]);
        }
    }
    return file.heading.value("FIELD_DELIM") == u"TABS" ? QString() : QStringLiteral("no FIELD_DELIM TABS");
}

// The CDL of a row, read with Qt's number parser rather than ours; nothing when a field is malformed.
std::optional<Cdl> cdlOf(const QMap<QString, QString>& row) {
    static const QRegularExpression sop(
        QStringLiteral(R"(^\((\S+) (\S+) (\S+)\)\((\S+) (\S+) (\S+)\)\((\S+) (\S+) (\S+)\)$)"));
    const QRegularExpressionMatch match = sop.match(row.value(QStringLiteral("ASC_SOP")));
    bool ok = match.hasMatch();
    Cdl cdl;
    for (int i = 0; i < 9 && ok; ++i) {
        Rgb& values = i < 3 ? cdl.slope : i < 6 ? cdl.offset : cdl.power;
        values[i % 3] = match.captured(i + 1).toDouble(&ok);
    }
    bool saturationOk = false;
    cdl.saturation = row.value(QStringLiteral("ASC_SAT")).toDouble(&saturationOk);
    return ok && saturationOk ? std::optional(cdl) : std::nullopt;
}

const Cdl awkward{{1.0 / 3, 1.0, 0.9}, {0.1 + 0.2, -1e-7, 0.0}, {1.2, 1.0 / 7, 1.0}, 1.05};

} // namespace

class TestAle : public QObject {
    Q_OBJECT

private slots:
    void clipsSurviveAStrictReader();
    void clipsThatCannotBeLoggedAreRefused_data();
    void clipsThatCannotBeLoggedAreRefused();
    void commandWritesAnAleThatParses();
};

void TestAle::clipsSurviveAStrictReader() {
    const QList<Ale::Clip> clips{
        {"A001C003\ttab\nline\r\nend", "A001", {}, "01:00:00:00", "01:00:04:12", awkward},
        {"Ünïcødé 日本 🎬", {}, "A001C004\u2028.mov", "00:09:59;29", "00:10:00;00", Cdl{}},
    };
    const auto bytes = Ale::write({"1080", "29.97"}, clips);
    QVERIFY2(bytes.ok(), qPrintable(bytes.error()));
    AleFile file;
    const QString why = readAle(*bytes, file);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    QCOMPARE(file.heading,
             (QMap<QString, QString>{{"FIELD_DELIM", "TABS"}, {"VIDEO_FORMAT", "1080"}, {"FPS", "29.97"}}));
    QCOMPARE(file.rows.size(), 2);
    const QList<QStringList> expected{{"A001C003 tab line  end", "A001", "", "01:00:00:00", "01:00:04:12"},
                                      {"Ünïcødé 日本 🎬", "", "A001C004 .mov", "00:09:59;29", "00:10:00;00"}};
    for (int i = 0; i < 2; ++i) {
        QMap<QString, QString>& row = file.rows[i];
        QCOMPARE((QStringList{row["Name"], row["Tape"], row["Source File"], row["Start"], row["End"]}),
                 expected[i]);
        QCOMPARE(cdlOf(row), clips[i].cdl);
    }
}

void TestAle::clipsThatCannotBeLoggedAreRefused_data() {
    QTest::addColumn<QString>("fps");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::addColumn<QString>("mentions");

    const char* const rows[][5] = {
        {"a frame label past the rate", "24", "01:00:00:24", "01:00:01:00", "does not exist at 24 fps"},
        {"a label drop frame skips", "29.97", "00:01:00;01", "00:01:00;02", "drop frame skips"},
        {"an end before the start", "24", "01:00:01:00", "01:00:00:00", "not after its start"},
    };
    for (const auto& row : rows) {
        QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]) << QString(row[3]) << QString(row[4]);
    }
}

void TestAle::clipsThatCannotBeLoggedAreRefused() {
    QFETCH(QString, fps);
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(QString, mentions);

    const auto bytes = Ale::write({"1080", fps}, {{"A001C003", "A001", {}, start, end, Cdl{}}});
    QVERIFY2(!bytes.ok() && bytes.error().contains(mentions), qPrintable(bytes.error()));
}

void TestAle::commandWritesAnAleThatParses() {
    const QByteArray look = R"({"name":"Night\texterior","space":"","slope":[0.3333333333333333,1,0.9],
        "offset":[0.30000000000000004,-1e-7,0],"power":[1.2,0.14285714285714285,1],"saturation":1.05})";
    const QStringList ale{"-", "-", "--format", "ale", "--source-file", "A002C001.mov", "--fps", "29.97"};
    QVERIFY(runProgram(TONEWHARF_CDL_COMMAND, ale, look).isNull()); // no timecodes
    const QByteArray bytes = runProgram(
        TONEWHARF_CDL_COMMAND, ale + QStringList{"--start", "00:59:58;00", "--end", "01:00:00;00"}, look);
    AleFile file;
    const QString why = readAle(bytes, file);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    QCOMPARE(file.rows.size(), 1);
    QCOMPARE(file.rows[0].value("Name"), "Night exterior");
    QCOMPARE(file.rows[0].value("Source File"), "A002C001.mov");
    QCOMPARE(cdlOf(file.rows[0]), awkward);
}

QTEST_GUILESS_MAIN(TestAle)
#include "TestAle.moc"
