#include "colour/Ale.h"

#include <QTest>

static const Cdl awkward{{1.0 / 3, 1.0, 0.9}, {0.1 + 0.2, -1e-7, 0.0}, {1.2, 1.0 / 7, 1.0}, 1.05};
static const QByteArray awkwardFields = // fixed notation, the fewest digits that read back exactly
    "(0.3333333333333333 1 0.9)(0.30000000000000004 -0.0000001 0)(1.2 0.14285714285714285 1)\t1.05\n";

class TestAle : public QObject {
    Q_OBJECT

private slots:
    // ALE has no quoting: tabs and line breaks inside a field become blanks; other text stays as it is.
    void clipsAreLoggedOneLineEach() {
        const QList<Ale::Clip> clips{
            {"A001C003\ttab\nline\r\nend", "A001", {}, "01:00:00:00", "01:00:04:12", awkward},
            {"Ünïcødé 日本 🎬", {}, "A001C004\u2028.mov", "00:09:59;29", "00:10:00;00", Cdl{}},
        };
        const QByteArray written = Ale::write({"1080", "29.97"}, clips).value();
        QCOMPARE(
            written,
            "Heading\nFIELD_DELIM\tTABS\nVIDEO_FORMAT\t1080\nFPS\t29.97\n\nColumn\n"
            "Name\tTracks\tStart\tEnd\tTape\tSource File\tASC_SOP\tASC_SAT\n\nData\n"
            "A001C003 tab line  end\tV\t01:00:00:00\t01:00:04:12\tA001\t\t" +
                awkwardFields +
                "Ünïcødé 日本 🎬\tV\t00:09:59;29\t00:10:00;00\t\tA001C004 .mov\t(1 1 1)(0 0 0)(1 1 1)\t1\n");
        const auto read = Ale::read(written);
        QVERIFY2(read.ok() && read->heading == (Ale::Heading{"1080", "29.97"}), qPrintable(read.error()));
        QCOMPARE(read->clips.value(0).cdl, awkward);
        Ale::Clip blanked = clips[1];
        blanked.sourceFile = "A001C004 .mov";
        QCOMPARE(read->clips.value(1), blanked);
    }
};

QTEST_GUILESS_MAIN(TestAle)
#include "TestAle.moc"
