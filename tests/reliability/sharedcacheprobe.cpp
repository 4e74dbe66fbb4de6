// SPDX-License-Identifier: MIT
// One of several processes of an application that record into one cache at once. Arguments:
// the collector's server, the cache's folder, a name and a count. Records count screens named
// "NAME-I", one every few milliseconds, syncing every second of a fast test clock, and quits
// orderly once a file "quit" appears in the folder.
#include "testclock.h"

#include <SentrelTracker/qsentrelconfiguration.h>
#include <SentrelTracker/qsentreltracker.h>

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QTimer>

int main(int argc, char *argv[])
{
    // The locations of the test that starts it, on every platform.
    QStandardPaths::setTestModeEnabled(true);
    QGuiApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("sentrel-shared-cache-probe"));
    QLoggingCategory::setFilterRules(QStringLiteral("sentrel*=false"));
    const QStringList arguments = app.arguments();
    if (arguments.size() < 5)
        return 2;
    TestClock clock(TestClock::Warp);
    clock.install();

    QSentrelTracker tracker;
    QSentrelConfiguration *config = tracker.configuration();
    config->setToken(QStringLiteral("shared-token"));
    config->setServer(arguments.at(1));
    config->setSyncInterval(1);
    config->setStorageType(QStringLiteral("SQLITE"));
    config->setStoragePath(arguments.at(2));
    config->setStorageSize(0);
    config->setBatchSize(10);
    config->setRemoteConfig(false);
    tracker.setEnabled(true);

    const QString name = arguments.at(3);
    const int count = arguments.at(4).toInt();
    int recorded = 0;
    QTimer recorder;
    QObject::connect(&recorder, &QTimer::timeout, &app, [&] {
        if (recorded < count)
            tracker.transition(QStringLiteral("%1-%2").arg(name).arg(recorded++));
        if (QFile::exists(QDir(arguments.at(2)).filePath(QStringLiteral("quit")))) {
            tracker.setEnabled(false);
            app.quit();
        }
    });
    recorder.start(5);
    return app.exec();
}
