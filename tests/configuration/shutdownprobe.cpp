// SPDX-License-Identifier: MIT
// Prints whether the previous run ended orderly, then ends this run orderly ("quit") or not
// ("kill").
#include "qsentrelconfiguration_p.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    // The locations of the test that starts it, on every platform.
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("sentrel-shutdown-probe"));
    QSentrelConfigurationPrivate configuration(nullptr);
    std::printf("%s\n", configuration.lastShutdown() ? "orderly" : "unclean");
    std::fflush(stdout);
    configuration.markRunning(); // as the worker does once tracking runs
    if (app.arguments().value(1) == QLatin1String("kill"))
        std::_Exit(9);
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return app.exec();
}
