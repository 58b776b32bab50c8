#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

// DNS Service Discovery registration of one service instance. Advertising again replaces the
// previous registration; withdraw ends it. Without a discovery daemon nothing is advertised and
// nothing fails: the service works all the same, it just cannot be found.
class ServiceAdvertiser : public QObject {
    Q_OBJECT
public:
    struct Service {
        QString name; // instance name, such as the computer's name
        QString type; // such as "_tonewharf._tcp"
        quint16 port = 0;
        QList<QPair<QByteArray, QByteArray>> txt; // such as {"v", "1"}
    };

    using QObject::QObject;

    virtual void advertise(const Service& service) = 0;
    virtual void withdraw() = 0;
};
