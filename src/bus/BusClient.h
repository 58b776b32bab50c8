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

    // How long an answer may take; the program answers at once unless it hangs.
    static constexpr std::chrono::milliseconds patience{5000};

    // On the session bus of this process.
    BusClient();

    // One method of the interface.
    Outcome call(const QString& method, const QVariantList& arguments = {});

    // The status lines and the activity, newest first.
    struct Status {
        QStringList lines;
        QList<Bus::ActivityEntry> activity;
    };
    std::optional<Status> status();

    Outcome outcome() const { return m_outcome; }
    const QString& error() const { return m_error; }

private:
    Outcome send(QDBusMessage message);

    QDBusConnection m_connection;
    QVariantList m_arguments; // of the last answer
    Outcome m_outcome = Outcome::answered;
    QString m_error;
};
