// SPDX-License-Identifier: MIT
#include "logcapture.h"

#include <QMutexLocker>

namespace {
LogCapture *current = nullptr;
}

LogCapture::LogCapture()
{
    current = this;
    previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
    current = nullptr;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    LogCapture *capture = current;
    if (!capture)
        return;
    {
        QMutexLocker locker(&capture->lock);
        capture->recorded.append(
                {type, QString::fromLatin1(context.category ? context.category : ""), text});
    }
    if (capture->previous)
        capture->previous(type, context, text);
}

QList<LogCapture::Message> LogCapture::messages() const
{
    QMutexLocker locker(&lock);
    return recorded;
}

QStringList LogCapture::texts(const QString &category) const
{
    QStringList result;
    for (const Message &message : messages()) {
        if (message.category == category)
            result.append(message.text);
    }
    return result;
}

QStringList LogCapture::texts(const QString &category, QtMsgType type) const
{
    QStringList result;
    for (const Message &message : messages()) {
        if (message.category == category && message.type == type)
            result.append(message.text);
    }
    return result;
}

bool LogCapture::contains(const QString &category, const QString &prefix) const
{
    return count(category, prefix) > 0;
}

int LogCapture::count(const QString &category, const QString &prefix) const
{
    int found = 0;
    for (const QString &text : texts(category)) {
        if (text.startsWith(prefix))
            ++found;
    }
    return found;
}

void LogCapture::clear()
{
    QMutexLocker locker(&lock);
    recorded.clear();
}
