// SPDX-License-Identifier: MIT
// Loads main.qml, which records through the installed SentrelTracker module into an offline
// cache, clicks its button, and switches tracking off from QML.
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

#include <cstdio>

int main(int argc, char *argv[])
{
    qputenv("QT_QUICK_BACKEND", "software");
    QGuiApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("sentrel-quick-consumer"));
    if (argc != 2) {
        std::fprintf(stderr, "usage: quick-consumer STORAGE-DIRECTORY\n");
        return 2;
    }
    QQmlApplicationEngine engine;
    engine.addImportPath(QStringLiteral(QML_IMPORT_DIR));
    engine.setInitialProperties({{QStringLiteral("storagePath"), QString::fromLocal8Bit(argv[1])}});
    engine.load(QStringLiteral(MAIN_QML));
    if (engine.rootObjects().isEmpty())
        return 1;
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
    if (!window || !QTest::qWaitForWindowExposed(window))
        return 1;

    QVariant enabled;
    QMetaObject::invokeMethod(window, "record", Q_RETURN_ARG(QVariant, enabled));
    if (!enabled.toBool()) {
        std::fprintf(stderr, "quick consumer: tracking could not be enabled\n");
        return 1;
    }
    auto *button = qobject_cast<QQuickItem *>(
            qmlContext(window)->objectForName(QStringLiteral("quickButton")));
    const QPointF centre = button->mapToScene(QPointF(button->width() / 2, button->height() / 2));
    QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    QEvent next(QEvent::User); // lets the capture report the click it holds
    QCoreApplication::sendEvent(&app, &next);
    QQmlExpression(qmlContext(window), window, QStringLiteral("Tracker.enabled = false"))
            .evaluate();
    std::printf("quick consumer: recorded\n");
    return 0;
}
