#include "bus/BusProtocol.h"
#include "support/PrivateSessionBus.h"
#include "support/RunProgram.h"
#include "support/RunningProgram.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDir>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString program = QStringLiteral(TONEWHARF_BUILD_DIR "/tonewharf");
const QString service = u"com.quillfen.Tonewharf"_s;
const QString object = u"/com/quillfen/Tonewharf"_s;
const QString interface = u"com.quillfen.Tonewharf1"_s;
const QString properties = u"org.freedesktop.DBus.Properties"_s;

// The text of an activity entry about the look "Look <number>".
bool isLook(const QString& text, int number) {
    return QRegularExpression(u"^Look %1\\D"_s.arg(number)).match(text).hasMatch();
}

} // namespace

// The built program reached over a session bus of the test's own, as desktops and scripts reach it.
class TestBus : public QObject {
    Q_OBJECT

    PrivateSessionBus m_bus;
    PrivateSessionBus m_emptyBus;
    std::unique_ptr<RunningProgram> m_tonewharf;
    std::optional<quint16> m_port;
    QList<QDBusMessage> m_heard;

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
        for (const QDBusMessage& message : m_heard) {
            if (message.member() == member) {
                found << message.arguments();
            }
        }
        return found;
    }
    // Each program run to its end: its exit status, standard output and standard error.
    static std::tuple<int, QByteArray, QByteArray> run(const QStringList& arguments,
                                                       const QProcessEnvironment& environment) {
        RunningProgram command(program, arguments, environment);
        if (!command.start() || !command.process().waitForFinished(15000)) {
            return {-1, {}, {}};
        }
        return {command.process().exitCode(), command.process().readAllStandardOutput(),
                command.process().readAllStandardError()};
    }

public slots:
    void hear(QDBusMessage message) {
        QVariantList arguments = message.arguments();
        if (message.member() == "PropertiesChanged") {
            arguments[1] = qdbus_cast<QVariantMap>(arguments[1]);
        }
        message.setArguments(arguments);
        m_heard << message;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_bus.isValid() && m_emptyBus.isValid());
        Bus::registerTypes();
        // Listening before the program starts, so that what its own start changes is heard too.
        QVERIFY(m_bus.connection().connect(service, object, properties, u"PropertiesChanged"_s, this,
                                           SLOT(hear(QDBusMessage))));
        QVERIFY(m_bus.connection().connect(service, object, interface, u"ActivityAdded"_s, this,
                                           SLOT(hear(QDBusMessage))));
        m_tonewharf = std::make_unique<RunningProgram>(program, QStringList{}, m_bus.environment());
        QVERIFY(m_tonewharf->start());
        m_port = m_tonewharf->waitForListeningPort();
        QVERIFY(m_port);
    }

    void propertiesAndTheirChanges() {
        // Judged by gdbus: every property with its type, the methods and the signal.
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
        for (const char* method : {"Activity(outa(xsb)", "SyncNow()", "SetPaused(inb", "ShowSettings()",
                                   "ShowWindow()", "Quit()", "ActivityAdded(xtime,stext,bok)"}) {
            QVERIFY2(calls.contains(QLatin1String(method)), method);
        }

        // The port the program reported when its server started was announced with its status line.
        const QStringList lines = property(u"StatusLines"_s).toStringList();
        QVERIFY(lines.contains("Resolve · " + property(u"ResolveHealth"_s).toString()));
        QTRY_VERIFY(
            heard(u"PropertiesChanged"_s)
                .contains(QVariantList{interface, QVariantMap{{"LocalPort", *m_port}, {"StatusLines", lines}},
                                       QStringList()}));
        QCOMPARE(property(u"LutFolder"_s), QVariant(m_tonewharf->path("resolve/LUT/Tonewharf")));
        QCOMPARE(property(u"Account"_s), QVariant(QString()));
        QCOMPARE(property(u"LastSync"_s), QVariant(qlonglong(0)));

        // A method's change: announced once, with the changed value only.
        m_heard.clear();
        QCOMPARE(call(u"SetPaused"_s, {true}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(call(u"SetPaused"_s, {true}).type(), QDBusMessage::ReplyMessage);
        QTRY_COMPARE(heard(u"PropertiesChanged"_s),
                     QList<QVariantList>({{interface, QVariantMap{{"Paused", true}}, QStringList()}}));
    }

    void activityAndItsSignalOnAFullLog() {
        // Looks refused while paused, more than the log keeps; the last with a terminal escape.
        QCOMPARE(call(u"SetPaused"_s, {true}).type(), QDBusMessage::ReplyMessage);
        const int posted = 35;
        QStringList arguments{"-s", "--max-time", "20"};
        for (int i = 1; i <= posted; ++i) {
            const QString name = i == posted ? u"Look %1\\u001b[2J"_s.arg(i) : u"Look %1"_s.arg(i);
            arguments << "-o"
                      << "/dev/null"
                      << "-d" << u"{\"name\":\"%1\",\"cube\":\"0 0 0\\n\"}"_s.arg(name)
                      << u"http://127.0.0.1:%1/v1/luts"_s.arg(*m_port) << "--next";
        }
        m_heard.clear();
        QVERIFY(!runProgram("curl", arguments.mid(0, arguments.size() - 1)).isNull());
        QTRY_COMPARE(heard(u"ActivityAdded"_s).size(), posted);
        for (int i = 0; i < posted; ++i) {
            const QVariantList signal = heard(u"ActivityAdded"_s)[i];
            QVERIFY(isLook(signal[1].toString(), i + 1) && !signal[2].toBool());
        }
        const auto activity = qdbus_cast<QList<Bus::ActivityEntry>>(call(u"Activity"_s).arguments().value(0));
        QCOMPARE(activity.size(), 30);
        QVERIFY(activity.first().text.startsWith(u"Look %1\u001b[2J"_s.arg(posted)));
        QVERIFY(isLook(activity.last().text, posted - 29));

        // The command line prints the same, its ten newest lines aged, and no escape reaches the terminal.
        const auto [status, out, error] = run({"--status"}, m_bus.environment());
        QCOMPARE(status, 0);
        QStringList printed = QString::fromUtf8(out).split('\n');
        QCOMPARE(printed.mid(0, printed.indexOf(QString())), property(u"StatusLines"_s).toStringList());
        printed = printed.mid(printed.indexOf(QString()) + 1);
        QCOMPARE(printed.size(), 11); // and the empty string after the last line break
        QVERIFY2(printed[0].startsWith(u"✗ Look %1?[2J "_s.arg(posted)), qPrintable(printed[0]));
        for (int i = 0; i < 10; ++i) {
            const QRegularExpression line(u"^✗ Look %1\\W.* · (now|\\d+ s ago)$"_s.arg(posted - i));
            QVERIFY2(line.match(printed[i]).hasMatch(), qPrintable(printed[i]));
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
        QCOMPARE(run({argument}, environment), std::make_tuple(status, QByteArray(), error));
        if (argument == "--pause" || argument == "--resume") {
            QCOMPARE(property(u"Paused"_s), QVariant(argument == "--pause" && bus == "running"));
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
        QCOMPARE(m_tonewharf->process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_tonewharf->process().exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestBus)
#include "TestBus.moc"
