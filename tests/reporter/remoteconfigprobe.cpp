// SPDX-License-Identifier: MIT
// One run of an application with remote configuration, configured by the file that
// SENTREL_CONFIG names. Prints the token it starts with, tracks, and on any input (or the end
// of its input) prints the token it ends with and quits orderly. The application version is
// the first argument. Its alarms ring within milliseconds, as in the tests.
#include "testclock.h"

#include <SentrelTracker/qsentrelconfiguration.h>
#include <SentrelTracker/qsentreltracker.h>

#include <QGuiApplication>
#include <QStandardPaths>
#include <QThread>

#include <cstdio>
#include <memory>

int main(int argc, char *argv[])
{
    // The locations of the test that starts it, on every platform.
    QStandardPaths::setTestModeEnabled(true);
    QGuiApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("sentrel-remoteconfig-probe"));
    app.setApplicationVersion(app.arguments().value(1));

    TestClock clock(TestClock::Warp); // before the tracker, whose alarms it keeps
    clock.install();
    QSentrelTracker tracker;
    QSentrelConfiguration *configuration = tracker.configuration();
    // A document is announced in the log before it is in force; this says when it is.
    QObject::connect(configuration,
                     &QSentrelConfiguration::tokenChanged,
                     &app,
                     [](const QString &token) {
                         std::fprintf(stderr, "token changed: %s\n", qPrintable(token));
                     });
    std::printf("start %s\n", qPrintable(configuration->token()));
    std::fflush(stdout);
    tracker.setEnabled(true);

    // A thread of its own waits for the input, as reading the console cannot be watched by
    // an event loop on every platform.
    std::unique_ptr<QThread> input(QThread::create([&app, &tracker, configuration] {
        char buffer[64];
        (void)std::fgets(buffer, sizeof buffer, stdin);
        QMetaObject::invokeMethod(
                &app,
                [&app, &tracker, configuration] {
                    std::printf("end %s\n", qPrintable(configuration->token()));
                    std::fflush(stdout);
                    tracker.setEnabled(false);
                    app.quit();
                },
                Qt::QueuedConnection);
    }));
    input->start();
    const int status = app.exec();
    input->wait();
    return status;
}
