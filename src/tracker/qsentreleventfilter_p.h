// SPDX-License-Identifier: MIT
#ifndef QSENTRELEVENTFILTER_P_H
#define QSENTRELEVENTFILTER_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "sentrelglobal_p.h"

#include <SentrelTracker/sentreltrackertypes.h>

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVarLengthArray>

#include <optional>

class QAction;
class QInputEvent;
class QSentrelCategoryFilter;
class SentrelTrackerImpl;

// Captures the configured user-interface events of the whole application. Installed on the
// application object, so it lives on and is called from the application's thread only.
// Owned by the tracker core for one enabled period.
class SENTREL_AUTOTEST_EXPORT QSentrelEventFilter : public QObject
{
    Q_OBJECT

public:
    explicit QSentrelEventFilter(SentrelTrackerImpl *tracker);
    ~QSentrelEventFilter() override;

    void setCategoryFilter(QSentrelCategoryFilter *filter); // not owned

    static QString objectName(QObject *object);
    static QString generateName(QObject *object);

    // The dynamic property that keeps an object and everything below it unnamed.
    static constexpr const char *unnamedProperty = "sentrelUnnamed";
    // What an event reports of its receiver, under the naming policy in force: the object
    // path (generateName() under the "plain" policy with no object marked), the same path with
    // the position of each class-named object among its same-class siblings where there are
    // several (empty when it adds nothing), and the object name (objectName()).
    struct Names
    {
        QString path;
        QString indexedPath;
        QString objectName;
    };
    Names describe(QObject *object);

    bool isTracked(QEvent *event) const;
    bool eventFilter(QObject *watched, QEvent *event) override;

    void updateTrackedEvents(const QStringList &events);
    void updateNaming(const QString &policy);
    // Records every trigger of a QAction while enabled: the actions of the windows that exist,
    // and those added to a widget or found in a window made later, are watched.
    void updateActionCapture(bool enabled);

    // How a trigger of action came, as the action context's "via" says: from the input being
    // delivered at this level of the event loop, if the action is shown where it arrived.
    QString routeOf(QAction *action) const;

    // Records a freeze longer than milliseconds (0: none). The thread's time away from its event
    // loop is measured from the first event it handles after returning there until it returns
    // again, on the steady clock of SentrelClock; nothing runs while it is away.
    void updateStallThreshold(int milliseconds);
    // With a session timeout, records the application becoming active and ceasing to be.
    void updateSessionTimeout(int seconds);
    void watchApplicationState();
    void applicationStateChanged(Qt::ApplicationState state);
    // The thread is back in its event loop (the dispatcher is about to wait, or woke).
    void loopReturned();
    // What the action context's "action" says of it under the naming policy.
    QString actionIdentifier(QObject *action);
    // How a trigger of Qt Quick's action came, from the object that triggered it.
    QString quickRouteOf(QObject *action, QObject *source) const;

    // Records the pages, dialogs and popups that become current as screen views while enabled.
    void updateScreenCapture(bool enabled);
    // The screen a page, dialog or popup is, under the naming policy: its own name, else its
    // class name.
    QString screenName(QObject *object);

    // Reports what is still held: the last input event and resize wait for the next event,
    // which never comes when tracking is switched off, and a change of screen its check.
    void flush();

private:
    enum class Naming {
        Plain,
        Hashed,
        Classes
    };

    bool endsHeld(const QEvent *event) const;
    void capture(QObject *watched, QEvent *event);
    void reportHeld();
    void reportResize();
    void deliveryOver();
    void handleTracked(QObject *watched, QEvent *event);
    void hold(QObject *watched,
              int type,
              quint64 identity,
              const std::optional<SentrelTracker::EventCoordinates> &position,
              const std::optional<QString> &details);
    QString shown(const QString &name); // a name as the policy lets it leave
    void updateInstallation();
    void noteForActions(QObject *watched, QEvent *event);
    void watchActionsOf(QObject *window);
    void watchAction(QAction *action);
    void actionTriggered(bool checked);
    void watchQuickAction(QObject *action);
    Q_SLOT void quickActionTriggered(QObject *source);
    void actionInputOver();
    void noteForScreens(QObject *watched, QEvent *event);
    void considerScreen(QObject *candidate);
    void watchScreensOf(QObject *root);
    void screensChanged();
    void screenLeft(QObject *overlay);
    QObject *innermostPage(QObject *page) const;
    bool ownsCurrentScreen() const;
    QObject *shownIn(QObject *window, const QObject *overlay) const;

private Q_SLOTS:
    // Connected by name to Qt Quick's views and popups, which the core does not link.
    void quickViewChanged();
    void quickPopupShown();
    void quickPopupHidden();

private:
    SentrelTrackerImpl *tracker; // not owned
    QSentrelCategoryFilter *categoryFilter = nullptr; // not owned
    int pendingType = 0;
    QString pendingObject;
    QString pendingObjectName;
    QString pendingObjectPath; // the indexed path, empty when it adds nothing
    std::optional<QString> pendingDetails;
    std::optional<SentrelTracker::EventCoordinates> pendingPosition;
    // What tells the held event's deliveries from another event of its type: the timestamp
    // of an input event, the address of the data a drag carries.
    quint64 pendingTimestamp = 0;
    // The held resize, apart: an input event may be held across it.
    Names resizeNames;
    SentrelTracker::EventCoordinates resizeSize;
    bool resizePending = false;
    bool pending = false;
    bool deliveryOverQueued = false; // deliveryOver() waits in the event loop
    Naming naming = Naming::Plain;
    QByteArray nameKey; // the "hashed" policy's, read when the policy is chosen
    QHash<QString, QString> hashedNames; // name to its hash, bounded
    bool capturing = false; // inside capture(): events it causes are not recorded
    QMap<int, QString> trackedEvents;

    // What may trigger an action: the receiver of an input or of a shortcut, one per level of
    // the event loop that delivers it (a modal dialog's loop delivers its own inputs while an
    // action's handler waits), innermost last. A new input at a level replaces what that level
    // and deeper ones held; an input stays until the loop of its level runs again.
    struct ActionInput
    {
        QPointer<QObject> receiver;
        int level;
        int type; // QEvent::Type
    };
    QVarLengthArray<ActionInput, 4> actionInputs;
    // The innermost input just over, until the calls posted while it was delivered have run.
    std::optional<ActionInput> recentInput;
    // The input that may have triggered an action now, if any.
    const ActionInput *currentInput() const;
    QList<QPointer<QObject>> contextMenus; // menus shown while a context menu event was delivered
    bool watchingActions = false;
    bool actionInputOverQueued = false;

    bool watchingScreens = false;
    bool screensQueued = false; // screensChanged() waits in the event loop
    // The innermost page or dialog shown since the thread was last in its event loop: the
    // screen once Qt has shown everything that shows with it.
    QPointer<QObject> shownPage;
    // Dialogs and popups that are the screen, innermost last, with the screen each covered,
    // which is current again when it goes.
    struct Overlay
    {
        QPointer<QObject> object;
        QString covered;
        QPointer<QObject> coveredObject; // null when the covered screen was no object's
    };
    QList<Overlay> overlays;
    QList<QPointer<QObject>> quickViews; // StackViews and SwipeViews connected to
    // The object of the last automatic screen view and the screen it gave.
    QPointer<QObject> currentObject;
    QString currentObjectScreen;

    qint64 stallThreshold = 0; // milliseconds; 0 when freezes are not recorded
    bool inLoop = true; // no event handled since the thread last returned to its event loop
    qint64 awaySince = 0; // steady milliseconds of the first event handled since then
    QMetaObject::Connection loopWaits; // the dispatcher's aboutToBlock, while recording
    QMetaObject::Connection loopWakes; // and its awake
    QMetaObject::Connection stateChanges; // the application's, for screens or sessions
    bool active = false; // the application's state as last seen
    bool recordingStates = false; // under a session timeout
};

#endif // QSENTRELEVENTFILTER_P_H
