// A bare local server for bench/local_server.sh: the same callbacks an engine would install, fed
// from fixed values, and a few commands on standard input ("wake" raises the inbox sequence and
// answers every parked GET /v1/inbox; "quit" ends the process). It prints "port N" once listening.
#include "local/LocalServer.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const quint16 port = argc > 1 ? quint16(QByteArray(argv[1]).toUInt()) : 0;

    LocalServer server(nullptr, QStringLiteral("Bench"), port);
    qint64 seq = 1;
    server.identity = [] {
        return QMap<QString, QString>{{QStringLiteral("app"), QStringLiteral("Tonewharf")},
                                      {QStringLiteral("mac"), QStringLiteral("Bench")},
                                      {QStringLiteral("version"), QStringLiteral("0.1.0")}};
    };
    server.inbox = [&seq] { return InboxSnapshot{seq, {}}; };
    server.receiveLUT = [](Incoming incoming) -> QCoro::Task<bool> {
        std::printf("received %lld\n", static_cast<long long>(incoming.cube.size()));
        std::fflush(stdout);
        co_return true;
    };
    server.onPortChange = [](std::optional<quint16> chosen) {
        std::printf("port %d\n", chosen ? int(*chosen) : 0);
        std::fflush(stdout);
    };

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char line[64];
        const ssize_t n = ::read(STDIN_FILENO, line, sizeof line - 1);
        if (n <= 0) {
            app.quit();
            return;
        }
        const QByteArray command = QByteArray(line, n).trimmed();
        if (command == "wake") {
            ++seq;
            server.notifyInboxChanged();
        } else if (command == "quit") {
            app.quit();
        }
    });

    server.start();
    return app.exec();
}
