// SPDX-License-Identifier: MIT
// Records a few calls into an offline cache through the installed library.
#include <SentrelTracker/qsentreltracker.h>
#include <SentrelTracker/sentreltrackerversion.h>

#include <QGuiApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("sentrel-consumer"));
    if (argc != 2) {
        std::fprintf(stderr, "usage: consumer STORAGE-DIRECTORY\n");
        return 2;
    }

    QSentrelTracker tracker;
    QSentrelConfiguration *configuration = tracker.configuration();
    configuration->setToken(QStringLiteral("consumer-token"));
    configuration->setStorageType(QStringLiteral("SQLITE"));
    configuration->setStoragePath(QString::fromLocal8Bit(argv[1]));
    configuration->setSyncInterval(0); // offline: the events stay in the cache
    tracker.setEnabled(true);
    if (!tracker.isEnabled()) {
        std::fprintf(stderr, "consumer: tracking could not be enabled\n");
        return 1;
    }
    tracker.transition(QStringLiteral("ConsumerScreen"));
    tracker.interaction(QStringLiteral("consumerButton"), QString());
    tracker.setEnabled(false); // finishes the calls made so far
    std::printf("consumer: recorded with %s (%06x)\n",
                SENTRELTRACKER_VERSION_STRING,
                SENTRELTRACKER_VERSION);
    return 0;
}
