// SPDX-License-Identifier: MIT
// One run of an application with remote configuration, configured by the file that
// SENTREL_CONFIG names. Prints the token it starts with, tracks, and on any input (or the end
// of its input) prints the token it ends with and quits orderly. The application version is
// the first argument.
#include <SentrelTracker/qsentrelconfiguration.h>
#include <SentrelTracker/qsentreltracker.h>

#include <QGuiApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("sentrel-remoteconfig-probe"));
    app.setApplicationVersion(app.arguments().value(1));

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

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        input.setEnabled(false);
        char buffer[64];
        (void)::read(STDIN_FILENO, buffer, sizeof buffer);
        std::printf("end %s\n", qPrintable(configuration->token()));
        std::fflush(stdout);
        tracker.setEnabled(false);
        app.quit();
    });
    return app.exec();
}
