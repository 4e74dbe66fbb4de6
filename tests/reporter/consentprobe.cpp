// SPDX-License-Identifier: MIT
// One start of an application that asks for consent: reads the stored decision for the
// consent version of its first argument, prints it, and stores the decision of its second
// argument, if any. With "forget" it forgets everything instead.
#include <SentrelTracker/qsentreltracker.h>

#include <QGuiApplication>
#include <QStandardPaths>

#include <cstdio>

int main(int argc, char *argv[])
{
    QStandardPaths::setTestModeEnabled(true);
    QGuiApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("sentrel-consent-probe"));
    const QStringList arguments = app.arguments();

    // In the order of QSentrelTracker::Consent.
    const QStringList names {QStringLiteral("undecided"),
                             QStringLiteral("denied"),
                             QStringLiteral("anonymous"),
                             QStringLiteral("granted")};
    QSentrelTracker tracker;
    tracker.setConsentRequired(true);
    if (arguments.value(1) == QLatin1String("forget")) {
        QObject::connect(&tracker, &QSentrelTracker::forgetMeFinished, &app, [&app](bool ok) {
            std::printf("%s\n", ok ? "forgotten" : "not forgotten");
            app.quit();
        });
        tracker.forgetMe();
        return app.exec();
    }
    tracker.setConsentVersion(arguments.value(1).toInt());
    std::printf("%s\n", qPrintable(names.at(tracker.consent())));
    if (arguments.size() > 2) {
        const qsizetype decision = names.indexOf(arguments.at(2));
        if (decision < 0)
            return 1;
        tracker.setConsent(QSentrelTracker::Consent(decision));
    }
    return 0;
}
