#pragma once

#include <QList>
#include <QString>

// DNS-SD as a client on the network sees it, through the avahi-daemon that scripts/test-services.sh
// runs on the loopback interface only. Against any other daemon the tests that use this skip, because
// browsing there would send queries beyond this computer.
namespace AvahiBrowse {

inline const QString serviceType = QStringLiteral("_tonewharf._tcp");

struct Browsed {
    QString interfaceName;
    QString name;
    quint16 port = 0;
    QString txt; // each string double-quoted
};

// Every resolved instance of that name the daemon knows.
QList<Browsed> browseNamed(const QString& name);
// Exactly one instance of that name, on loopback, at that port, with the TXT record v=1.
bool browsedOnce(const QString& name, quint16 port);
// Why the loopback-only daemon cannot be used, or nothing when it can.
QString loopbackDaemonProblem();
// Names unique to this run, so that other advertisers on the same daemon cannot be mistaken for ours.
QString uniqueName(const QString& base);

} // namespace AvahiBrowse
