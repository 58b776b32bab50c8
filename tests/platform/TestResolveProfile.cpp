#include "platform/ResolveProfile.h"

#include <QTest>

class TestResolveProfile : public QObject {
    Q_OBJECT

private slots:
    void linuxProfile_data();
    void linuxProfile();
    void macOSProfileKeepsResolvesOwnPaths();
};

void TestResolveProfile::linuxProfile_data() {
    QTest::addColumn<QString>("override");
    QTest::addColumn<QString>("root");

    QTest::newRow("no override uses /opt/resolve") << QString() << "/opt/resolve";
    QTest::newRow("an override replaces /opt/resolve") << "/tmp/fake resolve"
                                                       << "/tmp/fake resolve";
    QTest::newRow("trailing slashes of an override are dropped") << "/srv/resolve//"
                                                                 << "/srv/resolve";
}

void TestResolveProfile::linuxProfile() {
    QFETCH(QString, override);
    QFETCH(QString, root);

    QProcessEnvironment environment;
    if (!override.isEmpty()) {
        environment.insert("TONEWHARF_RESOLVE_DIR", override);
    }
    const ResolveProfile profile = ResolveProfile::forLinux("/home/ana", environment);
    QCOMPARE(profile.masterLutFolder, root + "/LUT/");
    QCOMPARE(profile.defaultLutFolder(), root + "/LUT/Tonewharf");
    QCOMPARE(profile.installedMarker, root + "/bin/resolve");
    QCOMPARE(profile.scriptApi, root + "/Developer/Scripting");
    QCOMPARE(profile.scriptLib, root + "/libs/Fusion/fusionscript.so");
    QCOMPARE(profile.pythonPath, root + "/Developer/Scripting/Modules");
    QCOMPARE(profile.colourPageScripts,
             QStringLiteral("/home/ana/.local/share/DaVinciResolve/Fusion/Scripts/Color"));
    QCOMPARE(profile.runningCheck, ResolveProfile::RunningCheck::Executable);
    QCOMPARE(profile.runningIdentity, profile.installedMarker);
    QCOMPARE(profile.pythonCandidates, (QStringList{"/usr/local/bin/python3", "/usr/bin/python3"}));
}

void TestResolveProfile::macOSProfileKeepsResolvesOwnPaths() {
    const ResolveProfile profile = ResolveProfile::macOS("/Users/ana");
    QCOMPARE(profile.defaultLutFolder(),
             QStringLiteral("/Library/Application Support/Blackmagic Design/DaVinci Resolve/LUT/Tonewharf"));
    QCOMPARE(profile.masterLutFolder.size(), 67);
    QCOMPARE(
        profile.pythonPath,
        QStringLiteral(
            "/Library/Application Support/Blackmagic Design/DaVinci Resolve/Developer/Scripting/Modules"));
    QCOMPARE(profile.runningIdentity, QStringLiteral("com.blackmagic-design.DaVinciResolve"));
    QCOMPARE(profile.pythonCandidates.size(), 4);
    QCOMPARE(profile.colourPageScripts,
             QStringLiteral("/Users/ana/Library/Application Support/Blackmagic Design/"
                            "DaVinci Resolve/Fusion/Scripts/Color"));
}

QTEST_GUILESS_MAIN(TestResolveProfile)
#include "TestResolveProfile.moc"
