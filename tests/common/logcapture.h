// SPDX-License-Identifier: MIT
#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QList>
#include <QMutex>
#include <QString>
#include <QtGlobal>

#include <utility>

// Records every log message while it exists (from any thread), and passes each one on to the
// handler that was installed before it, but for the warnings declared expected. Only one may
// exist at a time.
class LogCapture
{
public:
    struct Message
    {
        QtMsgType type;
        QString category;
        QString text;
    };

    LogCapture();
    ~LogCapture();

    QList<Message> messages() const;
    // Texts of the messages of one category (and optionally one level), in order.
    QStringList texts(const QString &category) const;
    QStringList texts(const QString &category, QtMsgType type) const;
    // Whether some message of the category starts with prefix.
    bool contains(const QString &category, const QString &prefix) const;
    int count(const QString &category, const QString &prefix) const;
    void clear();

    // Declares the warnings of category whose text starts with prefix expected, any number of
    // them: they are recorded but not passed on, so that QTest::failOnWarning() lets them by.
    // The test asserts them through the texts above.
    void expect(const QString &category, const QString &prefix);

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text);

    mutable QMutex lock;
    QList<Message> recorded;
    QList<std::pair<QString, QString>> expected; // categories and prefixes
    QtMessageHandler previous = nullptr;
};

#endif // LOGCAPTURE_H
