// SPDX-License-Identifier: MIT
#ifndef QSENTRELCONFIGURATION_H
#define QSENTRELCONFIGURATION_H

#include <SentrelTracker/sentreltracker_export.h>

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

/*!
    \class QSentrelConfiguration
    \brief The tracker's settings, as Qt properties with change signals.

    The one instance is owned by the tracker and lives on the thread that first used the
    tracker (normally the application's thread); reach it through
    QSentrelTracker::configuration(). Call its functions on that thread.

    Values come from the built-in defaults, then the configuration file, then what the
    application writes here; a remote configuration served by the collector overrides the
    local values item by item. Getters return the effective value. A rejected value is logged
    and ignored.

    Change signals are emitted on every accepted write, also when the value did not change, and
    carry the effective value. Signals caused by a remote configuration are emitted on the
    tracker's worker thread, so connect with a context object on the thread that should react.
*/
class SENTRELTRACKER_EXPORT QSentrelConfiguration : public QObject
{
    Q_OBJECT
    //! Whether tracking can be enabled; see isValid().
    Q_PROPERTY(bool valid READ isValid FINAL)
    //! The host, and optionally the port, of the collector; never a URL.
    Q_PROPERTY(QString server READ server WRITE setServer NOTIFY serverChanged FINAL)
    //! The application token sent with every event and with the remote configuration request.
    Q_PROPERTY(QString token READ token WRITE setToken NOTIFY tokenChanged FINAL)
    //! The device model described in the device event.
    Q_PROPERTY(QString deviceModel READ deviceModel WRITE setDeviceModel NOTIFY deviceModelChanged
                       FINAL)
    //! The device variant described in the device event.
    Q_PROPERTY(QString deviceVariant READ deviceVariant WRITE setDeviceVariant NOTIFY
                       deviceVariantChanged FINAL)
    //! The screen type described in the device event: "TOUCH" or "NON_TOUCH".
    Q_PROPERTY(QString deviceScreenType READ deviceScreenType WRITE setDeviceScreenType NOTIFY
                       deviceScreenTypeChanged FINAL)
    //! The application build described in the application event.
    Q_PROPERTY(QString appBuild READ appBuild WRITE setAppBuild NOTIFY appBuildChanged FINAL)
    //! The platform code sent with every event; "app" by default.
    Q_PROPERTY(QString platform READ platform WRITE setPlatform NOTIFY platformChanged FINAL)
    //! The kind of event cache: "SQLITE" (default), "SQLITE-ZLIB", "SQLITE-ZSTD", or empty for none.
    Q_PROPERTY(QString storageType READ storageType WRITE setStorageType NOTIFY storageTypeChanged
                       FINAL)
    //! The directory of the event cache; empty for the application's data location.
    Q_PROPERTY(QString storagePath READ storagePath WRITE setStoragePath NOTIFY storagePathChanged
                       FINAL)
    //! The most events the cache keeps, oldest dropped first; 0 or less for no limit.
    Q_PROPERTY(
            int storageSize READ storageSize WRITE setStorageSize NOTIFY storageSizeChanged FINAL)
    //! The seconds an event is kept at most before it is removed unsent; 0 for no limit.
    Q_PROPERTY(int storageMaxAge READ storageMaxAge WRITE setStorageMaxAge NOTIFY
                       storageMaxAgeChanged FINAL)
    //! The bytes the cache's events take at most, oldest removed first; 0 for no limit.
    Q_PROPERTY(int storageMaxBytes READ storageMaxBytes WRITE setStorageMaxBytes NOTIFY
                       storageMaxBytesChanged FINAL)
    //! Header names and string values sent with every upload and remote configuration fetch.
    Q_PROPERTY(QVariantMap headers READ headers WRITE setHeaders NOTIFY headersChanged FINAL)
    //! The seconds between uploads; 0 works offline and only caches.
    Q_PROPERTY(int syncInterval READ syncInterval WRITE setSyncInterval NOTIFY syncIntervalChanged
                       FINAL)
    //! The most events sent in one upload; 100 by default.
    Q_PROPERTY(int batchSize READ batchSize WRITE setBatchSize NOTIFY batchSizeChanged FINAL)
    //! The categories whose events are tracked.
    Q_PROPERTY(QStringList categories READ categories WRITE setCategories NOTIFY categoriesChanged
                       FINAL)
    //! The names of the event types captured automatically, such as "MouseButtonRelease".
    Q_PROPERTY(QStringList event READ events WRITE setEvents NOTIFY eventsChanged FINAL)
    //! The user identifier sent with every event.
    Q_PROPERTY(QString userId READ userId WRITE setUserId NOTIFY userIdChanged FINAL)
    //! The seconds between remote configuration fetches.
    Q_PROPERTY(int remoteConfigInterval READ remoteConfigInterval WRITE setRemoteConfigInterval
                       NOTIFY remoteConfigIntervalChanged FINAL)
    //! Whether the remote configuration is fetched from the collector.
    Q_PROPERTY(bool remoteConfig READ remoteConfig WRITE setRemoteConfig NOTIFY remoteConfigChanged
                       FINAL)
    //! How captured objects are named: "plain" (default), "hashed" or "classes".
    Q_PROPERTY(QString captureNames READ captureNames WRITE setCaptureNames NOTIFY
                       captureNamesChanged FINAL)
    //! Whether every trigger of a QAction is recorded as a command.
    Q_PROPERTY(bool captureActions READ captureActions WRITE setCaptureActions NOTIFY
                       captureActionsChanged FINAL)
    //! Milliseconds without a return to the event loop that count as a freeze; 0 records none.
    Q_PROPERTY(int captureStallMs READ captureStallMs WRITE setCaptureStallMs NOTIFY
                       captureStallMsChanged FINAL)
    //! Seconds without an event, or in the background, after which a new session starts; 0
    //! keeps one session per start.
    Q_PROPERTY(int sessionTimeout READ sessionTimeout WRITE setSessionTimeout NOTIFY
                       sessionTimeoutChanged FINAL)
    //! Whether pages, dialogs and popups that become current are recorded as screen views.
    Q_PROPERTY(bool captureScreens READ captureScreens WRITE setCaptureScreens NOTIFY
                       captureScreensChanged FINAL)

public:
    /*! Constructs the configuration as a child of \a parent. Only the tracker creates one. */
    explicit QSentrelConfiguration(QObject *parent);

    /*!
        Returns whether tracking can be enabled.

        A token is needed, and a server unless the tracker works offline with a cache. Logs a
        warning naming the first missing item.
    */
    virtual bool isValid() = 0;

    /*!
        \name Server
        The host, and optionally the port, of the collector, such as "collector.example.com:443".
        A URL is rejected with a warning.
    */
    ///@{

    //! Returns the collector host.
    virtual QString server() const = 0;
    //! Sets the collector host to \a server.
    virtual void setServer(const QString &server) = 0;
    ///@}

    /*!
        \name Token
        The application token sent with every event and with the remote configuration request.
    */
    ///@{

    //! Returns the application token.
    virtual QString token() const = 0;
    //! Sets the application token to \a token.
    virtual void setToken(const QString &token) = 0;
    ///@}

    /*!
        \name Device and application
        What the device and application event describes: the device model and variant, the
        screen type ("TOUCH" or "NON_TOUCH"; another value is rejected with a warning) and the
        application build. They are read when tracking is enabled.
    */
    ///@{

    //! Returns the device model.
    virtual QString deviceModel() const = 0;
    //! Sets the device model to \a deviceModel.
    virtual void setDeviceModel(const QString &deviceModel) = 0;
    //! Returns the device variant.
    virtual QString deviceVariant() const = 0;
    //! Sets the device variant to \a deviceVariant.
    virtual void setDeviceVariant(const QString &deviceVariant) = 0;
    //! Returns the device screen type.
    virtual QString deviceScreenType() const = 0;
    //! Sets the device screen type to \a deviceScreenType.
    virtual void setDeviceScreenType(const QString &deviceScreenType) = 0;
    //! Returns the application build.
    virtual QString appBuild() const = 0;
    //! Sets the application build to \a appBuild.
    virtual void setAppBuild(const QString &appBuild) = 0;
    ///@}

    /*!
        \name Platform
        The platform code sent with every event: one of "web", "mob", "pc", "srv", "app", "tv",
        "cnsl", "iot"; "app" by default. Another value is rejected with a warning.
    */
    ///@{

    //! Returns the platform code.
    virtual QString platform() const = 0;
    //! Sets the platform code to \a platform.
    virtual void setPlatform(const QString &platform) = 0;
    ///@}

    /*!
        \name Event cache
        The kind of cache ("SQLITE" by default, "SQLITE-ZLIB", "SQLITE-ZSTD", or empty for no
        cache), its directory (empty for the application's data location) and the most events it
        keeps, oldest dropped first (0 or less for no limit). A change while tracking runs
        reopens the cache on the worker thread.
    */
    ///@{

    //! Returns the kind of event cache.
    virtual QString storageType() const = 0;
    //! Sets the kind of event cache to \a storageType.
    virtual void setStorageType(const QString &storageType) = 0;
    //! Returns the directory of the event cache.
    virtual QString storagePath() const = 0;
    //! Sets the directory of the event cache to \a storagePath.
    virtual void setStoragePath(const QString &storagePath) = 0;
    //! Returns the most events the cache keeps.
    virtual int storageSize() const = 0;
    //! Sets the most events the cache keeps to \a storageSize.
    virtual void setStorageSize(int storageSize) = 0;
    ///@}

    /*!
        \name Bounds of the offline cache
        Events older than the maximum age (seconds; a duration in the file), and the oldest
        events beyond the maximum bytes (as stored), are removed unsent when tracking starts and
        before each upload, with one info line in \c sentrel.storage saying how many. 0, the
        default, sets no bound; a negative value is rejected with a warning.
    */
    ///@{

    //! Returns the seconds an event is kept at most.
    virtual int storageMaxAge() const = 0;
    //! Sets the seconds an event is kept at most to \a seconds.
    virtual void setStorageMaxAge(int seconds) = 0;
    //! Returns the bytes the cache's events take at most.
    virtual int storageMaxBytes() const = 0;
    //! Sets the bytes the cache's events take at most to \a bytes.
    virtual void setStorageMaxBytes(int bytes) = 0;
    ///@}

    /*!
        \name Request headers
        Header names mapped to string values, sent with every event upload and every remote
        configuration fetch, for example the API key of a gateway in front of the collector.
        A map naming a header that the protocol or the tracker owns ("Host", "Content-Length",
        "Content-Type", "Transfer-Encoding", "Connection", "Cookie", "SP-Anonymous"), a name
        that is not a token, or a value that is not a string or holds control characters, is
        rejected whole with a warning.
    */
    ///@{

    //! Returns the headers sent with every request.
    virtual QVariantMap headers() const = 0;
    //! Sets the headers sent with every request to \a headers.
    virtual void setHeaders(const QVariantMap &headers) = 0;
    ///@}

    /*!
        \name Delivery
        The seconds between uploads (0 works offline and only caches) and the most events sent
        in one upload (100 by default).
    */
    ///@{

    //! Returns the seconds between uploads.
    virtual int syncInterval() const = 0;
    //! Sets the seconds between uploads to \a syncInterval.
    virtual void setSyncInterval(int syncInterval) = 0;
    //! Returns the most events per upload.
    virtual int batchSize() const = 0;
    //! Sets the most events per upload to \a batchSize.
    virtual void setBatchSize(int batchSize) = 0;
    ///@}

    /*!
        \name Categories
        The categories that are tracked. A click or a captured event whose non-empty category is
        not listed is dropped; one without a category is always tracked.
    */
    ///@{

    //! Returns the tracked categories.
    virtual QStringList categories() = 0;
    //! Sets the tracked categories to \a categories.
    virtual void setCategories(const QStringList &categories) = 0;
    ///@}

    /*!
        \name Captured events
        The names of the QEvent::Type values captured automatically, such as
        "MouseButtonRelease". An unknown name is logged and left out.
    */
    ///@{

    //! Returns the automatically captured event types.
    virtual QStringList events() = 0;
    //! Sets the automatically captured event types to \a events.
    virtual void setEvents(const QStringList &events) = 0;
    ///@}

    /*!
        \name User identifier
        The user identifier sent with every event. Setting an empty value selects the
        identifier shared by every application of this user account, created on first use.
    */
    ///@{

    //! Returns the user identifier.
    virtual QString userId() = 0;
    //! Sets the user identifier to \a userId.
    virtual void setUserId(const QString &userId) = 0;
    ///@}

    /*!
        \name Remote configuration
        Whether the remote configuration is fetched from the collector, and the seconds between
        fetches.
    */
    ///@{

    //! Returns whether the remote configuration is fetched.
    virtual bool remoteConfig() const = 0;
    //! Sets whether the remote configuration is fetched to \a enabled.
    virtual void setRemoteConfig(bool enabled) = 0;
    //! Returns the seconds between remote configuration fetches.
    virtual int remoteConfigInterval() const = 0;
    //! Sets the seconds between remote configuration fetches to \a remoteConfigInterval.
    virtual void setRemoteConfigInterval(int remoteConfigInterval) = 0;
    ///@}

    /*!
        \name Names of captured objects
        How the automatic capture names the objects of its events: "plain" (the default)
        sends object names as they are; "hashed" replaces each object name by a keyed hash
        that stays the same for this installation and never leaves it readable; "classes"
        sends class names and positions only. Another value is rejected with a warning. An
        object whose dynamic property "sentrelUnnamed" is true is never named, nor is any object
        below it, whatever the policy.
    */
    ///@{

    //! Returns the naming policy of captured objects.
    virtual QString captureNames() const = 0;
    //! Sets the naming policy of captured objects to \a policy.
    virtual void setCaptureNames(const QString &policy) = 0;
    ///@}

    /*!
        \name Commands
        Whether each trigger of a QAction in the application is recorded as one event (off by
        default): the action's object name (or, for an unnamed action, its path and position
        among its parent's actions), how it was invoked (menu, toolbar, shortcut, context menu,
        button or code) and whether it is checked. Its text, tooltip and shortcut are never read.
    */
    ///@{

    //! Returns whether action triggers are recorded.
    virtual bool captureActions() const = 0;
    //! Sets whether action triggers are recorded to \a enabled.
    virtual void setCaptureActions(bool enabled) = 0;
    ///@}

    /*!
        \name Freezes
        When the application's thread has not returned to its event loop for longer than this
        many milliseconds, one event with the measured duration is recorded once it is back.
        0 (the default) records none; a negative value is rejected with a warning.
    */
    ///@{

    //! Returns the threshold of a recorded freeze in milliseconds, 0 for none.
    virtual int captureStallMs() const = 0;
    //! Sets the threshold of a recorded freeze to \a milliseconds.
    virtual void setCaptureStallMs(int milliseconds) = 0;
    ///@}

    /*!
        \name Sessions
        After this many seconds without a recorded event, or this long in the background, the
        next event starts a new session. Every event then carries a session context: the
        session's identifier, its index among this user's sessions of the application (kept
        across starts), the previous session and the session's first event; the application
        going to the background and coming back are recorded. 0 (the default) starts one
        session per start and adds no context; a negative value is rejected with a warning.
    */
    ///@{

    //! Returns the session timeout in seconds, 0 for none.
    virtual int sessionTimeout() const = 0;
    //! Sets the session timeout to \a seconds.
    virtual void setSessionTimeout(int seconds) = 0;
    ///@}

    /*!
        \name Screens
        Whether screens are recorded without the application's code (off by default): the page
        that becomes current in a QStackedWidget or QTabWidget, a QDialog that is shown, the
        current item of a Qt Quick StackView or SwipeView and a Popup that opens, each a screen
        view named by the object's name (its class name when unnamed), in one chain with
        QSentrelTracker::transition(). Leaving a screen records the time it was on screen while
        the application was active.
    */
    ///@{

    //! Returns whether screens are recorded automatically.
    virtual bool captureScreens() const = 0;
    //! Sets whether screens are recorded automatically to \a enabled.
    virtual void setCaptureScreens(bool enabled) = 0;
    ///@}

Q_SIGNALS:
    /*!
        \name Change signals
        Each is emitted with the effective value of its item on every accepted write, also when
        the value did not change. Those caused by a remote configuration are emitted on the
        tracker's worker thread.
    */
    ///@{

    //! Emitted when the collector host is written, with the effective value \a server.
    void serverChanged(const QString &server);
    //! Emitted when the application token is written, with the effective value \a token.
    void tokenChanged(const QString &token);
    //! Emitted when the device model is written, with the effective value \a deviceModel.
    void deviceModelChanged(const QString &deviceModel);
    //! Emitted when the device variant is written, with the effective value \a deviceVariant.
    void deviceVariantChanged(const QString &deviceVariant);
    //! Emitted when the device screen type is written, with the effective value \a deviceScreenType.
    void deviceScreenTypeChanged(const QString &deviceScreenType);
    //! Emitted when the application build is written, with the effective value \a appBuild.
    void appBuildChanged(const QString &appBuild);
    //! Emitted when the platform code is written, with the effective value \a platform.
    void platformChanged(const QString &platform);
    //! Emitted when the kind of event cache is written, with the effective value \a storageType.
    void storageTypeChanged(const QString &storageType);
    //! Emitted when the directory of the event cache is written, with the effective value \a storagePath.
    void storagePathChanged(const QString &storagePath);
    //! Emitted when the most events the cache keeps is written, with the effective value \a storageSize.
    void storageSizeChanged(int storageSize);
    //! Emitted when the seconds an event is kept at most is written, with the effective value \a storageMaxAge.
    void storageMaxAgeChanged(int storageMaxAge);
    //! Emitted when the bytes the cache's events take at most is written, with the effective value \a storageMaxBytes.
    void storageMaxBytesChanged(int storageMaxBytes);
    //! Emitted when the request headers are written, with the effective value \a headers.
    void headersChanged(const QVariantMap &headers);
    //! Emitted when the seconds between uploads is written, with the effective value \a syncInterval.
    void syncIntervalChanged(int syncInterval);
    //! Emitted when the most events per upload is written, with the effective value \a batchSize.
    void batchSizeChanged(int batchSize);
    //! Emitted when the tracked categories is written, with the effective value \a categories.
    void categoriesChanged(const QStringList &categories);
    //! Emitted when the automatically captured event types is written, with the effective value \a events.
    void eventsChanged(const QStringList &events);
    //! Emitted when the user identifier is written, with the effective value \a userId.
    void userIdChanged(const QString &userId);
    //! Emitted when remoteConfig is written, with the effective value \a enabled.
    void remoteConfigChanged(bool enabled);
    //! Emitted when the seconds between remote configuration fetches is written, with the effective value \a remoteConfigInterval.
    void remoteConfigIntervalChanged(int remoteConfigInterval);
    //! Emitted when the naming policy of captured objects is written, with the effective value \a captureNames.
    void captureNamesChanged(const QString &captureNames);
    //! Emitted when captureActions is written, with the effective value \a enabled.
    void captureActionsChanged(bool enabled);
    //! Emitted when captureStallMs is written, with the effective value \a milliseconds.
    void captureStallMsChanged(int milliseconds);
    //! Emitted when sessionTimeout is written, with the effective value \a seconds.
    void sessionTimeoutChanged(int seconds);
    //! Emitted when captureScreens is written, with the effective value \a enabled.
    void captureScreensChanged(bool enabled);
    ///@}
};

#endif // QSENTRELCONFIGURATION_H
