// SPDX-License-Identifier: MIT
#ifndef SAMPLEEVENTS_H
#define SAMPLEEVENTS_H

// Realistic event objects as the reporter builds them, for the storage tests and benchmarks:
// a seeded mix of screen views, clicks, captured user-interface events, context data (long
// values in chunks of 4096 code units), dimension data and the device-and-application event.
// The same seed gives the same events.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

class SampleEvents
{
public:
    explicit SampleEvents(quint32 seed = 1)
        : random(seed)
        , userId(uuid())
        , sessionId(uuid())
        , time(1717400000000LL)
    { }

    QList<QByteArray> take(int count)
    {
        QList<QByteArray> events;
        events.reserve(count);
        for (int i = 0; i < count; ++i)
            events.append(next());
        return events;
    }

    // One event of a kind chosen by weight: about half are captured user-interface events.
    QByteArray next()
    {
        if (random.bounded(400) == 0)
            sessionId = uuid();
        const int roll = random.bounded(100);
        if (roll < 46)
            return event(capturedEvent());
        if (roll < 66)
            return event(click());
        if (roll < 82)
            return event(screenView());
        if (roll < 92)
            return event(contextData());
        if (roll < 98)
            return event(dimension());
        return event(deviceAndApplication());
    }

private:
    static QString schema(const char *name, const char *version)
    {
        return QStringLiteral("iglu:com.tamlor.sentrel/%1/jsonschema/%2")
                .arg(QLatin1String(name), QLatin1String(version));
    }

    static QJsonObject context(const char *name, const char *version, const QJsonObject &data)
    {
        return QJsonObject {{QStringLiteral("schema"), schema(name, version)},
                            {QStringLiteral("data"), data}};
    }

    QString uuid()
    {
        QString text;
        for (int i = 0; i < 32; ++i) {
            if (i == 8 || i == 12 || i == 16 || i == 20)
                text.append(QLatin1Char('-'));
            int digit = random.bounded(16);
            if (i == 12)
                digit = 4;
            else if (i == 16)
                digit = 8 + (digit & 3);
            text.append(QLatin1Char("0123456789abcdef"[digit]));
        }
        return text;
    }

    QString pick(const QStringList &list) { return list.at(random.bounded(int(list.size()))); }

    QString objectPath()
    {
        static const QStringList windows = {QStringLiteral("MainWindow"),
                                            QStringLiteral("SettingsDialog"),
                                            QStringLiteral("ExportWizard")};
        static const QStringList middles = {QStringLiteral("centralWidget/QSplitter"),
                                            QStringLiteral("QToolBar"),
                                            QStringLiteral("QMenuBar/QMenu"),
                                            QStringLiteral("QDockWidget/QTreeView"),
                                            QStringLiteral("QStackedWidget/pageGeneral/QGroupBox")};
        static const QStringList leaves = {QStringLiteral("saveButton"),
                                           QStringLiteral("QLineEdit"),
                                           QStringLiteral("documentView"),
                                           QStringLiteral("qt_scrollarea_viewport"),
                                           QStringLiteral("QCheckBox"),
                                           QStringLiteral("zoomSlider"),
                                           QStringLiteral("fileList")};
        return pick(windows) + QLatin1Char('/') + pick(middles) + QLatin1Char('/') + pick(leaves);
    }

    QJsonArray capturedEvent()
    {
        static const QStringList pointer = {QStringLiteral("MouseButtonPress"),
                                            QStringLiteral("MouseButtonRelease"),
                                            QStringLiteral("MouseButtonDblClick"),
                                            QStringLiteral("Wheel")};
        static const QStringList buttons = {QStringLiteral("LeftButton"),
                                            QStringLiteral("LeftButton"),
                                            QStringLiteral("RightButton"),
                                            QStringLiteral("NoButton")};
        static const QStringList keys = {QStringLiteral("[text]"),
                                         QStringLiteral("[text]"),
                                         QStringLiteral("Ctrl+S"),
                                         QStringLiteral("F5"),
                                         QStringLiteral("Ctrl+Shift+Z"),
                                         QStringLiteral("Return")};
        static const QStringList reasons = {QStringLiteral("MouseFocusReason"),
                                            QStringLiteral("TabFocusReason"),
                                            QStringLiteral("ActiveWindowFocusReason")};
        const QString path = objectPath();
        QJsonObject data {{QStringLiteral("object"), path},
                          {QStringLiteral("screen_id"), currentScreen}};
        const QString name = path.section(QLatin1Char('/'), -1);
        if (!name.startsWith(QLatin1Char('Q')))
            data.insert(QStringLiteral("object_name"), name);
        const int kind = random.bounded(10);
        if (kind < 6) {
            data.insert(QStringLiteral("type"), pick(pointer));
            data.insert(QStringLiteral("data"), pick(buttons));
            data.insert(QStringLiteral("position"),
                        QJsonObject {{QStringLiteral("x"), random.bounded(2560)},
                                     {QStringLiteral("y"), random.bounded(1440)}});
        } else if (kind < 8) {
            data.insert(QStringLiteral("type"),
                        random.bounded(2) ? QStringLiteral("KeyPress")
                                          : QStringLiteral("KeyRelease"));
            data.insert(QStringLiteral("data"), pick(keys));
        } else if (kind < 9) {
            data.insert(QStringLiteral("type"),
                        random.bounded(2) ? QStringLiteral("FocusIn") : QStringLiteral("FocusOut"));
            data.insert(QStringLiteral("data"), pick(reasons));
        } else {
            data.insert(QStringLiteral("type"), QStringLiteral("Resize"));
            data.insert(QStringLiteral("position"),
                        QJsonObject {{QStringLiteral("x"), 800 + random.bounded(1200)},
                                     {QStringLiteral("y"), 600 + random.bounded(600)}});
        }
        return {context("qevent", "1-0-1", data)};
    }

    QJsonObject numericContext(const QString &key, double value)
    {
        return context("context_data",
                       "2-0-2",
                       {{QStringLiteral("key"), key}, {QStringLiteral("val"), value}});
    }

    QJsonArray click()
    {
        static const QStringList names = {QStringLiteral("saveButton"),
                                          QStringLiteral("openRecentAction"),
                                          QStringLiteral("exportPdfButton"),
                                          QStringLiteral("zoomInAction"),
                                          QStringLiteral("spellCheckToggle"),
                                          QStringLiteral("shareLinkButton")};
        static const QStringList categories = {QStringLiteral("toolbar"),
                                               QStringLiteral("menu"),
                                               QStringLiteral("dialog"),
                                               QString()};
        QJsonArray contexts {context("event_click",
                                     "1-0-1",
                                     {{QStringLiteral("object_id"), pick(names)},
                                      {QStringLiteral("category"), pick(categories)},
                                      {QStringLiteral("screen_id"), currentScreen}})};
        if (random.bounded(10) < 4)
            contexts.append(numericContext(QStringLiteral("items_selected"), random.bounded(40)));
        return contexts;
    }

    QJsonArray screenView()
    {
        static const QStringList screens = {QStringLiteral("DocumentView"),
                                            QStringLiteral("SettingsDialog"),
                                            QStringLiteral("ExportWizard/Format"),
                                            QStringLiteral("ExportWizard/Target"),
                                            QStringLiteral("PrintPreview"),
                                            QStringLiteral("StartPage"),
                                            QStringLiteral("AboutDialog")};
        const QString screen = pick(screens);
        QJsonArray contexts {context("screen_view",
                                     "1-0-1",
                                     {{QStringLiteral("object_id"), screen},
                                      {QStringLiteral("previous_id"), currentScreen}})};
        currentScreen = screen;
        if (random.bounded(10) < 3)
            contexts.append(numericContext(QStringLiteral("load_time_ms"),
                                           20 + random.generateDouble() * 900));
        return contexts;
    }

    QString text(int length)
    {
        static const QStringList words = {QStringLiteral("document"),
                                          QStringLiteral("export"),
                                          QStringLiteral("page"),
                                          QStringLiteral("layout"),
                                          QStringLiteral("font=Noto Sans 11"),
                                          QStringLiteral("/home/user/Documents/report-2024.odt"),
                                          QStringLiteral("table"),
                                          QStringLiteral("heading"),
                                          QStringLiteral("style:Body Text"),
                                          QStringLiteral("42"),
                                          QStringLiteral("1.5"),
                                          QStringLiteral("margin"),
                                          QStringLiteral("footnote"),
                                          QStringLiteral("spelling"),
                                          QStringLiteral("en_GB"),
                                          QStringLiteral("template"),
                                          QStringLiteral("zoom=125%"),
                                          QStringLiteral("image.png")};
        QString value;
        while (value.size() < length) {
            value.append(pick(words));
            value.append(random.bounded(8) ? QLatin1Char(' ') : QLatin1Char(';'));
        }
        value.truncate(length);
        return value;
    }

    QJsonArray contextData()
    {
        static const QStringList keys = {QStringLiteral("search_query"),
                                         QStringLiteral("recent_files"),
                                         QStringLiteral("document_statistics"),
                                         QStringLiteral("plugin_list"),
                                         QStringLiteral("export_settings")};
        const QString key = pick(keys);
        // Mostly short values; now and then a long one that travels in several chunks.
        const int length =
                random.bounded(10) == 0 ? 4000 + random.bounded(9000) : 8 + random.bounded(300);
        const QString value = text(length);
        QJsonArray contexts;
        for (int offset = 0; offset < value.size(); offset += 4096) {
            QJsonObject data {{QStringLiteral("key"), key},
                              {QStringLiteral("val"), value.mid(offset, 4096)}};
            if (value.size() > 4096) {
                data.insert(QStringLiteral("multipart"), true);
                data.insert(QStringLiteral("multipart_sort"), offset / 4096);
            }
            contexts.append(context("context_data", "2-0-2", data));
        }
        return contexts;
    }

    QJsonArray dimension()
    {
        static const QStringList keys = {QStringLiteral("theme"),
                                         QStringLiteral("licence"),
                                         QStringLiteral("ui_language"),
                                         QStringLiteral("window_layout")};
        static const QStringList values = {QStringLiteral("dark"),
                                           QStringLiteral("professional"),
                                           QStringLiteral("de_DE"),
                                           QStringLiteral("two-pane"),
                                           QStringLiteral("light"),
                                           QStringLiteral("trial")};
        return {context(
                "context_dimension",
                "1-0-0",
                {{QStringLiteral("key"), pick(keys)}, {QStringLiteral("val"), pick(values)}})};
    }

    QJsonArray deviceAndApplication()
    {
        return {context("device",
                        "1-0-1",
                        {{QStringLiteral("model"), QStringLiteral("XPS 13 9310")},
                         {QStringLiteral("screen_type"), QStringLiteral("desktop")},
                         {QStringLiteral("screen_resolution"), QStringLiteral("1920x1080")},
                         {QStringLiteral("cpu_architecture"), QStringLiteral("x86_64")},
                         {QStringLiteral("kernel_type"), QStringLiteral("linux")},
                         {QStringLiteral("kernel_version"), QStringLiteral("6.1.0-18-amd64")},
                         {QStringLiteral("os_type"), QStringLiteral("debian")},
                         {QStringLiteral("os_version"), QStringLiteral("12")}}),
                context("application",
                        "1-0-1",
                        {{QStringLiteral("build"), QStringLiteral("2024.05.1-4711")},
                         {QStringLiteral("version"), QStringLiteral("3.2.1")},
                         {QStringLiteral("qt_version"), QStringLiteral("6.4.2")},
                         {QStringLiteral("last_shutdown"), random.bounded(10) != 0}})};
    }

    QByteArray event(const QJsonArray &contexts)
    {
        time += 40 + random.bounded(4000);
        const QJsonObject envelope {
                {QStringLiteral("schema"),
                 QStringLiteral("iglu:com.snowplowanalytics.snowplow/contexts/jsonschema/1-0-0")},
                {QStringLiteral("data"), contexts}};
        const QJsonObject object {
                {QStringLiteral("e"), QStringLiteral("ue")},
                {QStringLiteral("tna"), QStringLiteral("b6f2c0e4-demo-token")},
                {QStringLiteral("dtm"), QString::number(time)},
                {QStringLiteral("eid"), uuid()},
                {QStringLiteral("tv"), QStringLiteral("6.9.2")},
                {QStringLiteral("lang"), QStringLiteral("en_US")},
                {QStringLiteral("aid"), QStringLiteral("WriterPro")},
                {QStringLiteral("sid"), sessionId},
                {QStringLiteral("duid"), userId},
                {QStringLiteral("p"), QStringLiteral("app")},
                {QStringLiteral("co"),
                 QString::fromUtf8(QJsonDocument(envelope).toJson(QJsonDocument::Compact))}};
        return QJsonDocument(object).toJson(QJsonDocument::Compact);
    }

    QRandomGenerator random;
    QString userId;
    QString sessionId;
    QString currentScreen;
    qint64 time;
};

#endif // SAMPLEEVENTS_H
