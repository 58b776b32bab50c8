#include "platform/ResolveProfile.h"

#include <QTest>

class TestResolveProfile : public QObject {
    Q_OBJECT

private slots:
    void linuxPathsFollowTheInstallation_data() {
        QTest::addColumn<QString>("override");
        QTest::addColumn<QString>("root");
        QTest::newRow("no override uses /opt/resolve") << QString() << "/opt/resolve";
        QTest::newRow("an override replaces /opt/resolve, less its trailing slashes") << "/srv/fake resolve//"
                                                                                      << "/srv/fake resolve";
    }

    void linuxPathsFollowTheInstallation() {
        QFETCH(QString, override);
        QFETCH(QString, root);
        QProcessEnvironment environment;
        if (!override.isEmpty()) {
            environment.insert("TONEWHARF_RESOLVE_DIR", override);
        }
        const ResolveProfile profile = ResolveProfile::forLinux("/home/ana", environment);
        QCOMPARE(QStringList({profile.defaultLutFolder(), profile.installedMarker, profile.runningIdentity,
                              profile.scriptApi, profile.scriptLib, profile.pythonPath,
                              profile.colourPageScripts}),
                 QStringList({root + "/LUT/Tonewharf", root + "/bin/resolve", root + "/bin/resolve",
                              root + "/Developer/Scripting", root + "/libs/Fusion/fusionscript.so",
                              root + "/Developer/Scripting/Modules",
                              "/home/ana/.local/share/DaVinciResolve/Fusion/Scripts/Color"}));
        QCOMPARE(profile.runningCheck, ResolveProfile::RunningCheck::Executable);
    }
};

QTEST_APPLESS_MAIN(TestResolveProfile)
#include "TestResolveProfile.moc"
