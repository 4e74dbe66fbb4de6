// SPDX-License-Identifier: MIT
// One start of an application that asks for consent: reads the stored decision for the
// consent version of its first argument, prints it, and stores the decision of its second
// argument, if any. With "forget" it forgets everything instead.
//
// With "peer SERVER CACHE" it is another running process of tst_consent itself, sharing its
// settings and cache: it records a screen view every 20 ms and prints each decision it hears
// of with the number of views recorded so far.
#include <SentrelTracker/qsentreltracker.h>

#include <QGuiApplication>
#include <QStandardPaths>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QStandardPaths::setTestModeEnabled(true);
    QGuiApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const bool peer = arguments.value(1) == QLatin1String("peer");
    app.setApplicationName(peer ? QStringLiteral("tst_consent")
                                : QStringLiteral("sentrel-consent-probe"));

    // In the order of QSentrelTracker::Consent.
    const QStringList names {QStringLiteral("undecided"),
                             QStringLiteral("denied"),
                             QStringLiteral("anonymous"),
                             QStringLiteral("granted")};
    QSentrelTracker tracker;
    tracker.setConsentRequired(true);
    if (peer) {
        QSentrelConfiguration *c = tracker.configuration();
        c->setToken(QStringLiteral("consent-token"));
        c->setServer(arguments.value(2));
        c->setSyncInterval(1);
        c->setStorageType(QStringLiteral("SQLITE"));
        c->setStoragePath(arguments.value(3));
        c->setBatchSize(10);
        c->setEvents({});
        c->setRemoteConfig(false);
        tracker.setEnabled(true);
        int views = 0;
        QObject::connect(&tracker,
                         &QSentrelTracker::consentChanged,
                         &app,
                         [&names, &views](QSentrelTracker::Consent consent) {
                             std::printf("%s %d\n", qPrintable(names.at(consent)), views);
                             std::fflush(stdout);
                         });
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, &app, [&tracker, &views] {
            tracker.transition(QStringLiteral("peer-%1").arg(++views));
        });
        timer.start(20);
        std::printf("started\n");
        std::fflush(stdout);
        return app.exec();
    }
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
