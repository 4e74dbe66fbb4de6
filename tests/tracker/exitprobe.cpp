// SPDX-License-Identifier: MIT
// Records events into an offline cache and ends without disabling tracking, in the way the
// first argument names: "return" from main after the event loop, "exit" through exit() with
// tracking still running, or "noloop" without ever running the event loop. "backlog" exits
// with far more waiting than the time it is given to store at exit; "upload SERVER DELAY"
// sends without a cache and exits DELAY milliseconds after recording, as uploads run.
// "version STORAGE VERSION [NAME]" starts as that version of the application (named NAME)
// and records nothing.
#include "sentreltrackerimpl_p.h"

#include <SentrelTracker/qsentreltracker.h>

#include <QGuiApplication>
#include <QStandardPaths>
#include <QTimer>

#include <cstdlib>

int main(int argc, char *argv[])
{
    // The locations of the test that starts it, on every platform.
    QStandardPaths::setTestModeEnabled(true);
    QGuiApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("sentrel-exit-probe"));
    const QString mode = app.arguments().value(1);
    // Where the user account cannot be given (Windows keeps it in the profile), a name of its own.
    if (mode == QLatin1String("version") && app.arguments().size() > 4)
        app.setApplicationName(app.arguments().at(4));

    const bool upload = mode == QLatin1String("upload");
    QSentrelTracker tracker;
    QSentrelConfiguration *configuration = tracker.configuration();
    configuration->setToken(QStringLiteral("token"));
    if (upload) {
        configuration->setServer(app.arguments().value(2));
        configuration->setStorageType(QString());
        configuration->setRemoteConfig(false);
    } else {
        configuration->setSyncInterval(0);
        configuration->setStoragePath(app.arguments().value(2));
    }
    const bool backlog = mode == QLatin1String("backlog");
    const bool version = mode == QLatin1String("version");
    if (version)
        app.setApplicationVersion(app.arguments().value(3));
    if (backlog)
        SentrelTrackerImpl::instance()->setExitStoringTime(0);
    tracker.setEnabled(true);
    if (!tracker.isEnabled())
        return 2;
    for (int i = 0; i < (backlog ? 20000 : version ? 0 : 500); ++i)
        tracker.transition(QStringLiteral("screen%1").arg(i));

    if (version) {
        // Ends as an application should, so that it runs under the thread sanitizer too.
        tracker.setEnabled(false);
        return 0;
    }
    if (mode == QLatin1String("exit") || backlog)
        std::exit(0);
    if (upload) {
        QTimer::singleShot(app.arguments().value(3).toInt(), [] {
            std::exit(0);
        });
        return app.exec();
    }
    if (mode == QLatin1String("noloop"))
        return 0;
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return app.exec();
}
