// SPDX-License-Identifier: MIT
#ifndef DEVCOLLECTOR_H
#define DEVCOLLECTOR_H

#include "eventchecker.h"
#include "httpsserver.h"
#include "microapi.h"
#include "schemaregistry.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTextStream>
#include <QTimer>

// A collector for development: accepts the tracker's batches over HTTPS on localhost, checks
// every event, prints one line per event, and answers "/config" from a document file that
// it reads anew for every request. Lives on the main thread.
class DevCollector : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QHostAddress address = QHostAddress::LocalHost;
        quint16 port = 9443;
        QString stateDirectory; // the kept certificate
        QString configDocument; // the answer to "/config"; absent file: 404
        QString output; // JSON lines of the events; empty: none
        QStringList schemaDirectories;
        int failStatus = 0; // answer every request with this status
        bool noAnswer = false; // never answer
        int exitAfterIdle = 0; // seconds without a request; 0: never
        int maxEvents = 0; // stop after this many events; 0: never
        int keep = 100000; // events kept for the API, in each of its lists
    };

    // out is where the lines go; not owned.
    DevCollector(const Options &options, QTextStream *out, QObject *parent = nullptr);

    bool start();
    QString errorString() const { return error; }
    quint16 port() const { return server.port(); }

    int eventCount() const { return received; }
    int invalidCount() const { return invalid; }
    void printSummary();

Q_SIGNALS:
    // The idle time or the event count has been reached; the answers are on their way.
    void finished();

private:
    void handle(const HttpsServer::Request &request, HttpsServer::Responder &responder);
    void handleBatch(const HttpsServer::Request &request, int status, bool taken);
    void handleConfig(const HttpsServer::Request &request, HttpsServer::Responder &responder);
    bool fail(HttpsServer::Responder &responder);
    void line(const QString &text);
    void finishSoon();

    Options options;
    QTextStream *out;
    HttpsServer server;
    SchemaRegistry schemas;
    EventChecker checker;
    MicroApi micro;
    QFile outputFile;
    QTimer idleTimer;
    QString error;
    bool finishing = false;

    int received = 0;
    int accepted = 0;
    int batches = 0;
    int invalid = 0;
    int duplicates = 0;
    int configRequests = 0;
    int configDocuments = 0;
    QMap<QString, int> kinds;
    QSet<QString> eventIds;
    QStringList invalidLines;
};

#endif // DEVCOLLECTOR_H
