#include "colour/GradeSnapshot.h"

#include <QTest>

Q_DECLARE_METATYPE(CurvePoint)

namespace {

bool near(const Rgb& a, const Rgb& b) {
    return std::abs(a[0] - b[0]) < 1e-12 && std::abs(a[1] - b[1]) < 1e-12 && std::abs(a[2] - b[2]) < 1e-12;
}

} // namespace

class TestGradeModel : public QObject {
    Q_OBJECT

private slots:
    void curvesPassThroughTheirPointsAndNeverOvershoot_data();
    void curvesPassThroughTheirPointsAndNeverOvershoot();
    void hueCurvesAndQualifierActOnTheRightPixels();
    void nodesApplyInOrderAndOnlyWhereQualified();
    void looksConvertToCdlAndBack();
};

void TestGradeModel::curvesPassThroughTheirPointsAndNeverOvershoot_data() {
    QTest::addColumn<QList<CurvePoint>>("points");
    QTest::addColumn<bool>("periodic");

    QTest::newRow("an S curve with a steep middle")
        << QList<CurvePoint>{{0, 0}, {0.25, 0.1}, {0.5, 0.5}, {0.6, 0.95}, {1, 1}} << false;
    QTest::newRow("a flat stretch between rises")
        << QList<CurvePoint>{{0, 0}, {0.3, 0.4}, {0.6, 0.4}, {1, 1}} << false;
    QTest::newRow("a falling curve with a cliff")
        << QList<CurvePoint>{{0, 1}, {0.5, 0.8}, {0.55, 0.1}, {1, 0}} << false;
    QTest::newRow("hue points round the circle")
        << QList<CurvePoint>{{0.1, 0.2}, {0.3, -0.1}, {0.35, 0.05}, {0.9, 0}} << true;
}

// Between two neighbouring points the curve moves one way only and stays between their values.
void TestGradeModel::curvesPassThroughTheirPointsAndNeverOvershoot() {
    QFETCH(QList<CurvePoint>, points);
    QFETCH(bool, periodic);

    const auto curve = Curve::make(points, periodic ? Curve::Kind::periodic : Curve::Kind::open);
    QVERIFY(curve);
    QList<CurvePoint> spans = points;
    if (periodic) {
        spans.append({points.first().x + 1, points.first().y});
    } else {
        QCOMPARE(curve->at(-0.5), points.first().y);
        QCOMPARE(curve->at(1.5), points.last().y);
    }
    for (qsizetype i = 0; i + 1 < spans.size(); ++i) {
        const CurvePoint a = spans[i], b = spans[i + 1];
        QVERIFY(std::abs(curve->at(a.x) - a.y) < 1e-12);
        double previous = a.y;
        for (int step = 1; step <= 500; ++step) {
            const double y = curve->at(a.x + (b.x - a.x) * step / 500);
            QVERIFY2(y >= std::min(a.y, b.y) - 1e-12 && y <= std::max(a.y, b.y) + 1e-12,
                     qPrintable(QString::number(y)));
            QVERIFY((b.y >= a.y) ? y >= previous - 1e-12 : y <= previous + 1e-12);
            previous = y;
        }
        QVERIFY(std::abs(previous - b.y) < 1e-12);
    }
}

void TestGradeModel::hueCurvesAndQualifierActOnTheRightPixels() {
    for (int i = 0; i < 216; ++i) {
        const Rgb rgb{i / 36 / 5.0, i / 6 % 6 / 5.0, i % 6 / 5.0};
        QVERIFY(near(fromHsl(toHsl(rgb)), rgb));
    }

    const Rgb red{1, 0, 0}, grey{0.5, 0.5, 0.5};
    HueCurves hue;
    hue.hueVsHue = *Curve::make({{0.0, 1.0 / 3}}, Curve::Kind::periodic);
    QVERIFY(near(hue.apply(red), {0, 1, 0}));
    hue = {};
    hue.hueVsLuminance = *Curve::make({{0.0, 0.5}, {0.5, 1.0}}, Curve::Kind::periodic);
    QVERIFY(near(hue.apply(grey), grey));
    QVERIFY(near(hue.apply(red), {0.5, 0, 0}));

    // Reds on both sides of zero hue, fading out over a twentieth of a turn; greys left out.
    const HslQualifier reds{{0.95, 0.05, 0.05}, {0.2, 1.0, 0.0}, {0.0, 1.0, 0.0}};
    QCOMPARE(reds.key(red), 1.0);
    QVERIFY(std::abs(reds.key(fromHsl({0.075, 1.0, 0.5})) - 0.5) < 1e-9);
    QVERIFY(std::abs(reds.key(fromHsl({0.925, 1.0, 0.5})) - 0.5) < 1e-9);
    QCOMPARE(reds.key({0, 1, 0}), 0.0);
    QCOMPARE(reds.key(grey), 0.0);
}

void TestGradeModel::nodesApplyInOrderAndOnlyWhereQualified() {
    const GradeNode brighter{"brighter", true, Cdl{{2, 2, 2}, {0, 0, 0}, {1, 1, 1}, 1.0}, {}, {}, {}};
    const HslQualifier reds{{0.95, 0.05, 0.0}, {0.1, 1.0, 0.0}, {0.0, 1.0, 0.0}};
    const GradeNode greyReds{"grey reds", true, Cdl{{1, 1, 1}, {0, 0, 0}, {1, 1, 1}, 0.0}, {}, {}, reds};
    const GradeSnapshot snapshot{"Day 3", QDateTime::currentDateTimeUtc(), {brighter, greyReds}};

    // The red pixel is doubled, then loses its colour; the green one is only doubled.
    const double y = luma({0.8, 0.2, 0.2});
    QVERIFY(near(snapshot.apply({0.4, 0.1, 0.1}), {y, y, y}));
    QVERIFY(near(snapshot.apply({0.1, 0.4, 0.1}), {0.2, 0.8, 0.2}));
}

void TestGradeModel::looksConvertToCdlAndBack() {
    const LUTLook look{"Warm", "rec709", {1.1, 1, 0.9}, {0.01, 0, -0.01}, {1, 1, 1.2}, 1.05, {}, {}, {}};
    QCOMPARE(Cdl::fromLook(look)->toLook("Warm", "rec709"), look);
    LUTLook negative = look;
    negative.power[2] = -1;
    QVERIFY(Cdl::fromLook(negative).error().contains("the blue power must be more than zero"));
}

QTEST_GUILESS_MAIN(TestGradeModel)
#include "TestGradeModel.moc"
