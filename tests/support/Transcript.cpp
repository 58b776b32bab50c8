#include "support/Transcript.h"

#include "bus/BusProtocol.h"
#include "platform/FileSystem.h"
#include "support/CloudTestService.h"
#include "support/RunProgram.h"
#include "support/RunningProgram.h"
#include "support/fake_resolve/FakeResolve.h"

#include <QCryptographicHash>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString summary(const QByteArray& bytes) {
    return QStringLiteral("%1 bytes %2")
        .arg(bytes.size())
        .arg(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().left(12));
}

// JSON as compact text with sorted keys; short text as it is; anything else by size and digest.
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

void Transcript::ask(const QString& path, const QByteArray& body, const QString& label) {
    QStringList arguments{"-s", "-i", "--path-as-is", "--max-time", "20", url(path)};
    if (!body.isNull()) {
        arguments << "-H"
                  << "Content-Type: application/json"
                  << "--data-binary"
                  << "@-";
    }
    m_pending << answer((body.isNull() ? "GET " : "POST ") + path +
                            (label.isEmpty() ? "" : " (" + label + ")"),
                        runProgram("curl", arguments, body));
}

void Transcript::park(const QString& path) {
    m_parked.emplace_back("GET " + path + " (parked)", std::make_unique<QProcess>());
    m_parked.back().second->start("curl", {"-s", "-i", "--max-time", "20", url(path)});
}

QString Transcript::url(const QString& path) const {
    return QStringLiteral("http://127.0.0.1:%1%2")
        .arg(m_program.waitForListeningPort().value_or(9))
        .arg(path);
}

QString Transcript::answer(const QString& request, const QByteArray& response) {
    const QString status = QString::fromLatin1(response.left(response.indexOf("\r\n"))).section(u' ', 1, 1);
    return normalised("local " + request + " → " +
                      (response.isEmpty()
                           ? "no answer"
                           : status + u' ' + shown(response.mid(response.indexOf("\r\n\r\n") + 4))));
}

QStringList Transcript::observe(Seen& now) {
    for (auto& [request, curl] : m_parked) {
        if (curl && curl->state() == QProcess::NotRunning) {
            m_pending << answer(request, curl->readAllStandardOutput());
            curl.reset();
        }
    }
    QStringList lines = m_pending;
    now = m_seen;
    if (m_cloud) {
        // Requests come on connections of their own, from the stream's thread and the program's tasks
        // side by side: their order carries no meaning.
        const QJsonValue transcript = m_cloud->control("GET", QStringLiteral("/_test/transcript"));
        m_names = transcript[u"names"].toObject();
        const QJsonArray requests = transcript[u"lines"].toArray();
        QStringList cloud;
        for (qsizetype i = m_seen.requests; i < requests.size(); ++i) {
            cloud << normalised("cloud " + requests[i].toString());
        }
        cloud.sort();
        lines += cloud;
        now.requests = requests.size();
    }

    // The status poll's reach for Resolve comes as often as time allows; every other call counts.
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
            const QJsonObject ledger = QJsonDocument::fromJson(bytes).object();
            now.shown.insert(path, path.endsWith(".drx")
                                       ? summary(QString::fromUtf8(bytes).remove(id).toUtf8()) + u'\t' +
                                             summary(bytes)
                                   : path.endsWith(".json") ? normalised(shown(bytes))
                                                            : summary(bytes));
            // The ledger entry by entry, each shown as a file of its own.
            for (auto kind = ledger.begin(); path == "file support/ledger.json" && kind != ledger.end();
                 ++kind) {
                const QJsonObject entries = kind->toObject();
                now.shown.insert(path, QString());
                for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
                    now.shown.insert(normalised("ledger " + kind.key() + u' ' + entry.key()),
                                     normalised(shown(QJsonDocument(entry->toObject()).toJson())));
                }
            }
        }
    }
    // What the menu shows beside the log, as the program's interface on the bus tells it.
    const QVariantMap state = QDBusReply<QVariantMap>(m_program.call("GetAll", {"com.quillfen.Tonewharf1"},
                                                                     "org.freedesktop.DBus.Properties"))
                                  .value();
    for (const char* name :
         {"SignedIn", "Account", "Paused", "LocalEnabled", "LutFolder", "FolderProblem", "ResolveHealth"}) {
        if (state.contains(name)) {
            now.shown.insert(QStringLiteral("state ") + name, normalised(state[name].toString()));
        }
    }
    // Each file, ledger entry or state that came, changed or went, by kind.
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
    QStringList activity;
    for (const Bus::ActivityEntry& entry :
         QDBusReply<QList<Bus::ActivityEntry>>(m_program.call("Activity")).value()) {
        activity.prepend(QString::number(entry.time) + (entry.ok ? " ✓ " : " ✗ ") + entry.text);
    }
    qsizetype known = std::min(activity.size(), m_seen.activity.size());
    while (known > 0 && activity.first(known) != m_seen.activity.last(known)) {
        --known;
    }
    // The program's tasks run side by side, so the order of a step's entries carries no meaning either.
    QStringList added;
    for (const QString& entry : activity.sliced(known)) {
        added << normalised("activity" + entry.mid(entry.indexOf(u' ')));
    }
    added.sort();
    lines += added;
    now.activity = m_seen.activity + activity.sliced(known);
    return lines;
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
    QDeadlineTimer quiet(until.isEmpty() ? 800 : 300);
    for (const QDeadlineTimer limit(20000); !limit.hasExpired(); QTest::qWait(50)) {
        Seen next;
        const QStringList seen = observe(next);
        const QString text = seen.join(u'\n');
        if (seen != lines ||
            !std::ranges::all_of(until, [&](const QString& part) { return text.contains(part); })) {
            lines = seen;
            now = next;
            quiet.setRemainingTime(until.isEmpty() ? 800 : 300);
        } else if (quiet.hasExpired()) {
            break;
        }
    }
    m_seen = now;
    m_pending.clear();
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
