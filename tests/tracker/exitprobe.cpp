// SPDX-License-Identifier: MIT
// Records events into an offline cache and ends without disabling tracking, in the way the
// first argument names: "return" from main after the event loop, "exit" through exit() with
// tracking still running, or "noloop" without ever running the event loop.
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

    QSentrelTracker tracker;
    tracker.configuration()->setToken(QStringLiteral("token"));
    tracker.configuration()->setSyncInterval(0);
    tracker.configuration()->setStoragePath(app.arguments().value(2));
    tracker.setEnabled(true);
    if (!tracker.isEnabled())
        return 2;
    for (int i = 0; i < 500; ++i)
        tracker.transition(QStringLiteral("screen%1").arg(i));

    if (mode == QLatin1String("exit"))
        std::exit(0);
    if (mode == QLatin1String("noloop"))
        return 0;
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return app.exec();
}
