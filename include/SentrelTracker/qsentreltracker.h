// SPDX-License-Identifier: MIT
#ifndef QSENTRELTRACKER_H
#define QSENTRELTRACKER_H

#include <SentrelTracker/qsentrelcategoryfilter.h>
#include <SentrelTracker/qsentrelconfiguration.h>
#include <SentrelTracker/qsentreleventinterceptor.h>
#include <SentrelTracker/sentreltracker_export.h>
#include <SentrelTracker/sentreltrackertypes.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

/*!
    \class QSentrelTracker
    \brief The application's handle on the tracker: it enables tracking and records events.

    It holds no state: every object drives the one process-wide tracker, so any number of them
    may exist, and destroying one has no effect on tracking. The first call of any function
    other than the constructor creates the tracker, which loads the configuration file.

    Call it from the application's thread. Each recording call only copies its arguments and
    posts them to the tracker's worker thread, which builds the event, caches it and delivers
    it; the call never waits for storage or the network and reports no error. While tracking is
    disabled, recording calls, startNewSession() and clearCache() are dropped without a message.

    A QGuiApplication must exist before tracking is enabled.

    \par Consent
    With setConsentRequired(true) nothing is recorded, stored or sent, and no identifier is
    made, until the person decides through setConsent(): ConsentGranted tracks as without the
    requirement, ConsentAnonymous tracks without the user identifier and without cookies,
    ConsentDenied stops tracking and deletes what the library kept for the application. The
    decision is the process's, like enabled, and is read back at the next start.
*/
class SENTRELTRACKER_EXPORT QSentrelTracker : public QObject
{
    Q_OBJECT
    //! Whether tracking is enabled; see setEnabled().
    Q_PROPERTY(bool enabled READ isEnabled WRITE setEnabled NOTIFY enabledChanged FINAL)
    //! The person's decision; see setConsent().
    Q_PROPERTY(QSentrelTracker::Consent consent READ consent WRITE setConsent NOTIFY consentChanged
                       FINAL)
    //! Whether nothing is recorded until the person decides; see setConsentRequired().
    Q_PROPERTY(bool consentRequired READ consentRequired WRITE setConsentRequired NOTIFY
                       consentRequiredChanged FINAL)
    //! The version of the application's privacy text; see setConsentVersion().
    Q_PROPERTY(int consentVersion READ consentVersion WRITE setConsentVersion NOTIFY
                       consentVersionChanged FINAL)
    //! The configuration keys a remote document may change; see setRemoteConfigurationScope().
    Q_PROPERTY(QStringList remoteConfigurationScope READ remoteConfigurationScope WRITE
                       setRemoteConfigurationScope NOTIFY remoteConfigurationScopeChanged FINAL)

public:
    /*! The person's decision about tracking. */
    enum Consent {
        ConsentUndecided, //!< Not asked yet, or asked about an older privacy text.
        ConsentDenied, //!< Nothing is recorded; what was kept is deleted.
        ConsentAnonymous, //!< Recorded without the user identifier, sent without cookies.
        ConsentGranted, //!< Recorded and sent as without the requirement.
    };
    Q_ENUM(Consent)

    /*!
        Constructs a handle without a parent. It does not create the tracker yet; it emits the
        signals of every change to the process's tracker, whoever made it. A write of the
        current value emits nothing.
    */
    QSentrelTracker();

    /*!
        Returns the tracker's configuration; never null.

        The tracker owns it, and it lives on the thread that first used the tracker (normally
        the application's thread). It can be read and adjusted whether or not tracking is
        enabled; adjust it before setEnabled(true).
    */
    QSentrelConfiguration *configuration() const;

    /*!
        Enables tracking when \a enabled is true, and disables it otherwise.

        Enabling checks QSentrelConfiguration::isValid(); with an invalid configuration tracking
        stays disabled and a warning is logged. Enabling starts the worker thread, opens the
        event cache, sends the device and application event and installs the automatic event
        capture. Disabling removes the capture and stops the worker after the requests already
        made; what was recorded stays in the cache for the next enabled period.
    */
    void setEnabled(bool enabled);

    /*!
        Returns whether tracking is enabled. With consent required it is enabled while it waits
        for the person's decision, though nothing is recorded then.
    */
    bool isEnabled() const;

    /*!
        Requires the person's consent before anything is recorded when \a required is true.

        Off by default, and then the library tracks as if consent were granted. Only code sets
        it, before or after setEnabled(true); no configuration file or remote document changes
        it.
    */
    void setConsentRequired(bool required);

    /*! Returns whether consent is required. */
    bool consentRequired() const;

    /*!
        Sets the person's decision to \a consent and stores it for the application, with the
        time and the consent version, for the next start.

        With consent required, ConsentDenied aborts the upload in flight and deletes the event
        cache, the stored remote configuration, the session and the collector's cookies before
        control returns to the event loop. A change to ConsentAnonymous or ConsentGranted
        records one consent event and starts a new session. Without the requirement the
        decision is stored and signalled, and tracking goes on as granted.
    */
    void setConsent(QSentrelTracker::Consent consent);

    /*!
        Returns the person's decision: ConsentUndecided when none is stored or the stored one
        was made for a lower consent version.
    */
    QSentrelTracker::Consent consent() const;

    /*!
        Sets the version of the application's privacy text to \a version (0 by default). A
        decision stored for a lower version reads as ConsentUndecided.
    */
    void setConsentVersion(int version);

    /*! Returns the version of the application's privacy text. */
    int consentVersion() const;

    /*!
        Lets a remote configuration document change only the items named by \a items, the
        keys of the configuration file: \c "server", \c "token", \c "events", \c "storage",
        \c "storage_path", \c "userId" and so on. A key of an object names every item inside
        it (\c "sync", \c "sync_config"); \c "object/key" names one of them
        (\c "sync/max_batch_size", \c "sync/interval", \c "sync_config/enabled",
        \c "sync_config/interval").

        By default a document may change every item. Passing a list restricts it to exactly
        that list, so an empty list lets a document change nothing. The keys that
        remoteConfigurationScope() returns by default can be passed back to allow every item
        again.

        An item outside the scope keeps its local value, whatever a document says. The first
        time a document sets such an item, the warning "Remote configuration may not change"
        is logged with its key in the "sentrel.config" category; later documents setting it
        log nothing more. A key that names no item is logged as a warning and ignored. The
        document in force is applied again at once under the new scope: an item it may no
        longer change returns to its local value, and an item it may change again takes the
        document's value, each with its change signal.

        Only code sets the scope. The stored document of an earlier run is in force from the
        tracker's creation until the scope is set, so set it before setEnabled(true).

        \sa QSentrelConfiguration
    */
    void setRemoteConfigurationScope(const QStringList &items);

    /*!
        Returns the keys given to setRemoteConfigurationScope(), or, until it is called, every
        top-level key of the configuration file, which lets a document change every item.
    */
    QStringList remoteConfigurationScope() const;

    /*!
        Stops tracking and deletes everything the library keeps for this application: the
        event cache, the application's tracker settings (the decision too), the stored remote
        configuration, the cookies and the session. The next event recorded with consent
        gets a new user identifier unless the configuration supplies one.

        forgetMeFinished() tells whether every file went. Without the consent requirement
        tracking resumes, enabled as it was, with the new identifier.
    */
    void forgetMe();

    /*!
        Asks for at most \a maximum of the events waiting in the cache, oldest first, as they
        will be sent; waitingEventsReady() hands them to this object once control returns to
        the event loop, never within this call.

        While tracking waits for the person's decision, the answer holds the events cached
        earlier, which leave as soon as the person consents; a privacy dialog can show them.
        They are then read during this call from the cache file, read-only: nothing is sent
        or written, no identifier is made, and no cache is created where there is none. The
        list is empty while tracking is disabled, after ConsentDenied, and without a cache.
    */
    void requestWaitingEvents(int maximum);

    /*!
        Installs \a filter, the application's category provider, on the running event capture.

        The tracker does not own \a filter, which must outlive the enabled period. It is
        dropped when tracking is disabled; one set while tracking is off is ignored.
    */
    void setCategoryFilter(QSentrelCategoryFilter *filter) const;

    /*! Records a screen view of \a screen. */
    void transition(const QString &screen) const;

    /*!
        Records a screen view of \a screen with the numeric context \a contextKey and
        \a contextValue.
    */
    void transition(const QString &screen, const QString &contextKey, double contextValue) const;

    /*!
        Records a click on \a name in \a category.

        An empty \a category is always tracked; a non-empty one that is not among the configured
        categories drops the click.
    */
    void interaction(const QString &name, const QString &category) const;

    /*!
        Records a click on \a name in \a category with the numeric context \a contextKey and
        \a contextValue. The category is checked as in the two-argument form.
    */
    void interaction(const QString &name,
                     const QString &contextKey,
                     double contextValue,
                     const QString &category) const;

    /*!
        Records the application's own event \a name with \a properties, their JSON types kept:
        booleans, whole numbers up to 64 bits, floating-point numbers, strings, and lists and
        maps of these, at most four levels deep. The event carries the current screen.

        \a name must be 1 to 128 letters, digits, '_', '.' or '-'. A bad name, a property of
        another type (a QRect, a QDateTime, a null value), or properties above 32 KiB once
        written refuse the whole event, with one warning in the \c sentrel.events category
        that names the reason; nothing is recorded then.
    */
    void track(const QString &name, const QVariantMap &properties = {}) const;

    /*!
        Records one event whose one context is the application's own self-describing JSON:
        \a data under the Iglu URI \a schema, such as "iglu:com.example/export/jsonschema/1-0-0".
        Any other \a schema refuses the event with a warning in the \c sentrel.events category.
        The collector validates \a data against the schema; the tracker does not know it.
    */
    void trackSelfDescribing(const QString &schema, const QJsonObject &data) const;

    /*!
        Sets the global property \a key to \a value: every event recorded after the call, of
        every kind (captured events and the device event included), carries one context
        "iglu:com.tamlor.sentrel/global/jsonschema/1-0-0" holding the global properties in force
        when it was recorded; an event carries none while there are none.

        The values take the types and limits of track(): a value of another type, an empty
        \a key, or global properties above 32 KiB once written leave them as they were, with
        one warning in the \c sentrel.events category. They are kept across enabled periods for
        the life of the process, and cost the application's thread nothing per event.
    */
    void setGlobalProperty(const QString &key, const QVariant &value);

    /*! Removes the global property \a key from the events recorded after the call. */
    void removeGlobalProperty(const QString &key);

    /*!
        Installs \a interceptor, which sees, and may change or drop, every event recorded after
        the call before it is stored; null removes it. It runs on the tracker's worker thread.

        The tracker does not own \a interceptor, which must outlive the period of tracking in
        which it was installed. It stays installed across enabled periods.

        \sa QSentrelEventInterceptor
    */
    void setEventInterceptor(QSentrelEventInterceptor *interceptor);

    /*!
        Sends everything waiting now, whatever the sync interval, for example before the person
        logs out. flushFinished() tells how it ended.

        Nothing is sent while tracking is offline (a sync interval of 0), disabled, or waiting
        for the person's decision, or while the collector asked to wait (a pending Retry-After
        or back-off); flushFinished() then comes at once with what is waiting.
    */
    void flush();

    /*! Records the free-form context entry \a key with \a value. */
    void contextData(const QString &key, const QString &value) const;

    /*! Records the dimension \a key with \a value; \a value is only read. */
    void dimensionData(const QString &key, QString &value) const;

    /*! Starts a new session: events recorded after the call carry a new session identifier. */
    void startNewSession();

    /*!
        Removes every event from the cache, also those not yet delivered, and overwrites their
        content in the file.
    */
    void clearCache();

Q_SIGNALS:
    /*! Tracking was enabled or disabled (\a enabled), by any caller. */
    void enabledChanged(bool enabled);

    /*! The decision read by consent() changed to \a consent, by any caller. */
    void consentChanged(QSentrelTracker::Consent consent);

    /*! The consent requirement changed to \a required, by any caller. */
    void consentRequiredChanged(bool required);

    /*! The consent version changed to \a version, by any caller. */
    void consentVersionChanged(int version);

    /*! The remote configuration scope changed to \a items, by any caller. */
    void remoteConfigurationScopeChanged(const QStringList &items);

    /*! forgetMe() finished; \a ok is false when a file could not be removed. */
    void forgetMeFinished(bool ok);

    /*!
        The answer to requestWaitingEvents(): \a events are the waiting events as JSON
        objects, oldest first.
    */
    void waitingEventsReady(const QJsonArray &events);

    /*!
        The flush asked for by flush() ended: \a delivered events were accepted by the
        collector during it, and \a waiting remain in the cache (0 when it emptied).
    */
    void flushFinished(int delivered, int waiting);

    /*!
        The collector accepted a batch of \a count events, during a flush or not, and they left
        the cache. A batch answered after the cache was cleared or moved is not counted: its
        events were no longer the cache's.
    */
    void eventsDelivered(int count);

    /*!
        The rules of delivery gave up on the event \a eid: the collector refused it, or it
        failed every attempt for a day. A warning in \c sentrel.events names it as well.
    */
    void eventDropped(const QString &eid);
};

#endif // QSENTRELTRACKER_H
