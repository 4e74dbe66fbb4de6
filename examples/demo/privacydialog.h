// SPDX-License-Identifier: MIT
#ifndef PRIVACYDIALOG_H
#define PRIVACYDIALOG_H

#include <SentrelTracker/qsentreltracker.h>

#include <QDialog>

class QLabel;
class QPlainTextEdit;

// Asks the person whether the demo may track them, shows the events waiting to be sent and
// deletes everything on request. Shown on the first run and from the home page later; a child
// of the demo window, which owns it, on the application's thread.
class PrivacyDialog : public QDialog
{
    Q_OBJECT

public:
    // tracker is not owned and must outlive the dialog; it alone asks for the waiting events.
    PrivacyDialog(QSentrelTracker *tracker, QWidget *parent);

    static QString describe(QSentrelTracker::Consent consent);

private:
    void choose(QSentrelTracker::Consent consent);
    void showWaitingEvents();
    void fillWaitingEvents(const QJsonArray &events);

    QSentrelTracker *tracker;
    QLabel *decision = nullptr;
    QLabel *outcome = nullptr;
    QDialog *eventsView = nullptr;
    QLabel *eventsSummary = nullptr;
    QPlainTextEdit *eventsText = nullptr;
};

#endif // PRIVACYDIALOG_H
