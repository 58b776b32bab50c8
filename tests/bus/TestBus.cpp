#include "bus/BusProtocol.h"
#include "support/PrivateSessionBus.h"
#include "support/RunProgram.h"
#include "support/RunningProgram.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString program = QStringLiteral(TONEWHARF_BUILD_DIR "/tonewharf");
const QString service = u"com.quillfen.Tonewharf"_s, object = u"/com/quillfen/Tonewharf"_s,
              interface = u"com.quillfen.Tonewharf1"_s, properties = u"org.freedesktop.DBus.Properties"_s;

// The program run to its end: its exit status, standard output and standard error.
using Answer = std::tuple<int, QByteArray, QByteArray>;
Answer run(const QStringList& arguments, const QProcessEnvironment& environment) {
    RunningProgram command(program, arguments, environment);
    const bool ended = command.start() && command.process().waitForFinished(15000);
    return {ended ? command.process().exitCode() : -1, command.process().readAllStandardOutput(),
            command.process().readAllStandardError()};
}

} // namespace

// The built program reached over a session bus of the test's own, as desktops and scripts reach it.
class TestBus : public QObject {
    Q_OBJECT

    PrivateSessionBus m_bus;
    std::unique_ptr<RunningProgram> m_tonewharf;
    std::optional<quint16> m_port;
    QList<QVariantMap> m_changes; // each change heard, then {the interface it named: 0}
    QList<QVariantList> m_added;

    QDBusMessage call(const QString& method, const QVariantList& arguments = {}, QString on = interface) {
        QDBusMessage message = QDBusMessage::createMethodCall(service, object, on, method);
        message.setArguments(arguments);
        return m_bus.connection().call(message);
    }
    QVariant property(const QString& name) {
        const QVariant value = call(u"Get"_s, {interface, name}, properties).arguments().value(0);
        return value.value<QDBusVariant>().variant();
    }

public slots:
    void changed(const QString& on, const QVariantMap& map) { m_changes << map << QVariantMap{{on, 0}}; }
    void added(qlonglong, const QString& text, bool ok) { m_added << QVariantList{text, ok}; }

private slots:
    void initTestCase() {
        // Listening before the program starts, so that what its own start changes is heard too.
        QVERIFY(m_bus.connection().connect(service, object, properties, u"PropertiesChanged"_s, this,
                                           SLOT(changed(QString, QVariantMap))));
        QVERIFY(m_bus.connection().connect(service, object, interface, u"ActivityAdded"_s, this,
                                           SLOT(added(qlonglong, QString, bool))));
        m_tonewharf = std::make_unique<RunningProgram>(program, QStringList{}, m_bus.environment());
        QVERIFY(m_tonewharf->start());
        m_port = m_tonewharf->waitForListeningPort();
        QVERIFY(m_port);
    }

    void propertiesAndTheirChanges() {
        // The properties' types, judged by gdbus; the method's and the signal's show in their use below.
        const QStringList gdbus{"introspect", "--address", m_bus.address(), "--dest", service, "-o", object};
        QStringList declared = QString(runProgram("gdbus", gdbus)).split('\n').filter("readonly");
        declared.replaceInStrings(QRegularExpression("^\\s+readonly | = .*$"), "");
        QCOMPARE(declared, QStringList({"b SignedIn", "s Account", "b Paused", "b Syncing", "x LastSync",
                                        "b LocalEnabled", "q LocalPort", "s LutFolder", "s FolderProblem",
                                        "s ResolveHealth", "as StatusLines"}));

        // The port the program's own start reported, announced with the status line that shows it.
        const QStringList lines = property(u"StatusLines"_s).toStringList();
        QVERIFY(lines.contains("Resolve · " + property(u"ResolveHealth"_s).toString()));
        QTRY_VERIFY(m_changes.contains(QVariantMap{{"LocalPort", *m_port}, {"StatusLines", lines}}));

        // A change asked for on the command line: announced once, with the changed value alone.
        m_changes.clear();
        QCOMPARE(run({"--pause"}, m_bus.environment()), Answer(0, "", ""));
        QCOMPARE(call(u"SetPaused"_s, {true}).type(), QDBusMessage::ReplyMessage);
        QTRY_COMPARE(m_changes, QList<QVariantMap>({{{"Paused", true}}, {{interface, 0}}}));
    }

    void activityAndItsSignalOnAFullLog() {
        // More looks refused while paused than the log keeps; the last one's name with a terminal escape.
        QCOMPARE(call(u"SetPaused"_s, {true}).type(), QDBusMessage::ReplyMessage);
        const int posted = 35;
        const QString luts = u"http://127.0.0.1:%1/v1/luts"_s.arg(*m_port);
        QStringList curl;
        for (int i = 1; i <= posted; ++i) {
            const QString name = u"Look %1 %2"_s.arg(i).arg(i == posted ? "\\u001b[2J" : "");
            curl << (i > 1 ? "--next" : "-s") << luts << "-d"
                 << u"{\"name\":\"%1\",\"cube\":\"0\"}"_s.arg(name);
        }
        m_added.clear();
        QVERIFY(!runProgram("curl", curl).isNull());
        QTRY_COMPARE(m_added.size(), posted);
        const auto activity = qdbus_cast<QList<Bus::ActivityEntry>>(call(u"Activity"_s).arguments().value(0));
        QCOMPARE(activity.size(), 30);
        for (int i = 0; i < posted; ++i) { // oldest first on the signal, newest first in the log
            QVERIFY(m_added[i][0].toString().startsWith(u"Look %1 "_s.arg(i + 1)) && !m_added[i][1].toBool());
            QVERIFY(i < posted - 30 || activity[posted - 1 - i].text == m_added[i][0]);
        }

        // The command line prints the status lines and the ten newest aged; no escape reaches the terminal.
        const auto [status, out, error] = run({"--status"}, m_bus.environment());
        const QStringList printed = QString::fromUtf8(out).split('\n');
        const qsizetype blank = printed.indexOf(QString());
        QCOMPARE(printed.mid(0, blank), property(u"StatusLines"_s).toStringList());
        const QRegularExpression aged(
            u"^✗ Look %1 \\?\\[2J [^\n]+\n(✗ Look \\d+ .* · (now|\\d+ s ago)\n){9}$"_s.arg(posted));
        QVERIFY2(status == 0 && aged.match(printed.mid(blank + 1).join('\n')).hasMatch(), out.data());

        QCOMPARE(run({"--sync-now"}, m_bus.environment()),
                 Answer(1, "", "tonewharf: not signed in to TINTARA\n"));
        QCOMPARE(run({"--resume"}, m_bus.environment()), Answer(0, "", ""));
        QCOMPARE(property(u"Paused"_s), QVariant(false));
    }

    void windowsSecondLaunchQuitAndAfter() {
        QCOMPARE(call(u"ShowSettings"_s).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(call(u"ShowWindow"_s).type(), QDBusMessage::ReplyMessage);
        // With its socket gone only the bus can take a second launch's request.
        QVERIFY(QFile::remove(m_tonewharf->path("runtime/tonewharf.socket")));
        QCOMPARE(std::get<0>(run({}, m_tonewharf->process().processEnvironment())), 0);

        QCOMPARE(call(u"Quit"_s).type(), QDBusMessage::ReplyMessage);
        QVERIFY(m_tonewharf->process().waitForFinished(10000));
        QCOMPARE(std::pair(m_tonewharf->process().exitStatus(), m_tonewharf->process().exitCode()),
                 std::pair(QProcess::NormalExit, 0));
        QCOMPARE(run({"--status"}, m_bus.environment()), Answer(1, "", "Tonewharf is not running\n"));
        const char* noBus = "tonewharf: there is no session bus to reach a running Tonewharf through\n";
        QCOMPARE(run({"--pause"}, {}), Answer(1, "", noBus));
    }
};

QTEST_GUILESS_MAIN(TestBus)
#include "TestBus.moc"
