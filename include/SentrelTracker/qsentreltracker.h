// SPDX-License-Identifier: MIT
#ifndef QSENTRELTRACKER_H
#define QSENTRELTRACKER_H

#include <SentrelTracker/qsentrelcategoryfilter.h>
#include <SentrelTracker/qsentrelconfiguration.h>
#include <SentrelTracker/sentreltracker_export.h>
#include <SentrelTracker/sentreltrackertypes.h>

#include <QObject>
#include <QString>

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
*/
class SENTRELTRACKER_EXPORT QSentrelTracker : public QObject
{
    Q_OBJECT

public:
    /*! Constructs a handle without a parent. It does not create the tracker yet. */
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

    /*! Returns whether tracking is enabled. */
    bool isEnabled() const;

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

    /*! Records the free-form context entry \a key with \a value. */
    void contextData(const QString &key, const QString &value) const;

    /*! Records the dimension \a key with \a value; \a value is only read. */
    void dimensionData(const QString &key, QString &value) const;

    /*! Starts a new session: events recorded after the call carry a new session identifier. */
    void startNewSession();

    /*! Removes every event from the cache, also those not yet delivered. */
    void clearCache();
};

#endif // QSENTRELTRACKER_H
