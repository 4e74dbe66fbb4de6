// SPDX-License-Identifier: MIT
// Builds the event filter before any application object exists and prints every log message
// as "category|level|text", one a line.
#include "qsentreleventfilter_p.h"
#include "sentreltrackerimpl_p.h"

#include <QEvent>
#include <QStandardPaths>

#include <cstdio>

namespace {

void print(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    std::printf("%s|%d|%s\n",
                context.category ? context.category : "",
                int(type),
                qPrintable(text));
    std::fflush(stdout);
}

} // namespace

int main()
{
    QStandardPaths::setTestModeEnabled(true);
    qInstallMessageHandler(print);
    SentrelTrackerImpl *tracker = SentrelTrackerImpl::instance();
    tracker->configuration()->setEvents({QStringLiteral("MouseButtonPress")});
    QSentrelEventFilter filter(tracker);
    QEvent press(QEvent::MouseButtonPress);
    return filter.isTracked(&press) ? 0 : 1;
}
