// SPDX-License-Identifier: MIT
#include "privacydialog.h"

#include <QHBoxLayout>
#include <QJsonDocument>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
// How many waiting events the list shows at most.
constexpr int shownEvents = 50;

QPushButton *button(const QString &text, const char *name, QWidget *parent)
{
    auto *result = new QPushButton(text, parent);
    result->setObjectName(QLatin1String(name));
    // DemoCategories reads it: the dialog's clicks are captured like the form's.
    result->setProperty("trackingCategory", QStringLiteral("dialogs"));
    return result;
}
} // namespace

PrivacyDialog::PrivacyDialog(QSentrelTracker *tracker, QWidget *parent)
    : QDialog(parent)
    , tracker(tracker)
{
    setObjectName(QStringLiteral("privacyDialog"));
    setWindowTitle(QStringLiteral("Your privacy"));
    setWindowModality(Qt::WindowModal);

    auto *text = new QLabel(
            QStringLiteral("This demo can record how you use it: the pages you open and the "
                           "buttons you press, never what you type. Nothing is recorded until "
                           "you choose."),
            this);
    text->setWordWrap(true);
    decision = new QLabel(this);
    decision->setObjectName(QStringLiteral("decisionLabel"));
    outcome = new QLabel(this);
    outcome->setObjectName(QStringLiteral("forgetOutcome"));

    QPushButton *deny = button(QStringLiteral("Don't track me"), "denyButton", this);
    QPushButton *anonymous = button(QStringLiteral("Track anonymously"), "anonymousButton", this);
    QPushButton *grant = button(QStringLiteral("Allow tracking"), "grantButton", this);
    QPushButton *show = button(QStringLiteral("Show what is sent"), "showEventsButton", this);
    show->setFlat(true);
    show->setCursor(Qt::PointingHandCursor);
    show->setStyleSheet(QStringLiteral("color: palette(link); text-decoration: underline;"));
    QPushButton *forget = button(QStringLiteral("Forget me"), "forgetButton", this);
    QPushButton *close = button(QStringLiteral("Close"), "privacyCloseButton", this);

    connect(deny, &QPushButton::clicked, this, [this] {
        choose(QSentrelTracker::ConsentDenied);
    });
    connect(anonymous, &QPushButton::clicked, this, [this] {
        choose(QSentrelTracker::ConsentAnonymous);
    });
    connect(grant, &QPushButton::clicked, this, [this] {
        choose(QSentrelTracker::ConsentGranted);
    });
    connect(show, &QPushButton::clicked, this, &PrivacyDialog::showWaitingEvents);
    connect(forget, &QPushButton::clicked, this, [this] {
        outcome->setText(QStringLiteral("Deleting…"));
        this->tracker->forgetMe();
    });
    connect(close, &QPushButton::clicked, this, &QDialog::reject);

    // Whoever changes the decision, the dialog shows the one in force.
    decision->setText(describe(tracker->consent()));
    connect(tracker, &QSentrelTracker::consentChanged, this, [this](QSentrelTracker::Consent now) {
        decision->setText(describe(now));
    });
    connect(tracker, &QSentrelTracker::forgetMeFinished, this, [this](bool ok) {
        outcome->setText(ok ? QStringLiteral("Everything kept about you was deleted.")
                            : QStringLiteral("Some files could not be deleted."));
    });
    connect(tracker, &QSentrelTracker::waitingEventsReady, this, &PrivacyDialog::fillWaitingEvents);

    auto *choices = new QHBoxLayout;
    for (QPushButton *each : {deny, anonymous, grant})
        choices->addWidget(each);
    auto *others = new QHBoxLayout;
    others->addWidget(show);
    others->addStretch();
    others->addWidget(forget);
    others->addWidget(close);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(decision);
    layout->addLayout(choices);
    layout->addWidget(outcome);
    layout->addLayout(others);
}

QString PrivacyDialog::describe(QSentrelTracker::Consent consent)
{
    switch (consent) {
    case QSentrelTracker::ConsentUndecided:
        break;
    case QSentrelTracker::ConsentDenied:
        return QStringLiteral("You chose not to be tracked.");
    case QSentrelTracker::ConsentAnonymous:
        return QStringLiteral("You are tracked without your identity.");
    case QSentrelTracker::ConsentGranted:
        return QStringLiteral("You allowed tracking.");
    }
    return QStringLiteral("You have not chosen yet.");
}

void PrivacyDialog::choose(QSentrelTracker::Consent consent)
{
    tracker->setConsent(consent);
    accept();
}

void PrivacyDialog::showWaitingEvents()
{
    if (!eventsView) {
        eventsView = new QDialog(this);
        eventsView->setObjectName(QStringLiteral("eventsView"));
        eventsView->setWindowTitle(QStringLiteral("What is sent"));
        eventsSummary = new QLabel(eventsView);
        eventsSummary->setObjectName(QStringLiteral("eventsSummary"));
        eventsText = new QPlainTextEdit(eventsView);
        eventsText->setObjectName(QStringLiteral("eventsText"));
        eventsText->setReadOnly(true);
        QPushButton *close = button(QStringLiteral("Close"), "eventsCloseButton", eventsView);
        connect(close, &QPushButton::clicked, eventsView, &QDialog::accept);
        auto *layout = new QVBoxLayout(eventsView);
        layout->addWidget(eventsSummary);
        layout->addWidget(eventsText);
        layout->addWidget(close, 0, Qt::AlignRight);
        eventsView->resize(560, 420);
    }
    eventsSummary->setText(QStringLiteral("Asking the tracker…"));
    eventsText->clear();
    eventsView->open();
    tracker->requestWaitingEvents(shownEvents);
}

void PrivacyDialog::fillWaitingEvents(const QJsonArray &events)
{
    if (!eventsView)
        return;
    if (events.isEmpty())
        eventsSummary->setText(QStringLiteral("No event waits to be sent."));
    else
        eventsSummary->setText(QStringLiteral("Events waiting to be sent: %1%2")
                                       .arg(events.size())
                                       .arg(events.size() == shownEvents
                                                    ? QStringLiteral(" (the oldest shown)")
                                                    : QString()));
    eventsText->setPlainText(QString::fromUtf8(QJsonDocument(events).toJson()));
}
