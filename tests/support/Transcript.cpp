#include "support/Transcript.h"

#include "bus/BusProtocol.h"
#include "platform/FileSystem.h"
#include "support/CloudTestService.h"
#include "support/RunningProgram.h"
#include "support/fake_resolve/FakeResolve.h"

#include <QCryptographicHash>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString summary(const QByteArray& bytes) {
    const QByteArray digest = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().left(12);
    return QStringLiteral("%1 bytes %2").arg(bytes.size()).arg(QString::fromLatin1(digest));
}

// JSON as compact text with sorted keys; a short line as it is; anything else by size and digest.
QString shown(const QByteArray& bytes) {
    const QJsonDocument json = QJsonDocument::fromJson(bytes);
    return !json.isNull() ? QString::fromUtf8(json.toJson(QJsonDocument::Compact))
           : bytes.size() <= 20 && !bytes.contains('\n') ? QString::fromUtf8(bytes)
                                                         : summary(bytes);
}

} // namespace

Transcript::Transcript(RunningProgram& program, const FakeResolveInstallation& resolve,
                       CloudTestService* cloud)
    : m_program(program)
    , m_resolve(resolve)
    , m_cloud(cloud) {
    Bus::registerTypes();
}

void Transcript::send(const QString& path, const QByteArray& body, const QString& label) {
    const QString url =
        QStringLiteral("http://127.0.0.1:%1%2").arg(m_program.waitForListeningPort().value_or(9)).arg(path);
    QStringList arguments{"-s", "-i", "--path-as-is", "--max-time", "20", url};
    if (!body.isNull()) {
        arguments += {"-H", "Content-Type: application/json", "--data-binary", QString::fromUtf8(body)};
    }
    m_requests.emplace_back((body.isNull() ? "GET " : "POST ") + path +
                                (label.isEmpty() ? "" : " (" + label + ")"),
                            std::make_unique<QProcess>());
    m_requests.back().second->start("curl", arguments);
}

void Transcript::ask(const QString& path, const QByteArray& body, const QString& label) {
    send(path, body, label);
    m_requests.back().second->waitForFinished(30000);
}

void Transcript::park(const QString& path) {
    send(path, {}, QStringLiteral("parked"));
}

QStringList Transcript::observe(Seen& now) {
    for (auto& [request, curl] : m_requests) {
        if (curl && curl->state() == QProcess::NotRunning) {
            const QByteArray response = curl->readAllStandardOutput();
            const QString status =
                QString::fromLatin1(response.left(response.indexOf("\r\n"))).section(u' ', 1, 1);
            m_answers << normalised(
                "local " + request + " → " +
                (response.isEmpty() ? "no answer"
                                    : status + u' ' + shown(response.mid(response.indexOf("\r\n\r\n") + 4))));
            curl.reset();
        }
    }
    QStringList lines = m_answers;
    now = m_seen;
    // Requests come on connections of their own, from the stream's thread and the program's tasks
    // side by side: the order of a step's requests carries no meaning (nor that of its log entries).
    if (m_cloud) {
        const QJsonValue transcript = m_cloud->control("GET", QStringLiteral("/_test/transcript"));
        m_names = transcript[u"names"].toObject();
        const QJsonArray requests = transcript[u"lines"].toArray();
        QStringList cloud;
        for (qsizetype i = m_seen.requests; i < requests.size(); ++i) {
            cloud << normalised("cloud " + requests[i].toString());
        }
        cloud.sort();
        lines += cloud;
        now.requests += cloud.size();
    }
    // The status poll reaches for Resolve as often as time allows; every other call counts.
    const QStringList calls = m_resolve.calls();
    for (const QString& call : calls.sliced(m_seen.resolveCalls)) {
        if (call != "scriptapp" && call != "import") {
            lines << "resolve " + call;
        }
    }
    now.resolveCalls = calls.size();

    now.shown.clear();
    for (const auto& [label, folder] :
         {std::pair{"LUT/", "resolve/LUT/Tonewharf"},
          {"support/", "home/.local/share/Tonewharf"},
          {"scripts/", "home/.local/share/DaVinciResolve/Fusion/Scripts/Color"}}) {
        const QString root = m_program.path(folder);
        for (QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
             it.hasNext();) {
            const QString path = QStringLiteral("file ") + label + it.next().mid(root.size() + 1);
            const QByteArray bytes = FileSystem::readAll(it.filePath()).value_or("(unreadable)");
            // A still carries an id made up for every write: shown without it, yet every write shows.
            static const QRegularExpression id(QStringLiteral("[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}"));
            now.shown.insert(path, path.endsWith(".drx")
                                       ? summary(QString::fromUtf8(bytes).remove(id).toUtf8()) + u'\t' +
                                             summary(bytes)
                                   : path.endsWith(".json") ? normalised(shown(bytes))
                                                            : summary(bytes));
            // The ledger entry by entry.
            const QJsonObject ledger = QJsonDocument::fromJson(bytes).object();
            for (auto kind = ledger.begin(); path.endsWith("/ledger.json") && kind != ledger.end(); ++kind) {
                now.shown.insert(path, QString());
                const QJsonObject entries = kind->toObject();
                for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
                    now.shown.insert(normalised("ledger " + kind.key() + u' ' + entry.key()),
                                     normalised(shown(QJsonDocument(entry->toObject()).toJson())));
                }
            }
        }
    }
    // What the scripting module found in its environment when the bridge loaded it.
    if (!m_resolve.environmentSeen().isEmpty()) {
        now.shown.insert(QStringLiteral("resolve environment"),
                         normalised(shown(QJsonDocument(m_resolve.environmentSeen()).toJson())));
    }
    // What the menu shows, as the program's interface on its session bus tells it.
    const QVariantMap state = QDBusReply<QVariantMap>(m_program.call("GetAll", {"com.quillfen.Tonewharf1"},
                                                                     "org.freedesktop.DBus.Properties"))
                                  .value();
    for (const char* name :
         {"SignedIn", "Account", "Paused", "LocalEnabled", "LutFolder", "FolderProblem", "ResolveHealth"}) {
        if (state.contains(name)) {
            now.shown.insert(QStringLiteral("state ") + name, normalised(state[name].toString()));
        }
    }
    QStringList keys = m_seen.shown.keys() + now.shown.keys();
    keys.removeDuplicates();
    keys.sort();
    for (const QString& key : keys) {
        const QString after = now.shown.value(key);
        if (m_seen.shown.contains(key) != now.shown.contains(key) || m_seen.shown.value(key) != after) {
            const QString mark = !now.shown.contains(key) ? "- " : m_seen.shown.contains(key) ? "~ " : "+ ";
            lines << (key.section(u' ', 0, 0) + u' ' + mark + key.section(u' ', 1) + u' ' +
                      after.section(u'\t', 0, 0))
                         .trimmed();
        }
    }

    // The log, newest first and at most the latest thirty: what it holds beyond the entries already seen.
    QStringList log;
    for (const Bus::ActivityEntry& entry :
         QDBusReply<QList<Bus::ActivityEntry>>(m_program.call("Activity")).value()) {
        log.prepend(QString::number(entry.time) + (entry.ok ? " ✓ " : " ✗ ") + entry.text);
    }
    qsizetype known = std::min(log.size(), m_seen.log.size());
    while (known > 0 && log.first(known) != m_seen.log.last(known)) {
        --known;
    }
    QStringList added;
    for (const QString& entry : log.sliced(known)) {
        added << normalised("activity" + entry.mid(entry.indexOf(u' ')));
    }
    added.sort();
    now.log = m_seen.log + log.sliced(known);
    return lines + added;
}

QString Transcript::normalised(QString text) const {
    static const std::pair<QRegularExpression, QString> stable[] = {
        {QRegularExpression(QStringLiteral("port \\d+")), QStringLiteral("port <port>")},
        {QRegularExpression(QStringLiteral("\"folderID\":\"[^\"]*\"")),
         QStringLiteral("\"folderID\":\"<folder>\"")},
        {QRegularExpression(QStringLiteral("\"mac\":\"[^\"]*\"")), QStringLiteral("\"mac\":\"<computer>\"")},
        {QRegularExpression(QStringLiteral("\"version\":\"[^\"]*\"")),
         QStringLiteral("\"version\":\"<version>\"")},
        // Whole digests, as the inbox listing and the ledger carry them, as long as the files' own.
        {QRegularExpression(QStringLiteral("\\b([0-9a-f]{12})[0-9a-f]{52}\\b")), QStringLiteral("\\1")},
    };
    text.replace(m_program.root(), QStringLiteral("<root>"));
    for (auto name = m_names.begin(); name != m_names.end(); ++name) {
        text.replace(name.key(), name->toString());
    }
    for (const auto& [pattern, replacement] : stable) {
        text.replace(pattern, replacement);
    }
    return text;
}

void Transcript::step(const QString& title, const QStringList& until) {
    Seen now;
    QStringList lines;
    const int quietMs = until.isEmpty() ? 800 : 300;
    QDeadlineTimer quiet(quietMs);
    for (const QDeadlineTimer limit(20000); !limit.hasExpired(); QTest::qWait(50)) {
        Seen next;
        const QStringList seen = observe(next);
        const QString text = seen.join(u'\n');
        if (seen != lines ||
            !std::ranges::all_of(until, [&](const QString& part) { return text.contains(part); })) {
            lines = seen;
            now = next;
            quiet.setRemainingTime(quietMs);
        } else if (quiet.hasExpired()) {
            break;
        }
    }
    m_seen = now;
    m_answers.clear();
    m_text += QStringLiteral("\n%1. %2\n").arg(++m_steps).arg(title);
    for (const QString& line : lines) {
        m_text += "  " + line + u'\n';
    }
}

bool Transcript::matches(const QString& name) const {
    const QString expected = QStringLiteral(TONEWHARF_SOURCE_DIR "/tests/system/") + name + ".transcript";
    const QByteArray seen = m_text.mid(1).toUtf8();
    if (qEnvironmentVariableIsSet("TONEWHARF_UPDATE_TRANSCRIPTS")) {
        return FileSystem::writeAtomically(expected, seen).ok;
    }
    if (FileSystem::readAll(expected) == seen) {
        return true;
    }
    QTemporaryDir dir;
    FileSystem::writeAtomically(dir.filePath(name), seen);
    QProcess diff;
    diff.setProcessChannelMode(QProcess::ForwardedChannels);
    diff.start("diff", {"-u", "--label", "expected", "--label", "seen", expected, dir.filePath(name)});
    return diff.waitForFinished() && false;
}
