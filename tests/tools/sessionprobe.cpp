// SPDX-License-Identifier: MIT
// An application's short session, recorded and delivered to the collector named by the first
// argument (localhost:PORT) with the cache in the directory of the second. It keeps tracking
// until SIGTERM, so that the test decides when everything has arrived.
#include "quitonsignals.h"

#include <SentrelTracker/qsentreltracker.h>

#include <QGuiApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QTextStream>

int main(int argc, char *argv[])
{
    // The locations of the test that starts it, on every platform.
    QStandardPaths::setTestModeEnabled(true);
    QGuiApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("sentrel-session-probe"));
    quitOnSignals(app);

    // An application that ran before on this account: its session holds no install event.
    QSettings(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation)
                      + QStringLiteral("/sentrel.ini"),
              QSettings::IniFormat)
            .setValue(QStringLiteral("installedVersion"), QCoreApplication::applicationVersion());
    QSentrelTracker tracker;
    QSentrelConfiguration *configuration = tracker.configuration();
    configuration->setServer(app.arguments().value(1));
    configuration->setStoragePath(app.arguments().value(2));
    configuration->setToken(QStringLiteral("probe-token"));
    configuration->setPlatform(QStringLiteral("pc"));
    configuration->setSyncInterval(1);
    configuration->setRemoteConfig(false);
    configuration->setCategories({QStringLiteral("buttons"), QStringLiteral("dialogs")});
    tracker.setEnabled(true);
    if (!tracker.isEnabled())
        return 2;

    QString mode = QStringLiteral("probe");
    tracker.dimensionData(QStringLiteral("mode"), mode);
    tracker.transition(QStringLiteral("Main"));
    tracker.interaction(QStringLiteral("save"), QStringLiteral("buttons"));
    tracker.transition(QStringLiteral("Settings"), QStringLiteral("zoom"), 1.5);
    tracker.interaction(QStringLiteral("ok"), QStringLiteral("zoom"), 2, QStringLiteral("dialogs"));
    tracker.contextData(QStringLiteral("note"), QStringLiteral("hello"));
    QTextStream(stdout) << "session recorded" << Qt::endl;

    const int result = app.exec();
    tracker.setEnabled(false);
    return result;
}
