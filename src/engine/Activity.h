#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <QUuid>

// One line of the activity log.
struct Activity {
    Q_GADGET
    Q_PROPERTY(QUuid id MEMBER id)
    Q_PROPERTY(QDateTime date MEMBER date)
    Q_PROPERTY(QString text MEMBER text)
    Q_PROPERTY(bool ok MEMBER ok)

public:
    QUuid id;
    QDateTime date;
    QString text;
    bool ok = true; // false for a failure or a refusal

    bool operator==(const Activity&) const = default;
};
