// SPDX-License-Identifier: MIT
#ifndef MICROAPI_H
#define MICROAPI_H

#include "eventchecker.h"
#include "httpsserver.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QStringList>

#include <deque>

class SchemaRegistry;

// What the collector has taken, kept for a test to ask about: the valid events ("good") and
// those that broke a rule ("bad", whole bodies when they held no readable events), each list
// holding at most keep entries, the oldest dropped first. Answers the REST API under "/micro/"
// and serves the live page. Owned by the collector, on its (the main) thread.
class MicroApi
{
public:
    // schemas is not owned and must outlive this.
    MicroApi(const SchemaRegistry *schemas, int keep);

    // An event of a batch the collector took; problems are its own and its envelope's.
    void record(const QJsonValue &raw,
                const CheckedEvent &event,
                const QStringList &problems,
                qint64 received);
    // A body without one readable event.
    void recordPayload(const QByteArray &body, const QStringList &problems, qint64 received);

    // Whether route is one of the API's; it is then answered.
    static bool owns(const QByteArray &route)
    {
        return route == "/micro" || route.startsWith("/micro/");
    }
    void handle(const HttpsServer::Request &request, HttpsServer::Responder &responder);

    // How many events were forgotten by the latest reset.
    qint64 lastReset() const { return forgotten; }

private:
    struct Entry
    {
        qint64 serial = 0;
        qint64 received = 0; // ms since the epoch
        QJsonValue raw; // the event as received, or the body as text
        bool payload = false;
        CheckedEvent event;
        QStringList problems;
    };
    struct Filter
    {
        QStringList contexts;
        QString eventType;
        qsizetype limit = -1;
    };

    void keepEntry(std::deque<Entry> *list, Entry entry);
    void reset();
    QJsonObject counts() const;
    QJsonArray good(const Filter &filter) const;
    QJsonArray bad() const;
    QJsonObject pageUpdate(qint64 after) const;
    static bool parseFilter(const QByteArray &body, Filter *filter, QString *error);

    const SchemaRegistry *schemas;
    const qsizetype keep;
    std::deque<Entry> goodEntries;
    std::deque<Entry> badEntries;
    qint64 nextSerial = 1;
    qint64 goodTotal = 0; // since start or the last reset, kept or dropped
    qint64 badTotal = 0;
    int resets = 0;
    qint64 forgotten = 0;
    QMap<QString, int> kinds;
    QMap<qint64, int> perSecond; // events by the second of their time, the last minutes only
};

#endif // MICROAPI_H
