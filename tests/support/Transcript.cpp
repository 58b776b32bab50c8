#include "support/Transcript.h"

#include "platform/FileSystem.h"
#include "support/CloudTestService.h"
#include "support/RunProgram.h"
#include "support/RunningProgram.h"
#include "support/fake_resolve/FakeResolve.h"

#include <QCryptographicHash>
#include <QDBusArgument>
#include <QDBusMessage>
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

// JSON as compact text with sorted keys; anything else by its size and digest.
QString shown(const QByteArray& bytes) {
    const QJsonDocument json = QJsonDocument::fromJson(bytes);
    return !json.isNull() ? QString::fromUtf8(json.toJson(QJsonDocument::Compact)) : summary(bytes);
}

// A multipart body part by part, in the order sent: name=value, or name=file name and summary.
QString formFields(const QByteArray& body, const QString& contentType) {
    const QByteArray boundary =
        "--" + contentType.section(QStringLiteral("boundary="), 1).remove(u'"').toUtf8();
    QStringList fields;
    for (qsizetype at = body.indexOf(boundary), next = 0; at >= 0; at = next) {
        next = body.indexOf(boundary, at + boundary.size());
        const QByteArray part = body.mid(at + boundary.size(), next < 0 ? -1 : next - at - boundary.size());
        const QString head = QString::fromUtf8(part.left(part.indexOf("\r\n\r\n")));
        const QByteArray content = part.mid(part.indexOf("\r\n\r\n") + 4).chopped(2);
        const QRegularExpressionMatch file =
            QRegularExpression(QStringLiteral("filename=\"([^\"]*)")).match(head);
        if (next >= 0) {
            fields << QRegularExpression(QStringLiteral("; name=\"([^\"]*)")).match(head).captured(1) + u'=' +
                          (file.hasMatch() ? file.captured(1) + u' ' + summary(content)
                                           : QString::fromUtf8(content));
        }
    }
    return fields.join(QStringLiteral("; "));
}

// The folders whose files a user sees, under the names the transcript gives them.
const std::pair<const char*, const char*> folders[] = {
    {"LUT/", "resolve/LUT/Tonewharf"},
    {"support/", "home/.local/share/Tonewharf"},
    {"scripts/", "home/.local/share/DaVinciResolve/Fusion/Scripts/Color"},
};

} // namespace

Transcript::Transcript(RunningProgram& program, const FakeResolveInstallation& resolve,
                       CloudTestService* cloud)
    : m_program(program)
    , m_resolve(resolve)
    , m_cloud(cloud) {}

void Transcript::ask(const QString& path, const QByteArray& body, const QString& label) {
    const quint16 port = m_program.waitForListeningPort().value_or(9);
    QStringList arguments{"-s",         "-i", "--path-as-is",
                          "--max-time", "20", QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path)};
    if (!body.isNull()) {
        arguments << "-H"
                  << "Content-Type: application/json"
                  << "--data-binary"
                  << "@-";
    }
    const QString request =
        (body.isNull() ? "GET " : "POST ") + path + (label.isEmpty() ? "" : " (" + label + ")");
    m_pending.append(answer(request, runProgram("curl", arguments, body)));
}

void Transcript::park(const QString& path) {
    auto curl = std::make_unique<QProcess>();
    curl->start("curl", {"-s", "-i", "--max-time", "20",
                         QStringLiteral("http://127.0.0.1:%1%2")
                             .arg(m_program.waitForListeningPort().value_or(9))
                             .arg(path)});
    m_parked.emplace_back("GET " + path + " (parked)", std::move(curl));
}

QString Transcript::answer(const QString& request, const QByteArray& response) {
    const QString status = QString::fromLatin1(response.left(response.indexOf("\r\n"))).section(u' ', 1, 1);
    const QByteArray body = response.mid(response.indexOf("\r\n\r\n") + 4);
    const bool plain = body.size() <= 20 && !body.contains('\n');
    return normalised("local " + request + " → " +
                      (response.isEmpty() ? QStringLiteral("no answer") : status) + u' ' +
                      (plain ? QString::fromUtf8(body) : shown(body)));
}

QStringList Transcript::observe(Seen& now) {
    for (auto& [request, curl] : m_parked) {
        if (curl && curl->state() == QProcess::NotRunning) {
            m_pending.append(answer(request, curl->readAllStandardOutput()));
            curl.reset();
        }
    }
    QStringList lines = m_pending;
    now = m_seen;

    if (m_cloud) {
        // A record is shown by its name, and a later record of the same name with a number.
        for (const QJsonValue record : m_cloud->control("GET", QStringLiteral("/_test/records")).toArray()) {
            const QString id = record[u"id"].toString();
            QString name = u'<' + record[u"name"].toString() + u'>';
            for (int n = 2; !m_names.contains(id) && m_names.values().contains(name); ++n) {
                name = QStringLiteral("<%1 #%2>").arg(record[u"name"].toString()).arg(n);
            }
            m_names.insert(id, m_names.value(id, name));
        }
        // Requests come on connections of their own, from the stream's thread and the program's
        // tasks side by side: their order carries no meaning, so they are sorted.
        const QJsonArray requests = m_cloud->requests();
        QStringList cloud;
        for (qsizetype i = m_seen.requests; i < requests.size(); ++i) {
            const QJsonValue request = requests[i];
            const QString type = CloudTestService::header(request, "content-type");
            const QByteArray body = CloudTestService::body(request);
            const QString query = request[u"query"].toString();
            const QString auth = CloudTestService::header(request, "authorization");
            cloud << normalised("cloud " + request[u"method"].toString() + u' ' +
                                request[u"path"].toString() + (query.isEmpty() ? "" : u'?' + query) +
                                (body.isEmpty()                           ? QString()
                                 : type.startsWith("multipart/form-data") ? u' ' + formFields(body, type)
                                                                          : u' ' + shown(body)) +
                                (auth == "(absent)" ? QString() : " [" + auth + u']'));
        }
        cloud.sort();
        lines += cloud;
        now.requests = requests.size();
    }

    const QStringList calls = m_resolve.calls();
    for (qsizetype i = m_seen.resolveCalls; i < calls.size(); ++i) {
        // The status poll's reach for Resolve comes as often as time allows.
        if (calls[i] != "scriptapp" && calls[i] != "import") {
            lines.append(normalised("resolve " + calls[i]));
        }
    }
    now.resolveCalls = calls.size();

    now.files.clear();
    for (const auto& [label, folder] : folders) {
        const QString root = m_program.path(folder);
        for (QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
             it.hasNext();) {
            const QString path = it.next();
            const QByteArray bytes = FileSystem::readAll(path).value_or("(unreadable)");
            // A still carries an id made up for every write: shown without it, yet every write shows.
            static const QRegularExpression id(QStringLiteral("[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}"));
            now.files.insert(label + path.mid(root.size() + 1),
                             path.endsWith(".json") ? normalised(shown(bytes))
                             : path.endsWith(".drx")
                                 ? summary(QString::fromUtf8(bytes).replace(id, QString()).toUtf8()) + u'\t' +
                                       summary(bytes)
                                 : summary(bytes));
        }
    }
    lines += fileLines(now);

    // Newest first, at most the latest thirty: what the log holds beyond the entries already seen.
    const QDBusMessage reply = m_program.bus().call(
        QDBusMessage::createMethodCall("com.quillfen.Tonewharf", "/com/quillfen/Tonewharf",
                                       "com.quillfen.Tonewharf1", "Activity"),
        QDBus::Block, 5000);
    QStringList activity;
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        const QDBusArgument entries = reply.arguments().constFirst().value<QDBusArgument>();
        entries.beginArray();
        while (!entries.atEnd()) {
            qint64 time = 0;
            QString text;
            bool ok = false;
            entries.beginStructure();
            entries >> time >> text >> ok;
            entries.endStructure();
            activity.prepend(QString::number(time) + (ok ? " ✓ " : " ✗ ") + text);
        }
        entries.endArray();
    }
    qsizetype known = std::min(activity.size(), m_seen.activity.size());
    while (known > 0 && activity.first(known) != m_seen.activity.last(known)) {
        --known;
    }
    for (const QString& entry : activity.sliced(known)) {
        lines.append(normalised("activity" + entry.mid(entry.indexOf(u' '))));
    }
    now.activity = m_seen.activity + activity.sliced(known);
    return lines;
}

QStringList Transcript::fileLines(const Seen& now) {
    // The ledger's entries by kind and key, each as compact JSON.
    const auto entries = [](const QString& ledger) {
        QMap<QString, QString> entries;
        const QJsonObject kinds = QJsonDocument::fromJson(ledger.toUtf8()).object();
        for (auto kind = kinds.begin(); kind != kinds.end(); ++kind) {
            const QJsonObject map = kind->toObject();
            for (auto entry = map.begin(); entry != map.end(); ++entry) {
                entries.insert(
                    kind.key() + u' ' + entry.key(),
                    QString::fromUtf8(QJsonDocument(entry->toObject()).toJson(QJsonDocument::Compact)));
            }
        }
        return entries;
    };
    QStringList lines;
    QStringList paths = m_seen.files.keys() + now.files.keys();
    paths.removeDuplicates();
    paths.sort();
    for (const QString& path : paths) {
        const QString before = m_seen.files.value(path);
        const QString after = now.files.value(path);
        const QMap<QString, QString> old = entries(before);
        const QMap<QString, QString> fresh = entries(after);
        if (before == after) {
            continue;
        } else if (!now.files.contains(path)) {
            lines << "file - " + path;
        } else if (path != "support/ledger.json" || (old.isEmpty() && fresh.isEmpty())) {
            lines << (m_seen.files.contains(path) ? "file ~ " : "file + ") + path + u' ' +
                         after.section(u'\t', 0, 0);
        } else {
            QStringList keys = old.keys() + fresh.keys();
            keys.removeDuplicates();
            keys.sort();
            for (const QString& key : keys) {
                if (old.value(key) != fresh.value(key)) {
                    lines << (!fresh.contains(key) ? "ledger - " + key
                                                   : (old.contains(key) ? "ledger ~ " : "ledger + ") + key +
                                                         u' ' + fresh.value(key));
                }
            }
        }
    }
    return lines;
}

QString Transcript::normalised(QString text) {
    text.replace(m_program.root(), QStringLiteral("<root>"));
    // Made up anew on every run by the service or the program: numbered in order of appearance.
    static const std::pair<QRegularExpression, QString> numbered[] = {
        {QRegularExpression(QStringLiteral("(?<=\"clientId\":\")[a-z0-9]{40}")), QStringLiteral("client")},
        {QRegularExpression(QStringLiteral("(?<=_)[a-z0-9]{10}(?=\\.)")), QStringLiteral("suffix")},
    };
    for (const auto& [pattern, kind] : numbered) {
        for (const QRegularExpressionMatch& match : pattern.globalMatch(text)) {
            if (!m_names.contains(match.captured())) {
                const auto taken = std::ranges::count_if(
                    m_names, [&](const QString& name) { return name.startsWith(u'<' + kind); });
                m_names.insert(match.captured(), QStringLiteral("<%1%2>").arg(kind).arg(taken + 1));
            }
        }
    }
    for (auto name = m_names.cbegin(); name != m_names.cend(); ++name) {
        text.replace(name.key(), name.value());
    }
    static const std::pair<QRegularExpression, QString> fixed[] = {
        // The service's tokens; which of the user's tokens a request carries depends on whether the
        // session's refresh came back before it was sent.
        {QRegularExpression(QStringLiteral("pbt\\.[\\w-]+")), QStringLiteral("<token>")},
        {QRegularExpression(QStringLiteral("port \\d+")), QStringLiteral("port <port>")},
        // A whole digest, as the listing of the inbox sends it, as long as the files' own.
        {QRegularExpression(QStringLiteral("\\b([0-9a-f]{12})[0-9a-f]{52}\\b")), QStringLiteral("\\1")},
        {QRegularExpression(QStringLiteral("\"mac\":\"[^\"]*\"")), QStringLiteral("\"mac\":\"<computer>\"")},
        {QRegularExpression(QStringLiteral("\"version\":\"[^\"]*\"")),
         QStringLiteral("\"version\":\"<version>\"")},
    };
    for (const auto& [pattern, replacement] : fixed) {
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
        const QStringList current = observe(next);
        const QString text = current.join(u'\n');
        if (current != lines ||
            !std::ranges::all_of(until, [&](const QString& part) { return text.contains(part); })) {
            lines = current;
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
    diff.waitForFinished();
    return false;
}
