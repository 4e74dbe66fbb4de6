// The smallest instrumented program: it records a few calls into the offline cache.
#include <SentrelTracker/qsentreltracker.h>

#include <QGuiApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("sentrel-example"));
    app.setApplicationVersion(QStringLiteral("1.0"));

    QSentrelTracker tracker;
    tracker.configuration()->setSyncInterval(0); // offline: cache only
    tracker.setEnabled(true);
    if (!tracker.isEnabled())
        return 1;

    tracker.transition(QStringLiteral("Main"));
    tracker.interaction(QStringLiteral("okButton"), QString());
    tracker.contextData(QStringLiteral("locale"), QStringLiteral("en_GB"));
    QString edition = QStringLiteral("community");
    tracker.dimensionData(QStringLiteral("edition"), edition);

    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    const int result = app.exec();
    tracker.setEnabled(false);
    return result;
}
