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

// An activity line about the look "Look <number>".
bool isLook(const QString& text, int number) {
    return QRegularExpression(u"^(✗ )?Look %1\\D"_s.arg(number)).match(text).hasMatch();
}

// The program run to its end: its exit status, standard output and standard error.
std::tuple<int, QByteArray, QByteArray> run(const QString& argument, const QProcessEnvironment& environment) {
    RunningProgram command(program, {argument}, environment);
    const bool ended = command.start() && command.process().waitForFinished(15000);
    return {ended ? command.process().exitCode() : -1, command.process().readAllStandardOutput(),
            command.process().readAllStandardError()};
}

} // namespace

// The built program reached over a session bus of the test's own, as desktops and scripts reach it.
class TestBus : public QObject {
    Q_OBJECT

    PrivateSessionBus m_bus, m_emptyBus;
    std::unique_ptr<RunningProgram> m_tonewharf;
    std::optional<quint16> m_port;
    QList<QVariantList> m_heard; // each signal's name, then its arguments

    QDBusMessage call(const QString& method, const QVariantList& arguments = {},
                      const QString& on = interface) {
        QDBusMessage message = QDBusMessage::createMethodCall(service, object, on, method);
        message.setArguments(arguments);
        return m_bus.connection().call(message);
    }
    QVariant property(const QString& name) {
        return call(u"Get"_s, {interface, name}, properties)
            .arguments()
            .value(0)
            .value<QDBusVariant>()
            .variant();
    }
    QList<QVariantList> heard(const QString& member) const {
        QList<QVariantList> found;
        for (const QVariantList& signal : m_heard) {
            if (signal[0] == member) {
                found << signal.mid(1);
            }
        }
        return found;
    }

public slots:
    void hear(const QDBusMessage& message) {
        QVariantList arguments = message.arguments();
        if (message.member() == "PropertiesChanged") {
            arguments[1] = qdbus_cast<QVariantMap>(arguments[1]);
        }
        m_heard << QVariantList{message.member()} + arguments;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_bus.isValid() && m_emptyBus.isValid());
        Bus::registerTypes();
        // Listening before the program starts, so that what its own start changes is heard too.
        for (const auto& [on, name] :
             {std::pair(properties, u"PropertiesChanged"_s), {interface, u"ActivityAdded"_s}}) {
            QVERIFY(m_bus.connection().connect(service, object, on, name, this, SLOT(hear(QDBusMessage))));
        }
        m_tonewharf = std::make_unique<RunningProgram>(program, QStringList{}, m_bus.environment());
        QVERIFY(m_tonewharf->start());
        m_port = m_tonewharf->waitForListeningPort();
        QVERIFY(m_port);
    }

    void propertiesAndTheirChanges() {
        // The types, judged by gdbus.
        const QString introspection =
            QString::fromUtf8(runProgram("gdbus", {"introspect", "--address", m_bus.address(), "--dest",
                                                   service, "--object-path", object}));
        QStringList declared;
        for (const auto& match : QRegularExpression(u"readonly (\\S+ \\w+) ="_s).globalMatch(introspection)) {
            declared << match.captured(1);
        }
        declared.sort();
        QCOMPARE(declared, QStringList({"as StatusLines", "b LocalEnabled", "b Paused", "b SignedIn",
                                        "b Syncing", "q LocalPort", "s Account", "s FolderProblem",
                                        "s LutFolder", "s ResolveHealth", "x LastSync"}));
        const QString calls = QString(introspection).remove(QRegularExpression(u"\\s"_s));
        QVERIFY(calls.contains("Activity(outa(xsb)") && calls.contains("ActivityAdded(xtime,stext,bok)"));

        // The port the program's own start reported, announced with the status line that shows it.
        const QStringList lines = property(u"StatusLines"_s).toStringList();
        QVERIFY(lines.contains("Resolve · " + property(u"ResolveHealth"_s).toString()));
        const QVariantMap port{{"LocalPort", *m_port}, {"StatusLines", lines}};
        QTRY_VERIFY(heard(u"PropertiesChanged"_s).contains(QVariantList{interface, port, QStringList()}));
        QCOMPARE(property(u"LutFolder"_s), QVariant(m_tonewharf->path("resolve/LUT/Tonewharf")));

        // A method's change: announced once, with the changed value alone.
        m_heard.clear();
        QCOMPARE(call(u"SetPaused"_s, {true}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(call(u"SetPaused"_s, {true}).type(), QDBusMessage::ReplyMessage);
        QTRY_COMPARE(heard(u"PropertiesChanged"_s),
                     QList<QVariantList>({{interface, QVariantMap{{"Paused", true}}, QStringList()}}));
    }

    void activityAndItsSignalOnAFullLog() {
        // More looks refused while paused than the log keeps; the last one's name with a terminal escape.
        QCOMPARE(call(u"SetPaused"_s, {true}).type(), QDBusMessage::ReplyMessage);
        const int posted = 35;
        QStringList curl{"-s", "--max-time", "20"};
        for (int i = 1; i <= posted; ++i) {
            const QString body = u"{\"name\":\"Look %1%2\",\"cube\":\"0 0 0\\n\"}"_s.arg(i).arg(
                i == posted ? u"\\u001b[2J"_s : QString());
            curl << "-o"
                 << "/dev/null"
                 << "-d" << body << u"http://127.0.0.1:%1/v1/luts"_s.arg(*m_port);
            curl << (i < posted ? QStringList{"--next"} : QStringList());
        }
        m_heard.clear();
        QVERIFY(!runProgram("curl", curl).isNull());
        QTRY_COMPARE(heard(u"ActivityAdded"_s).size(), posted);
        for (int i = 0; i < posted; ++i) {
            QVERIFY(isLook(heard(u"ActivityAdded"_s)[i][1].toString(), i + 1) &&
                    !heard(u"ActivityAdded"_s)[i][2].toBool());
        }
        const auto activity = qdbus_cast<QList<Bus::ActivityEntry>>(call(u"Activity"_s).arguments().value(0));
        QCOMPARE(activity.size(), 30);
        QVERIFY(activity.first().text.startsWith(u"Look %1\u001b[2J"_s.arg(posted)));
        QVERIFY(isLook(activity.last().text, posted - 29));

        // The command line prints the status lines and the ten newest, aged; no escape reaches the terminal.
        const auto [status, out, error] = run("--status", m_bus.environment());
        QCOMPARE(status, 0);
        const QStringList printed = QString::fromUtf8(out).split('\n');
        const qsizetype blank = printed.indexOf(QString());
        QCOMPARE(printed.mid(0, blank), property(u"StatusLines"_s).toStringList());
        QCOMPARE(printed.size(), blank + 12); // ten lines, and the empty string after the last line break
        QVERIFY2(printed[blank + 1].startsWith(u"✗ Look %1?[2J "_s.arg(posted)),
                 qPrintable(printed[blank + 1]));
        for (int i = 0; i < 10; ++i) {
            const QString line = printed[blank + 1 + i];
            QVERIFY2(isLook(line, posted - i) &&
                         QRegularExpression(u" · (now|\\d+ s ago)$"_s).match(line).hasMatch(),
                     qPrintable(line));
        }
    }

    void commandLine_data() {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("bus");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("error");
        QTest::newRow("--pause pauses the running Tonewharf") << "--pause"
                                                              << "running" << 0 << QByteArray();
        QTest::newRow("--resume resumes it") << "--resume"
                                             << "running" << 0 << QByteArray();
        QTest::newRow("--sync-now says why it cannot sync while signed out")
            << "--sync-now"
            << "running" << 1 << QByteArray("tonewharf: not signed in to TINTARA\n");
        for (const char* argument : {"--status", "--sync-now", "--pause", "--resume"}) {
            QTest::addRow("%s says when no Tonewharf runs", argument)
                << argument << "empty" << 1 << QByteArray("Tonewharf is not running\n");
        }
        QTest::newRow("--status says when there is no session bus")
            << "--status"
            << "none" << 1
            << QByteArray("tonewharf: there is no session bus to reach a running Tonewharf through\n");
    }

    void commandLine() {
        QFETCH(QString, argument);
        QFETCH(QString, bus);
        QFETCH(int, status);
        QFETCH(QByteArray, error);
        const QProcessEnvironment environment = bus == "running" ? m_bus.environment()
                                                : bus == "empty" ? m_emptyBus.environment()
                                                                 : QProcessEnvironment();
        QCOMPARE(run(argument, environment), std::make_tuple(status, QByteArray(), error));
        if (bus == "running" && argument != "--sync-now") {
            QCOMPARE(property(u"Paused"_s), QVariant(argument == "--pause"));
        }
    }

    void windowsSecondLaunchAndQuit() {
        QCOMPARE(call(u"ShowSettings"_s).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(call(u"ShowWindow"_s).type(), QDBusMessage::ReplyMessage);
        // With its socket gone only the bus can take a second launch's request.
        QVERIFY(QFile::remove(m_tonewharf->path("runtime/tonewharf.socket")));
        QProcess second;
        second.setProcessEnvironment(m_tonewharf->process().processEnvironment());
        second.start(program);
        QVERIFY(second.waitForFinished(15000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(m_tonewharf->process().state(), QProcess::Running);

        QCOMPARE(call(u"Quit"_s).type(), QDBusMessage::ReplyMessage);
        QVERIFY(m_tonewharf->process().waitForFinished(10000));
        QCOMPARE(std::pair(m_tonewharf->process().exitStatus(), m_tonewharf->process().exitCode()),
                 std::pair(QProcess::NormalExit, 0));
    }
};

QTEST_GUILESS_MAIN(TestBus)
#include "TestBus.moc"
