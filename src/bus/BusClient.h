#pragma once

#include "bus/BusProtocol.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantList>

#include <chrono>
#include <optional>

// Another process talking to the running Tonewharf: the command line and a second launch.
class BusClient {
public:
    enum class Outcome {
        answered,
        notRunning, // nobody holds the name
        noBus,      // no session bus to ask through
        failed,     // an error answer, or none in time; `error()` says which
    };

    explicit BusClient(QDBusConnection connection = QDBusConnection::sessionBus(),
                       std::chrono::milliseconds patience = std::chrono::seconds(5));

    // One method of the interface; its answer's arguments in `arguments()`.
    Outcome call(const QString& method, const QVariantList& arguments = {});

    // The status lines and the activity, newest first.
    struct Status {
        QStringList lines;
        QList<Bus::ActivityEntry> activity;
    };
    std::optional<Status> status();

    const QVariantList& arguments() const { return m_arguments; }
    Outcome outcome() const { return m_outcome; }
    const QString& error() const { return m_error; }

private:
    Outcome send(QDBusMessage message);

    QDBusConnection m_connection;
    std::chrono::milliseconds m_patience;
    QVariantList m_arguments;
    Outcome m_outcome = Outcome::answered;
    QString m_error;
};
