// SPDX-License-Identifier: MIT
// The Sentrel Tracker in a Qt Quick application: everything it records is asked for in
// Main.qml through "import SentrelTracker"; this file only starts the engine.
//
// With a display a person uses it. On the offscreen platform (or with --scripted) it clicks
// through a short session by itself, from the privacy dialog's choice to "Forget me", and quits.
#include <QCommandLineParser>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>
#include <QTextStream>
#include <QTimer>

#include <functional>

namespace {

// The visible item with the QML id, searched through the window's item tree.
QQuickItem *itemWithId(QQuickItem *parent, const QString &id)
{
    const QList<QQuickItem *> children = parent->childItems();
    for (QQuickItem *item : children) {
        QQmlContext *context = qmlContext(item);
        if (item->isVisible() && context && context->objectForName(id) == item)
            return item;
        if (QQuickItem *found = itemWithId(item, id))
            return found;
    }
    return nullptr;
}

// Clicks and typing as a person would: through the window, so that capture sees them.
void playSession(QQuickWindow *window, int stepDelay, std::function<void(const QString &)> done)
{
    auto click = [window](const QString &id) {
        QQuickItem *item = itemWithId(window->contentItem(), id);
        if (!item)
            return false;
        const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
        QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
        return true;
    };
    auto type = [window, click](const QString &id, const QString &text) {
        if (!click(id))
            return false;
        for (const QChar character : text)
            QTest::keyClick(window, character.toLatin1());
        return true;
    };
    auto shown = [window](const QString &id) {
        return itemWithId(window->contentItem(), id) != nullptr;
    };
    // What a label in the window says, on the program's output.
    auto report = [window](const QString &id) {
        if (QQuickItem *label = itemWithId(window->contentItem(), id))
            QTextStream(stdout) << "quick demo: " << label->property("text").toString() << Qt::endl;
    };
    const QList<std::function<bool()>> steps {
            // The privacy dialog asks on the first run; a decision kept from an earlier run is
            // changed through the tool bar.
            [=] {
                return shown(QStringLiteral("grantButton"))
                        || click(QStringLiteral("privacyButton"));
            },
            [=] {
                return click(QStringLiteral("grantButton"));
            },
            [=] {
                return click(QStringLiteral("openSettings"));
            },
            [=] {
                return type(QStringLiteral("nameField"), QStringLiteral("Ada"));
            },
            [=] {
                return click(QStringLiteral("zoomSlider"));
            },
            [=] {
                return click(QStringLiteral("saveButton"));
            },
            [=] {
                return click(QStringLiteral("helpButton"));
            },
            [=] {
                return click(QStringLiteral("privacyButton"));
            },
            [=] {
                return click(QStringLiteral("showEventsButton"));
            },
            [=] {
                report(QStringLiteral("eventsSummary"));
                return click(QStringLiteral("eventsCloseButton"));
            },
            // So that the next run asks again.
            [=] {
                return click(QStringLiteral("forgetButton"));
            },
            [=] {
                report(QStringLiteral("forgetOutcome"));
                return click(QStringLiteral("privacyCloseButton"));
            },
    };
    for (int i = 0; i <= steps.size(); ++i) {
        QTimer::singleShot(stepDelay * (i + 1), window, [=] {
            if (i == steps.size())
                done(QString());
            else if (!steps.at(i)())
                done(QStringLiteral("step %1 found nothing to click").arg(i + 1));
        });
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("QT_QUICK_BACKEND", "software");
    }

    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("sentrel-quick-demo"));
    QGuiApplication::setOrganizationName(QStringLiteral("Tamlor"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("A Qt Quick application that records how it is used."));
    parser.addHelpOption();
    const QCommandLineOption config(
            QStringLiteral("config"),
            QStringLiteral("The tracker's configuration file (else SENTREL_CONFIG, "
                           "or sentrel.conf beside the program)."),
            QStringLiteral("file"));
    const QCommandLineOption scripted(QStringLiteral("scripted"),
                                      QStringLiteral("Play the scripted session."));
    parser.addOptions({config, scripted});
    parser.process(app);
    if (parser.isSet(config))
        qputenv("SENTREL_CONFIG", parser.value(config).toLocal8Bit());

    QQmlApplicationEngine engine;
    // Where this build put the module; an installed application finds it through
    // QML_IMPORT_PATH or the directory the package names (SentrelTracker_QML_IMPORT_DIR).
    engine.addImportPath(QStringLiteral(SENTREL_QML_IMPORT_DIR));
    engine.load(QUrl(QStringLiteral("qrc:/SentrelQuickDemo/quick/Main.qml")));
    if (engine.rootObjects().isEmpty())
        return 1;
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
    if (!window)
        return 1;

    int result = 0;
    const bool playScript =
            parser.isSet(scripted) || QGuiApplication::platformName() == QLatin1String("offscreen");
    if (playScript) {
        window->requestActivate(); // typing goes to the focused item of the active window
        playSession(window, 600, [&result](const QString &failure) {
            if (!failure.isEmpty()) {
                QTextStream(stderr) << "quick demo: " << failure << Qt::endl;
                result = 2;
            } else {
                QTextStream(stdout) << "quick demo: scripted session finished" << Qt::endl;
            }
            QGuiApplication::quit();
        });
    }
    const int exitCode = app.exec();
    return result ? result : exitCode;
}
