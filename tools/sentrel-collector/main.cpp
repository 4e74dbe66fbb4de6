// SPDX-License-Identifier: MIT
// sentrel-collector: a collector for development that shows what the tracker sends.
#include "devcollector.h"
#include "quitonsignals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QSaveFile>
#include <QStandardPaths>

#include <cstdio>

namespace {
int number(const QCommandLineParser &parser,
           const QCommandLineOption &option,
           int minimum,
           int maximum,
           bool *ok)
{
    bool valid = false;
    const int value = parser.value(option).toInt(&valid);
    if (!valid || value < minimum || value > maximum) {
        std::fprintf(stderr,
                     "sentrel-collector: --%s wants a whole number from %d to %d\n",
                     qPrintable(option.names().first()),
                     minimum,
                     maximum);
        *ok = false;
    }
    return value;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sentrel-collector"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "A collector for developing with Sentrel Tracker. It listens on localhost over\n"
            "HTTPS with a self-signed certificate (made on first use and kept), accepts the\n"
            "tracker's batches, checks every event against the tracker protocol and the shipped\n"
            "schemas, prints one line per event, answers /config from a document file, and tells\n"
            "a test what arrived through a REST API under /micro/ (a live page at /micro/ui).\n"
            "Point the tracker at it with the server localhost:PORT: the tracker accepts a\n"
            "self-signed certificate from localhost only."));
    parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port to listen on; 0 picks a free one."),
                                  QStringLiteral("port"),
                                  QStringLiteral("9443"));
    const QCommandLineOption portFile(QStringLiteral("port-file"),
                                      QStringLiteral("Write the port to this file once listening."),
                                      QStringLiteral("file"));
    const QCommandLineOption stateDir(
            QStringLiteral("state-dir"),
            QStringLiteral("Where the certificate is kept (default: the data directory)."),
            QStringLiteral("directory"));
    const QCommandLineOption config(
            QStringLiteral("config"),
            QStringLiteral("The document answered to /config, read for every request; "
                           "absent: 404 (default: remote-config.json in the state directory)."),
            QStringLiteral("file"));
    const QCommandLineOption output(
            QStringLiteral("output"),
            QStringLiteral("Append every event, with its check, as one JSON line to this file."),
            QStringLiteral("file"));
    const QCommandLineOption schemas(
            QStringLiteral("schemas"),
            QStringLiteral("Directory of the schemas (default: the installed ones)."),
            QStringLiteral("directory"));
    const QCommandLineOption failStatus(
            QStringLiteral("fail-status"),
            QStringLiteral("Answer every request with this HTTP status."),
            QStringLiteral("status"));
    const QCommandLineOption noAnswer(QStringLiteral("no-answer"),
                                      QStringLiteral("Read requests but never answer them."));
    const QCommandLineOption exitAfterIdle(
            QStringLiteral("exit-after-idle"),
            QStringLiteral("Stop after this many seconds without a request."),
            QStringLiteral("seconds"));
    const QCommandLineOption maxEvents(QStringLiteral("max-events"),
                                       QStringLiteral("Stop once this many events have arrived."),
                                       QStringLiteral("count"));
    const QCommandLineOption keep(
            QStringLiteral("keep"),
            QStringLiteral("Keep this many good and this many bad events for the API under "
                           "/micro/; the oldest go first."),
            QStringLiteral("count"),
            QStringLiteral("100000"));
    const QCommandLineOption strict(
            QStringLiteral("strict"),
            QStringLiteral("Exit with status 3 when an event was invalid."));
    const QCommandLineOption listSchemas(
            QStringLiteral("list-schemas"),
            QStringLiteral("Print the schemas that would be used, and exit."));
    parser.addOptions({port,
                       portFile,
                       stateDir,
                       config,
                       output,
                       schemas,
                       failStatus,
                       noAnswer,
                       exitAfterIdle,
                       maxEvents,
                       keep,
                       strict,
                       listSchemas});
    parser.process(app);

    DevCollector::Options options;
    bool ok = true;
    options.port = quint16(number(parser, port, 0, 65535, &ok));
    if (parser.isSet(failStatus))
        options.failStatus = number(parser, failStatus, 100, 599, &ok);
    if (parser.isSet(exitAfterIdle))
        options.exitAfterIdle = number(parser, exitAfterIdle, 1, 86400, &ok);
    if (parser.isSet(maxEvents))
        options.maxEvents = number(parser, maxEvents, 1, 1 << 30, &ok);
    options.keep = number(parser, keep, 1, 100000000, &ok);
    if (!ok)
        return 1;
    options.noAnswer = parser.isSet(noAnswer);
    options.stateDirectory = parser.isSet(stateDir)
            ? parser.value(stateDir)
            : QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    options.configDocument = parser.isSet(config)
            ? parser.value(config)
            : QDir(options.stateDirectory).filePath(QStringLiteral("remote-config.json"));
    options.output = parser.value(output);
    options.schemaDirectories = parser.isSet(schemas) ? QStringList {parser.value(schemas)}
                                                      : SchemaRegistry::defaultDirectories();

    if (parser.isSet(listSchemas)) {
        for (const QString &directory : std::as_const(options.schemaDirectories)) {
            SchemaRegistry registry;
            if (registry.load(directory) == 0)
                continue;
            std::printf("%s\n", qPrintable(QDir::cleanPath(directory)));
            for (const QString &uri : registry.uris())
                std::printf("  %s\n", qPrintable(uri));
            return 0;
        }
        std::fprintf(stderr,
                     "sentrel-collector: no schemas in %s\n",
                     qPrintable(options.schemaDirectories.join(QStringLiteral(", "))));
        return 1;
    }

    QTextStream out(stdout);
    DevCollector collector(options, &out);
    if (!collector.start()) {
        std::fprintf(stderr, "sentrel-collector: %s\n", qPrintable(collector.errorString()));
        return 1;
    }
    if (parser.isSet(portFile)) {
        QSaveFile file(parser.value(portFile));
        if (!file.open(QIODevice::WriteOnly)
            || file.write(QByteArray::number(collector.port()) + '\n') < 0 || !file.commit()) {
            std::fprintf(stderr,
                         "sentrel-collector: cannot write %s\n",
                         qPrintable(parser.value(portFile)));
            return 1;
        }
    }
    quitOnSignals(app);
    QObject::connect(&collector, &DevCollector::finished, &app, &QCoreApplication::quit);

    app.exec();
    collector.printSummary();
    return parser.isSet(strict) && collector.invalidCount() > 0 ? 3 : 0;
}
