// SPDX-License-Identifier: MIT
#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QList>
#include <QMutex>
#include <QString>
#include <QtGlobal>

// Records every log message while it exists (from any thread), and passes each one on to the
// handler that was installed before it. Only one may exist at a time.
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

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text);

    mutable QMutex lock;
    QList<Message> recorded;
    QtMessageHandler previous = nullptr;
};

#endif // LOGCAPTURE_H
