// SPDX-License-Identifier: MIT
#include "logcapture.h"

#include <QMutexLocker>

namespace {
// Held while a message is recorded, so that a capture is never destroyed under a worker thread
// that is logging into it.
QBasicMutex currentLock;
LogCapture *current = nullptr;
} // namespace

LogCapture::LogCapture()
{
    QMutexLocker locker(&currentLock);
    current = this;
    previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    QMutexLocker locker(&currentLock);
    qInstallMessageHandler(previous);
    current = nullptr;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    const QString category = QString::fromLatin1(context.category ? context.category : "");
    QtMessageHandler next = nullptr;
    {
        QMutexLocker locker(&currentLock);
        LogCapture *capture = current;
        if (!capture)
            return;
        QMutexLocker recording(&capture->lock);
        capture->recorded.append({type, category, text});
        if (type == QtWarningMsg) {
            for (const auto &[expectedCategory, prefix] : std::as_const(capture->expected)) {
                if (expectedCategory == category && text.startsWith(prefix))
                    return;
            }
        }
        next = capture->previous;
    }
    // Outside the lock: the handler before may log again.
    if (next)
        next(type, context, text);
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

void LogCapture::expect(const QString &category, const QString &prefix)
{
    QMutexLocker locker(&lock);
    expected.append({category, prefix});
}
