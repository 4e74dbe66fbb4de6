// SPDX-License-Identifier: MIT
#ifndef QSENTRELEVENTINTERCEPTOR_H
#define QSENTRELEVENTINTERCEPTOR_H

#include <SentrelTracker/sentreltracker_export.h>

#include <QJsonArray>
#include <QObject>

/*!
    \class QSentrelEventInterceptor
    \brief Sees every event before it is stored, and may change or drop it.

    The application implements it and installs it with QSentrelTracker::setEventInterceptor().
    This is where an application scrubs what it never wants to leave the device.

    intercept() is called on the tracker's worker thread, never on the application's thread, once
    for every event recorded while it is installed, captured ones, the device event and consent
    events included. It must therefore be thread-safe with respect to whatever it shares with the
    rest of the application, and quick: every event waits for it.

    The tracker never owns the interceptor: it must outlive the period of tracking in which it
    was installed (disable tracking, or install another and record nothing more, before deleting
    it).

    In QML, \c {Tracker.eventInterceptor} takes a QObject of the application's own C++ type that
    implements this interface and names it with Q_INTERFACES(QSentrelEventInterceptor). A
    JavaScript function cannot be one: it would run on the engine's thread, which every event
    would then wait for.
*/
class SENTRELTRACKER_EXPORT QSentrelEventInterceptor
{
public:
    /*! Destroys the interceptor. */
    virtual ~QSentrelEventInterceptor();

    /*!
        Called with the event's \a contexts, the self-describing JSON objects
        (\c {{"data": {...}, "schema": "iglu:..."}}) that it carries. It may change, remove or add
        contexts. Returning false drops the event: nothing of it is stored or sent.
    */
    virtual bool intercept(QJsonArray &contexts) = 0;
};

#define QSentrelEventInterceptor_iid "com.tamlor.sentrel.QSentrelEventInterceptor/1.0"
Q_DECLARE_INTERFACE(QSentrelEventInterceptor, QSentrelEventInterceptor_iid)

#endif // QSENTRELEVENTINTERCEPTOR_H
