// SPDX-License-Identifier: MIT
// The Sentrel Tracker demo: a small Qt Widgets application instrumented with the tracker.
//
// With a display a person uses it. On the offscreen platform (or with --scripted) it plays a
// short session by itself and then waits, still tracking, until it is told to quit (SIGINT or
// SIGTERM), so that the tracker can deliver what it recorded.
#include "demowindow.h"
#include "quitonsignals.h"
#include "scriptedsession.h"

#include <SentrelTracker/qsentreltracker.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QTextStream>

namespace {
bool noDisplay()
{
    return qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
            && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}
} // namespace

int main(int argc, char *argv[])
{
    // Without a display the window cannot be shown to anyone: play the scripted session.
    if (noDisplay())
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("sentrel-demo"));
    QApplication::setOrganizationName(QStringLiteral("Tamlor"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("A small application that records how it is used."));
    parser.addHelpOption();
    const QCommandLineOption config(
            QStringLiteral("config"),
            QStringLiteral("The tracker's configuration file (else SENTREL_CONFIG, "
                           "or sentrel.conf beside the program)."),
            QStringLiteral("file"));
    const QCommandLineOption scripted(
            QStringLiteral("scripted"),
            QStringLiteral("Play the scripted session even with a display."));
    const QCommandLineOption stepDelay(
            QStringLiteral("step-delay"),
            QStringLiteral("Milliseconds between two steps of the scripted session."),
            QStringLiteral("ms"),
            QStringLiteral("200"));
    parser.addOptions({config, scripted, stepDelay});
    parser.process(app);

    // Read when the tracker is first used, below.
    if (parser.isSet(config))
        qputenv("SENTREL_CONFIG", parser.value(config).toLocal8Bit());
    quitOnSignals(app);

    QSentrelTracker tracker;
    // Nothing is recorded before the person chooses in the privacy dialog.
    tracker.setConsentRequired(true);
    tracker.setEnabled(true);
    if (!tracker.isEnabled()) {
        QTextStream(stderr) << "demo: tracking could not be enabled, see the messages above"
                            << Qt::endl;
        return 1;
    }
    DemoCategories categories; // must outlive tracking: disabled below before it goes
    tracker.setCategoryFilter(&categories);

    const bool playScript = parser.isSet(scripted)
            || QGuiApplication::platformName() == QLatin1String("offscreen")
            || QGuiApplication::platformName() == QLatin1String("minimal");
    const QString mode = playScript ? QStringLiteral("scripted") : QStringLiteral("interactive");

    DemoWindow window(&tracker, mode);
    window.show();
    // The first run, or a decision made for an older privacy text.
    if (tracker.consent() == QSentrelTracker::ConsentUndecided)
        window.showPrivacy();

    int result = 0;
    ScriptedSession session(&window, parser.value(stepDelay).toInt());
    if (playScript) {
        QObject::connect(&session, &ScriptedSession::finished, &app, [] {
            QTextStream(stdout) << "demo: scripted session finished, waiting to be told to quit"
                                << Qt::endl;
        });
        QObject::connect(&session,
                         &ScriptedSession::failed,
                         &app,
                         [&result](const QString &reason) {
                             QTextStream(stderr)
                                     << "demo: the scripted session failed: " << reason << Qt::endl;
                             result = 2;
                             QApplication::quit();
                         });
        session.start();
    }

    const int exitCode = app.exec();
    // Stop recording before the window goes, so that its teardown is not captured.
    tracker.setEnabled(false);
    return result ? result : exitCode;
}
