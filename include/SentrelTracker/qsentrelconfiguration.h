#ifndef QSENTRELCONFIGURATION_H
#define QSENTRELCONFIGURATION_H

#include <SentrelTracker/sentreltracker_export.h>

#include <QObject>
#include <QString>
#include <QStringList>

// The tracker's settings, as Qt properties with change signals. The one instance is owned by
// the tracker and lives on the thread that first used the tracker (normally the application's
// thread); reach it through QSentrelTracker::configuration().
//
// Change signals are emitted on every accepted write, also when the value did not change,
// and carry the effective value: a value set by the collector's remote configuration
// overrides the local one item by item. Signals caused by a remote configuration are emitted
// on the tracker's worker thread.
class SENTRELTRACKER_EXPORT QSentrelConfiguration : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool valid READ isValid FINAL)
    Q_PROPERTY(QString server READ server WRITE setServer NOTIFY serverChanged FINAL)
    Q_PROPERTY(QString token READ token WRITE setToken NOTIFY tokenChanged FINAL)
    Q_PROPERTY(QString deviceModel READ deviceModel WRITE setDeviceModel NOTIFY deviceModelChanged FINAL)
    Q_PROPERTY(QString deviceVariant READ deviceVariant WRITE setDeviceVariant NOTIFY deviceVariantChanged FINAL)
    Q_PROPERTY(QString deviceScreenType READ deviceScreenType WRITE setDeviceScreenType NOTIFY deviceScreenTypeChanged FINAL)
    Q_PROPERTY(QString appBuild READ appBuild WRITE setAppBuild NOTIFY appBuildChanged FINAL)
    Q_PROPERTY(QString platform READ platform WRITE setPlatform NOTIFY platformChanged FINAL)
    Q_PROPERTY(QString storageType READ storageType WRITE setStorageType NOTIFY storageTypeChanged FINAL)
    Q_PROPERTY(QString storagePath READ storagePath WRITE setStoragePath NOTIFY storagePathChanged FINAL)
    Q_PROPERTY(int storageSize READ storageSize WRITE setStorageSize NOTIFY storageSizeChanged FINAL)
    Q_PROPERTY(int syncInterval READ syncInterval WRITE setSyncInterval NOTIFY syncIntervalChanged FINAL)
    Q_PROPERTY(int batchSize READ batchSize WRITE setBatchSize NOTIFY batchSizeChanged FINAL)
    Q_PROPERTY(QStringList categories READ categories WRITE setCategories NOTIFY categoriesChanged FINAL)
    Q_PROPERTY(QStringList event READ events WRITE setEvents NOTIFY eventsChanged FINAL)
    Q_PROPERTY(QString userId READ userId WRITE setUserId NOTIFY userIdChanged FINAL)
    Q_PROPERTY(int remoteConfigInterval READ remoteConfigInterval WRITE setRemoteConfigInterval NOTIFY remoteConfigIntervalChanged FINAL)
    Q_PROPERTY(bool remoteConfig READ remoteConfig WRITE setRemoteConfig NOTIFY remoteConfigChanged FINAL)

public:
    explicit QSentrelConfiguration(QObject *parent);

    // Whether tracking can be enabled: a token is needed, and a server unless the tracker
    // works offline with a cache. Logs the first missing item.
    virtual bool isValid() = 0;

    // Host (and port) of the collector, never a URL.
    virtual QString server() const = 0;
    virtual void setServer(const QString &server) = 0;
    virtual QString token() const = 0;
    virtual void setToken(const QString &token) = 0;
    virtual QString deviceModel() const = 0;
    virtual void setDeviceModel(const QString &deviceModel) = 0;
    virtual QString deviceVariant() const = 0;
    virtual void setDeviceVariant(const QString &deviceVariant) = 0;
    // "TOUCH" or "NON_TOUCH".
    virtual QString deviceScreenType() const = 0;
    virtual void setDeviceScreenType(const QString &deviceScreenType) = 0;
    virtual QString appBuild() const = 0;
    virtual void setAppBuild(const QString &appBuild) = 0;
    // One of "web", "mob", "pc", "srv", "app", "tv", "cnsl", "iot"; "app" by default.
    virtual QString platform() const = 0;
    virtual void setPlatform(const QString &platform) = 0;
    // "SQLITE" (default), "SQLITE-ZLIB", "SQLITE-ZSTD", or empty for no cache.
    virtual QString storageType() const = 0;
    virtual void setStorageType(const QString &storageType) = 0;
    // Directory of the cache; empty for the application's data location.
    virtual QString storagePath() const = 0;
    virtual void setStoragePath(const QString &storagePath) = 0;
    // Most events the cache keeps, oldest dropped first; 0 or less for no limit.
    virtual int storageSize() const = 0;
    virtual void setStorageSize(int storageSize) = 0;
    // Seconds between uploads; 0 works offline and only caches.
    virtual int syncInterval() const = 0;
    virtual void setSyncInterval(int syncInterval) = 0;
    // Most events per upload; 100 by default.
    virtual int batchSize() const = 0;
    virtual void setBatchSize(int batchSize) = 0;
    virtual QStringList categories() = 0;
    virtual void setCategories(const QStringList &categories) = 0;
    // Names of the QEvent::Type values captured automatically, such as "MouseButtonRelease".
    virtual QStringList events() = 0;
    virtual void setEvents(const QStringList &events) = 0;
    // An empty value selects the identifier shared by every application of this user.
    virtual QString userId() = 0;
    virtual void setUserId(const QString &userId) = 0;
    virtual bool remoteConfig() const = 0;
    virtual void setRemoteConfig(bool enabled) = 0;
    // Seconds between remote configuration fetches.
    virtual int remoteConfigInterval() const = 0;
    virtual void setRemoteConfigInterval(int remoteConfigInterval) = 0;

Q_SIGNALS:
    void serverChanged(const QString &server);
    void tokenChanged(const QString &token);
    void deviceModelChanged(const QString &deviceModel);
    void deviceVariantChanged(const QString &deviceVariant);
    void deviceScreenTypeChanged(const QString &deviceScreenType);
    void appBuildChanged(const QString &appBuild);
    void platformChanged(const QString &platform);
    void storageTypeChanged(const QString &storageType);
    void storagePathChanged(const QString &storagePath);
    void storageSizeChanged(int storageSize);
    void syncIntervalChanged(int syncInterval);
    void batchSizeChanged(int batchSize);
    void categoriesChanged(const QStringList &categories);
    void eventsChanged(const QStringList &events);
    void userIdChanged(const QString &userId);
    void remoteConfigChanged(bool enabled);
    void remoteConfigIntervalChanged(int remoteConfigInterval);
};

#endif // QSENTRELCONFIGURATION_H
