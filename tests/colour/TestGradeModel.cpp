#include "colour/GradeSnapshot.h"

#include <QTest>

Q_DECLARE_METATYPE(CurvePoint)

static bool near(const Rgb& a, const Rgb& b) {
    return std::abs(a[0] - b[0]) < 1e-12 && std::abs(a[1] - b[1]) < 1e-12 && std::abs(a[2] - b[2]) < 1e-12;
}

class TestGradeModel : public QObject {
    Q_OBJECT

private slots:
    void curvesPassThroughTheirPointsAndNeverOvershoot_data() {
        QTest::addColumn<QList<CurvePoint>>("points");
        QTest::addColumn<bool>("periodic");
        QTest::newRow("an S curve with a steep middle and a flat stretch")
            << QList<CurvePoint>{{0, 0}, {0.25, 0.1}, {0.5, 0.5}, {0.6, 0.95}, {0.8, 0.95}, {1, 1}} << false;
        QTest::newRow("hue points round the circle")
            << QList<CurvePoint>{{0.1, 0.2}, {0.3, -0.1}, {0.35, 0.05}, {0.9, 0}} << true;
    }

    // Between two neighbouring points the curve moves one way only, so it stays between their values;
    // outside the points an open curve holds the end values.
    void curvesPassThroughTheirPointsAndNeverOvershoot() {
        QFETCH(QList<CurvePoint>, points);
        QFETCH(bool, periodic);
        const auto curve = Curve::make(points, periodic ? Curve::Kind::periodic : Curve::Kind::open);
        QVERIFY(curve);
        QList<CurvePoint> spans = points;
        spans.append(periodic ? CurvePoint{points.first().x + 1, points.first().y}
                              : CurvePoint{1.5, points.last().y});
        spans.prepend(periodic ? points.first() : CurvePoint{-0.5, points.first().y});
        for (qsizetype i = 0; i + 1 < spans.size(); ++i) {
            const CurvePoint a = spans[i], b = spans[i + 1];
            double previous = curve->at(a.x);
            QVERIFY(std::abs(previous - a.y) < 1e-12);
            for (int step = 1; step <= 500; ++step) {
                const double y = curve->at(a.x + (b.x - a.x) * step / 500);
                QVERIFY2((y - previous) * (b.y - a.y) >= -1e-12 && std::min(a.y, b.y) - 1e-12 <= y &&
                             y <= std::max(a.y, b.y) + 1e-12,
                         qPrintable(QString::number(y)));
                previous = y;
            }
            QVERIFY(std::abs(previous - b.y) < 1e-12);
        }
    }

    // Hue curves read the pixel's own hue; a qualifier softens over its softness; nodes apply in order.
    void hueCurvesQualifiersAndNodesActOnTheRightPixels() {
        HueCurves hue;
        hue.hueVsHue = *Curve::make({{0.0, 1.0 / 3}}, Curve::Kind::periodic);
        hue.hueVsLuminance = *Curve::make({{0.0, 0.5}, {0.5, 1.0}}, Curve::Kind::periodic);
        QVERIFY(near(hue.apply({0.5, 0.5, 0.5}), {0.5, 0.5, 0.5}));
        QVERIFY(near(hue.apply({1, 0, 0}), {0, 0.5, 0}));
        const HslQualifier reds{{0.95, 0.05, 0.05}, {0.2, 1.0, 0.0}, {0.0, 1.0, 0.0}};
        QCOMPARE(reds.key({1, 0, 0}) + reds.key({0, 1, 0}) + reds.key({0.5, 0.5, 0.5}), 1.0);
        QVERIFY(std::abs(reds.key(fromHsl({0.075, 1.0, 0.5})) - 0.5) < 1e-9);
        QVERIFY(std::abs(reds.key(fromHsl({0.925, 1.0, 0.5})) - 0.5) < 1e-9);
        // The red pixel is doubled, then loses its colour; the green one is only doubled.
        const GradeNode brighter{"brighter", true, Cdl{{2, 2, 2}, {0, 0, 0}, {1, 1, 1}, 1.0}, {}, {}, {}};
        const GradeNode greyReds{"grey reds", true, Cdl{{1, 1, 1}, {0, 0, 0}, {1, 1, 1}, 0.0}, {}, {}, reds};
        const GradeSnapshot snapshot{"Day 3", QDateTime::currentDateTimeUtc(), {brighter, greyReds}};
        const double y = luma({0.8, 0.2, 0.2});
        QVERIFY(near(snapshot.apply({0.4, 0.1, 0.1}), {y, y, y}));
        QVERIFY(near(snapshot.apply({0.1, 0.4, 0.1}), {0.2, 0.8, 0.2}));
    }

    void looksConvertToCdlAndBack() {
        LUTLook look{"Warm", "rec709", {1.1, 1, 0.9}, {0.01, 0, -0.01}, {1, 1, 1.2}, 1.05, {}, {}, {}};
        QCOMPARE(Cdl::fromLook(look)->toLook("Warm", "rec709"), look);
        look.power[2] = 0;
        QVERIFY(Cdl::fromLook(look).error().contains("the blue power must be more than zero"));
    }
};

QTEST_GUILESS_MAIN(TestGradeModel)
#include "TestGradeModel.moc"
