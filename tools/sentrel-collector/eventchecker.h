// SPDX-License-Identifier: MIT
#ifndef EVENTCHECKER_H
#define EVENTCHECKER_H

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

class SchemaRegistry;

// One event of a batch as the collector understood it.
struct CheckedEvent
{
    QJsonObject event; // as received
    QJsonArray contexts; // the self-describing contexts of "co", when it parses
    QString kind; // the first context's schema name ("device" for the
            // device and application event), "empty" or "unknown"
    QString eventId; // "eid"
    qint64 time = -1; // "dtm" in ms since the epoch; -1 when not usable
    QList<QPair<QString, QString>> fields; // screen, object, category, key, value, type, data
    QStringList problems; // empty for a valid event

    bool isValid() const { return problems.isEmpty(); }
    QString field(const QString &name) const;
};

// Checks what the tracker sends: the batch envelope, each event against the tracker
// protocol's payload rules (the required "tv", "p" and "e", string values only, the
// protocol's field names only), and each context against its schema.
class EventChecker
{
public:
    static const QString batchSchema;
    static const QString contextsSchema;

    // schemas is not owned and must outlive the checker.
    explicit EventChecker(const SchemaRegistry *schemas);

    // The events of a batch body, and the problems of the envelope itself (not of its events).
    static QJsonArray batchEvents(const QByteArray &body, QStringList *problems);
    CheckedEvent check(const QJsonValue &event) const;

private:
    void
    checkContexts(const QJsonValue &envelope, const QString &where, CheckedEvent *result) const;

    const SchemaRegistry *schemas;
};

#endif // EVENTCHECKER_H
