#pragma once

#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QStringList>

#include <memory>
#include <vector>

class CloudTestService;
class FakeResolveInstallation;
class RunningProgram;

// What a scenario let a user or a peer see of the running program, step by step, as one text: the
// local server's answers to the scenario, the requests that reached the cloud service, the calls that
// reached Resolve through the bridge, the files of the LUT folder, the support folder and Resolve's
// script folder (the ledger entry by entry), and, through the program's interface on its session
// bus, the state the menu shows and the activity log. What changes from run to run (ids, tokens,
// ports, the temporary folder) is shown by stable names.
class Transcript {
public:
    Transcript(RunningProgram& program, const FakeResolveInstallation& resolve,
               CloudTestService* cloud = nullptr);

    // Asks the local server as an iPad would: POST with a body, else GET.
    void ask(const QString& path, const QByteArray& body = {}, const QString& label = {});
    // A GET left waiting (a long-poll); its answer belongs to the step in which it comes.
    void park(const QString& path);
    // Ends a step: once its lines hold every text of `until` and have stayed the same for a moment,
    // they are recorded under the title.
    void step(const QString& title, const QStringList& until = {});
    // Whether the transcript is tests/system/<name>.transcript; if not, prints a unified diff. With
    // TONEWHARF_UPDATE_TRANSCRIPTS set, it rewrites that file instead.
    bool matches(const QString& name) const;

private:
    // What earlier steps saw.
    struct Seen {
        qsizetype requests = 0;
        qsizetype resolveCalls = 0;
        QMap<QString, QString> shown; // "file <path>", "ledger <kind> <key>", "state <name>" -> its value
        QStringList log;              // oldest first
    };
    void send(const QString& path, const QByteArray& body, const QString& label);
    QStringList observe(Seen& now);
    QString normalised(QString text) const;

    RunningProgram& m_program;
    const FakeResolveInstallation& m_resolve;
    CloudTestService* m_cloud;
    Seen m_seen;
    std::vector<std::pair<QString, std::unique_ptr<QProcess>>> m_requests; // to the local server
    QStringList m_answers;                                                 // of the step at hand
    QJsonObject m_names; // what the cloud service made up -> the stable names it gave
    QString m_text;
    int m_steps = 0;
};
