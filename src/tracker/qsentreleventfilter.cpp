// SPDX-License-Identifier: MIT
#include "qsentreleventfilter_p.h"

#include "sentrelclock_p.h"
#include "sentrelobjecthooks_p.h"
#include "sentreltrackerimpl_p.h"

#include <SentrelTracker/qsentrelcategoryfilter.h>

#include <QAbstractEventDispatcher>
#include <QAccessible>
#include <QAction>
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMessageAuthenticationCode>
#include <QMetaEnum>
#include <QMimeData>
#include <QThread>
#include <QVarLengthArray>
#include <QWindow>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

using SentrelTracker::EventCoordinates;

namespace {

// Set by the Qt Quick module while it is loaded; read on the application's thread.
std::atomic<QString (*)(const QObject *)> pathNameHook {nullptr};
std::atomic<bool (*)(const QObject *, QString *)> categoryHook {nullptr};

// Positions come from the event source as it likes them; out-of-range or NaN coordinates
// must not reach the int conversion, which would be undefined.
int truncated(qreal value)
{
    if (std::isnan(value))
        return 0;
    constexpr qreal lowest = qreal(std::numeric_limits<int>::min());
    constexpr qreal highest = qreal(std::numeric_limits<int>::max());
    return int(qBound(lowest, value, highest));
}

EventCoordinates coordinates(const QPointF &point)
{
    return EventCoordinates {truncated(point.x()), truncated(point.y())};
}

EventCoordinates coordinates(const QPoint &point)
{
    return EventCoordinates {point.x(), point.y()};
}

// The key of value in Qt's meta-object data for Enum; empty for a value without one.
template <typename Enum>
QString keyOf(int value)
{
    static const QMetaEnum enumeration = QMetaEnum::fromType<Enum>(); // a lookup by name
    return QString::fromLatin1(enumeration.valueToKey(value));
}

// Class names are nearly always ASCII, which needs no conversion of its own.
void appendUtf8(QString &text, const char *utf8)
{
    const char *end = utf8;
    bool ascii = true;
    for (; *end; ++end)
        ascii = ascii && uchar(*end) < 0x80;
    if (ascii)
        text += QLatin1String(utf8, end);
    else
        text += QString::fromUtf8(utf8, end - utf8);
}

QString typeKey(int type)
{
    return keyOf<QEvent::Type>(type);
}

bool isPrintable(const QString &text)
{
    const QList<uint> codePoints = text.toUcs4();
    return !codePoints.isEmpty()
            && std::all_of(codePoints.cbegin(), codePoints.cend(), [](uint codePoint) {
                   return QChar::isPrint(char32_t(codePoint));
               });
}

QString keyDetails(const QKeyEvent *event)
{
    const QString sequence = QKeySequence(event->key() | event->modifiers().toInt())
                                     .toString(QKeySequence::PortableText);
    if (event->text().isEmpty())
        return sequence;
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    // Ctrl or Meta without Alt is a shortcut on every platform (Qt's Ctrl is Command on
    // macOS). With Alt, it is how characters are typed: Windows reports AltGr as Ctrl+Alt, and
    // macOS reports Option as Alt.
    const bool shortcut = (modifiers & (Qt::ControlModifier | Qt::MetaModifier))
            && !(modifiers & Qt::AltModifier);
    if (shortcut)
        return sequence;
    // Shift, the keypad and the X11 group switch only choose what is typed, printable or not
    // (Return, Backspace).
    constexpr Qt::KeyboardModifiers typingModifiers =
            Qt::ShiftModifier | Qt::KeypadModifier | Qt::GroupSwitchModifier;
    if (isPrintable(event->text()) || !(modifiers & ~typingModifiers))
        return QStringLiteral("[text]");
    return sequence;
}

bool isHeldPointerType(int type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Enter:
    case QEvent::Wheel:
    case QEvent::HoverEnter:
    case QEvent::HoverMove:
    case QEvent::NonClientAreaMouseMove:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
        return true;
    default:
        return false;
    }
}

// Drag-and-drop events are no input events, but Qt delivers each to several objects in turn
// as it does an input event.
bool isDragType(int type)
{
    return type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop;
}

// Whether the application marked the object as never to be named, its subtree with it.
bool isMarkedUnnamed(const QObject *object)
{
    // Most objects have no dynamic property at all, and the list is then an empty one.
    const QList<QByteArray> dynamic = object->dynamicPropertyNames();
    return !dynamic.isEmpty() && dynamic.contains(QSentrelEventFilter::unnamedProperty)
            && object->property(QSentrelEventFilter::unnamedProperty).toBool();
}

// The name an object has of its own in a path: its object name, else what the Qt Quick
// module gives it (its id), else none: it is then named by its class.
std::optional<QString> ownName(const QObject *object, QString (*pathName)(const QObject *))
{
    QString name = object->objectName();
    if (!name.isEmpty())
        return name;
    if (pathName) {
        name = pathName(object);
        if (!name.isNull())
            return name;
    }
    return std::nullopt;
}

constexpr qsizetype hashedNamesKept = 4096;

// Qt hands focus and other events to the style object too, which tells nothing about use.
// QStyle lives in Qt Widgets, which the core does not link, so it is known by name.
bool isStyle(const QObject *object)
{
    for (const QMetaObject *meta = object->metaObject(); meta; meta = meta->superClass()) {
        if (qstrcmp(meta->className(), "QStyle") == 0)
            return true;
    }
    return false;
}

// Menus, menu bars and tool bars live in Qt Widgets, which the core does not link: they are known
// by class name, asked only when an action triggers, a window is made or a context menu shows.
bool isA(const QObject *object, const char *className)
{
    return object && object->inherits(className);
}

// At most this many context menus are remembered; the oldest go first.
constexpr qsizetype contextMenusKept = 16;

// Dialogs and popups open over each other at most this deep; the outermost are forgotten.
constexpr qsizetype overlaysKept = 16;

// Widgets and Qt Quick items both have the property; the core links neither.
bool isVisible(const QObject *object)
{
    return object->property("visible").toBool();
}

// What holds object on screen: a Qt Quick item's visual parent, else its parent.
QObject *containerOf(const QObject *object)
{
    if (object->isQuickItemType()) {
        if (auto *visual = object->property("parent").value<QObject *>())
            return visual;
    }
    return object->parent();
}

bool isWithin(const QObject *object, const QObject *ancestor)
{
    for (; object; object = containerOf(object)) {
        if (object == ancestor)
            return true;
    }
    return false;
}

// A page of a QStackedWidget (a QTabWidget's are in one), unless it is in a dock widget: a panel
// beside the screen, whose pages say nothing of where the person is.
bool isPage(const QObject *widget)
{
    if (!isA(widget->parent(), "QStackedWidget"))
        return false;
    for (const QObject *above = widget->parent(); above; above = above->parent()) {
        if (isA(above, "QDockWidget"))
            return false;
    }
    return true;
}

bool isOverlay(const QObject *object)
{
    return isA(object, "QDialog") || isA(object, "QQuickPopup");
}

// A type declared in QML has a class name with a suffix the engine numbers in the order it
// loads types: it is cut, so that a screen keeps its name from run to run.
QString screenClassName(const QObject *object)
{
    QString name;
    appendUtf8(name, object->metaObject()->className());
    for (const QLatin1String suffix : {QLatin1String("_QMLTYPE_"), QLatin1String("_QML_")}) {
        const qsizetype at = name.indexOf(suffix);
        if (at > 0) {
            name.truncate(at);
            break;
        }
    }
    return name;
}

} // namespace

void sentrelSetObjectHooks(const SentrelObjectHooks &hooks)
{
    pathNameHook.store(hooks.pathName);
    categoryHook.store(hooks.category);
}

QSentrelEventFilter::QSentrelEventFilter(SentrelTrackerImpl *tracker)
    : QObject(nullptr)
    , tracker(tracker)
{
    QSentrelConfigurationPrivate *configuration = tracker->configurationPrivate();
    // The list may change on the worker thread (remote configuration); the rebuild then runs
    // queued on this object's thread.
    connect(configuration,
            &QSentrelConfiguration::eventsChanged,
            this,
            &QSentrelEventFilter::updateTrackedEvents);
    connect(configuration,
            &QSentrelConfiguration::captureNamesChanged,
            this,
            &QSentrelEventFilter::updateNaming);
    connect(configuration,
            &QSentrelConfiguration::captureActionsChanged,
            this,
            &QSentrelEventFilter::updateActionCapture);
    updateNaming(configuration->captureNames());
    updateTrackedEvents(configuration->events());
    connect(configuration,
            &QSentrelConfiguration::captureStallMsChanged,
            this,
            &QSentrelEventFilter::updateStallThreshold);
    connect(configuration,
            &QSentrelConfiguration::sessionTimeoutChanged,
            this,
            &QSentrelEventFilter::updateSessionTimeout);
    connect(configuration,
            &QSentrelConfiguration::captureScreensChanged,
            this,
            &QSentrelEventFilter::updateScreenCapture);
    updateActionCapture(configuration->captureActions());
    updateStallThreshold(configuration->captureStallMs());
    updateSessionTimeout(configuration->sessionTimeout());
    updateScreenCapture(configuration->captureScreens());
}

QSentrelEventFilter::~QSentrelEventFilter()
{
    if (QCoreApplication *application = QCoreApplication::instance())
        application->removeEventFilter(this);
}

void QSentrelEventFilter::setCategoryFilter(QSentrelCategoryFilter *filter)
{
    SENTREL_ASSERT_THREAD(this);
    categoryFilter = filter;
}

QString QSentrelEventFilter::objectName(QObject *object)
{
    for (; object; object = object->parent()) {
        const QString name = object->objectName();
        if (!name.isEmpty())
            return name;
    }
    return QString();
}

QString QSentrelEventFilter::generateName(QObject *object)
{
    // Runs for every tracked delivery: one string, built from the outermost ancestor down.
    QVarLengthArray<QObject *, 16> chain;
    for (; object; object = object->parent())
        chain.append(object);
    QString (*const pathName)(const QObject *) = pathNameHook.load(std::memory_order_relaxed);
    QString path;
    for (qsizetype i = chain.size() - 1; i >= 0; --i) {
        const QString name = chain[i]->objectName();
        if (!name.isEmpty()) {
            path += name;
        } else {
            const QString hooked = pathName ? pathName(chain[i]) : QString();
            if (!hooked.isNull())
                path += hooked;
            else
                appendUtf8(path, chain[i]->metaObject()->className());
        }
        if (i)
            path += QLatin1Char('/');
    }
    return path;
}

QString QSentrelEventFilter::shown(const QString &name)
{
    if (naming != Naming::Hashed)
        return name;
    const auto found = hashedNames.constFind(name);
    if (found != hashedNames.cend())
        return *found;
    // 48 bits of HMAC-SHA256 under the installation's key: names of one application's objects
    // do not collide in practice, and without the key no name can be guessed back.
    const QByteArray digest =
            QMessageAuthenticationCode::hash(name.toUtf8(), nameKey, QCryptographicHash::Sha256);
    const QString text = QLatin1Char('#') + QString::fromLatin1(digest.first(6).toHex());
    if (hashedNames.size() >= hashedNamesKept)
        hashedNames.clear();
    hashedNames.insert(name, text);
    return text;
}

QSentrelEventFilter::Names QSentrelEventFilter::describe(QObject *object)
{
    QVarLengthArray<QObject *, 16> chain; // the receiver first, its outermost ancestor last
    for (; object; object = object->parent())
        chain.append(object);
    // The outermost marked object: it and every object below it are named by their class.
    qsizetype unnamedFrom = -1;
    for (qsizetype i = chain.size() - 1; i >= 0 && unnamedFrom < 0; --i) {
        if (isMarkedUnnamed(chain[i]))
            unnamedFrom = i;
    }
    QString (*const pathName)(const QObject *) = pathNameHook.load(std::memory_order_relaxed);
    const bool classesOnly = naming == Naming::Classes;
    Names names;
    // Where a position goes in the path (after a class name), and the position: the indexed
    // path is built only when there is one.
    QVarLengthArray<std::pair<qsizetype, int>, 4> positions;
    for (qsizetype i = chain.size() - 1; i >= 0; --i) {
        const QObject *current = chain[i];
        const std::optional<QString> name =
                classesOnly || i <= unnamedFrom ? std::nullopt : ownName(current, pathName);
        if (name) {
            names.path += shown(*name);
        } else {
            appendUtf8(names.path, current->metaObject()->className());
            // Its position among the siblings of its class that are named by class too.
            int position = 0;
            int count = 0;
            if (const QObject *parent = current->parent()) {
                const QMetaObject *meta = current->metaObject();
                const bool siblingsUnnamed = classesOnly || i + 1 <= unnamedFrom;
                for (const QObject *sibling : parent->children()) {
                    if (sibling->metaObject() != meta)
                        continue;
                    if (!siblingsUnnamed && sibling != current && !isMarkedUnnamed(sibling)
                        && ownName(sibling, pathName))
                        continue;
                    if (sibling == current)
                        position = count;
                    ++count;
                }
            }
            if (count > 1)
                positions.append({names.path.size(), position + 1});
        }
        if (i)
            names.path += QLatin1Char('/');
    }
    if (!positions.isEmpty()) {
        qsizetype from = 0;
        for (const auto &[offset, position] : positions) {
            names.indexedPath += QStringView(names.path).sliced(from, offset - from);
            names.indexedPath += QLatin1Char('[') + QString::number(position) + QLatin1Char(']');
            from = offset;
        }
        names.indexedPath += QStringView(names.path).sliced(from);
    }
    if (!classesOnly) {
        for (qsizetype i = unnamedFrom + 1; i < chain.size(); ++i) {
            const QString name = chain[i]->objectName();
            if (!name.isEmpty()) {
                names.objectName = shown(name);
                break;
            }
        }
    }
    return names;
}

bool QSentrelEventFilter::isTracked(QEvent *event) const
{
    SENTREL_ASSERT_THREAD(this);
    return trackedEvents.contains(event->type());
}

void QSentrelEventFilter::updateTrackedEvents(const QStringList &events)
{
    SENTREL_ASSERT_THREAD(this);
    trackedEvents.clear();
    const QMetaEnum types = QMetaEnum::fromType<QEvent::Type>();
    for (const QString &name : events) {
        bool resolved = false;
        // A NUL would cut the name short and let "MouseMove\0junk" pass as MouseMove.
        const int type = name.contains(QChar(0))
                ? 0
                : types.keyToValue(name.toLatin1().constData(), &resolved);
        if (resolved)
            trackedEvents.insert(type, name);
        else
            qCWarning(lcEventFilter) << "unknown event enabled:" << name;
    }
    if (trackedEvents.isEmpty())
        qCInfo(lcEventFilter) << "no events to track";
    else
        qCInfo(lcEventFilter) << "tracking events" << QStringList(trackedEvents.values());
    updateInstallation();
}

void QSentrelEventFilter::updateInstallation()
{
    if (trackedEvents.isEmpty() && !watchingActions && stallThreshold == 0 && !watchingScreens)
        return;
    if (QCoreApplication *application = QCoreApplication::instance())
        application->installEventFilter(this);
    else
        qCCritical(lcEventFilter) << "QGuiApplication needs to be created before the Sentrel "
                                     "Tracker can be initialized";
}

void QSentrelEventFilter::updateActionCapture(bool enabled)
{
    SENTREL_ASSERT_THREAD(this);
    if (enabled == watchingActions)
        return;
    watchingActions = enabled;
    actionInputs.clear();
    recentInput.reset();
    contextMenus.clear();
    if (!enabled)
        return; // the connections stay, and the slot ignores what they bring
    // The windows that exist now; those made later are found as their surface is created.
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        const QWindowList windows = QGuiApplication::topLevelWindows();
        for (QWindow *window : windows)
            watchActionsOf(window);
    }
    updateInstallation();
}

void QSentrelEventFilter::updateStallThreshold(int milliseconds)
{
    SENTREL_ASSERT_THREAD(this);
    stallThreshold = qMax(milliseconds, 0);
    inLoop = true;
    disconnect(loopWaits);
    disconnect(loopWakes);
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(thread());
    if (stallThreshold == 0 || !dispatcher)
        return;
    // Direct: emitted on this thread by its own event loop, at most once per pass of it.
    loopWaits = connect(dispatcher,
                        &QAbstractEventDispatcher::aboutToBlock,
                        this,
                        &QSentrelEventFilter::loopReturned,
                        Qt::DirectConnection);
    loopWakes = connect(dispatcher,
                        &QAbstractEventDispatcher::awake,
                        this,
                        &QSentrelEventFilter::loopReturned,
                        Qt::DirectConnection);
    updateInstallation();
}

void QSentrelEventFilter::updateSessionTimeout(int seconds)
{
    SENTREL_ASSERT_THREAD(this);
    recordingStates = seconds > 0;
    watchApplicationState();
}

// One watch of the application's state, for the time on screen and the session's events; off
// the path of every event.
void QSentrelEventFilter::watchApplicationState()
{
    disconnect(stateChanges);
    auto *application = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    if (!application || (!recordingStates && !watchingScreens))
        return;
    active = QGuiApplication::applicationState() == Qt::ApplicationActive;
    stateChanges = connect(application,
                           &QGuiApplication::applicationStateChanged,
                           this,
                           &QSentrelEventFilter::applicationStateChanged);
}

// Only the change between active and not: a desktop goes through inactive to hidden.
void QSentrelEventFilter::applicationStateChanged(Qt::ApplicationState state)
{
    const bool nowActive = state == Qt::ApplicationActive;
    if (nowActive == active)
        return;
    active = nowActive;
    if (watchingScreens)
        tracker->setApplicationActive(active);
    if (recordingStates)
        tracker->sendApplicationState(active);
}

void QSentrelEventFilter::loopReturned()
{
    if (inLoop)
        return;
    inLoop = true;
    const qint64 away = SentrelClock::current()->steady() - awaySince;
    if (away > stallThreshold)
        tracker->sendStall(away);
}

// The actions of a window's widgets are mostly children of its top-level widget, which the
// window only reaches through its focus object (the focus widget, or the widget itself). An
// application may parent its actions elsewhere: the actions shown in its menus are then found
// through the menus' accessible items, the one public way to a widget's actions without Qt
// Widgets. The rest are found when they change or their shortcut is used.
void QSentrelEventFilter::watchActionsOf(QObject *window)
{
    auto *surface = qobject_cast<QWindow *>(window);
    QObject *root = surface ? surface->focusObject() : nullptr;
    if (!root)
        root = window;
    while (root->parent())
        root = root->parent();
    const QList<QObject *> objects = root->findChildren<QObject *>();
    for (QObject *object : objects) {
        if (auto *action = qobject_cast<QAction *>(object)) {
            watchAction(action);
            continue;
        }
        if (isA(object, "QQuickAction")) {
            watchQuickAction(object);
            continue;
        }
#if QT_CONFIG(accessibility)
        if (!isA(object, "QMenu") && !isA(object, "QMenuBar"))
            continue;
        QAccessibleInterface *menu = QAccessible::queryAccessibleInterface(object);
        for (int i = 0, count = menu ? menu->childCount() : 0; i < count; ++i) {
            const QAccessibleInterface *item = menu->child(i);
            if (auto *action = qobject_cast<QAction *>(item ? item->object() : nullptr))
                watchAction(action);
        }
#endif
    }
}

void QSentrelEventFilter::watchAction(QAction *action)
{
    connect(action,
            &QAction::triggered,
            this,
            &QSentrelEventFilter::actionTriggered,
            Qt::UniqueConnection);
}

// Qt Quick's Action, known by its class and signal names: the library does not link Qt Quick.
void QSentrelEventFilter::watchQuickAction(QObject *action)
{
    connect(action,
            SIGNAL(triggered(QObject *)),
            this,
            SLOT(quickActionTriggered(QObject *)),
            Qt::UniqueConnection);
}

void QSentrelEventFilter::quickActionTriggered(QObject *source)
{
    QObject *action = sender();
    if (!watchingActions || !action)
        return;
    const bool checkable = action->property("checkable").toBool();
    tracker->sendAction(actionIdentifier(action),
                        quickRouteOf(action, source),
                        checkable ? std::optional<bool>(action->property("checked").toBool())
                                  : std::nullopt);
}

// The source is what triggered it: a menu item, a button (in a tool bar or not), the action
// itself or its button for its shortcut, nothing for trigger() from code.
QString QSentrelEventFilter::quickRouteOf(QObject *action, QObject *source) const
{
    if (!source)
        return QStringLiteral("code");
    // The shortcut of an action shown on a button is the button's.
    const ActionInput *input = currentInput();
    if (source == action || (input && input->type == QEvent::Shortcut && input->receiver == source))
        return QStringLiteral("shortcut");
    // Qt Quick opens a context menu with the same popup() as any other.
    if (isA(source, "QQuickMenuItem"))
        return QStringLiteral("menu");
    // Up the items the button is shown in.
    for (const QObject *object = source; object;) {
        if (isA(object, "QQuickToolBar"))
            return QStringLiteral("toolbar");
        object = isA(object, "QQuickItem") ? object->property("parent").value<QObject *>()
                                           : object->parent();
    }
    if (isA(source, "QQuickAbstractButton"))
        return QStringLiteral("button");
    return QStringLiteral("code");
}

// Runs on the application's thread, once the action's own handlers have run (they were
// connected first).
void QSentrelEventFilter::actionTriggered(bool checked)
{
    auto *action = qobject_cast<QAction *>(sender());
    if (!watchingActions || !action)
        return;
    const QString via = routeOf(action);
    tracker->sendAction(actionIdentifier(action),
                        via,
                        action->isCheckable() ? std::optional<bool>(checked) : std::nullopt);
}

QString QSentrelEventFilter::actionIdentifier(QObject *action)
{
    bool ownName = naming != Naming::Classes && !action->objectName().isEmpty();
    for (const QObject *object = action; object && ownName; object = object->parent())
        ownName = !isMarkedUnnamed(object);
    if (ownName)
        return shown(action->objectName());
    Names names = describe(action);
    return names.indexedPath.isEmpty() ? names.path : names.indexedPath;
}

const QSentrelEventFilter::ActionInput *QSentrelEventFilter::currentInput() const
{
    const int level = thread()->loopLevel();
    for (qsizetype i = actionInputs.size() - 1; i >= 0; --i) {
        // Deeper levels are loops that have ended since: a dialog the action's handler ran.
        if (actionInputs.at(i).level <= level)
            return &actionInputs.at(i);
    }
    // Triggered from a call the input's handler posted: the input is still what caused it.
    if (recentInput && recentInput->level <= level)
        return &*recentInput;
    return nullptr;
}

QString QSentrelEventFilter::routeOf(QAction *action) const
{
    const ActionInput *input = currentInput();
    QObject *receiver = input ? input->receiver.data() : nullptr;
    if (!receiver)
        return QStringLiteral("code");
    if (input->type == QEvent::Shortcut)
        return receiver == action ? QStringLiteral("shortcut") : QStringLiteral("code");
    // An input elsewhere whose handler triggers the action is the application's code.
    if (!action->associatedObjects().contains(receiver))
        return QStringLiteral("code");
    if (isA(receiver, "QMenu")) {
        for (const QObject *menu = receiver; menu; menu = menu->parent()) {
            if (contextMenus.contains(menu))
                return QStringLiteral("context_menu");
        }
        return QStringLiteral("menu");
    }
    if (isA(receiver, "QMenuBar"))
        return QStringLiteral("menu");
    if (isA(receiver->parent(), "QToolBar"))
        return QStringLiteral("toolbar");
    return QStringLiteral("button");
}

void QSentrelEventFilter::noteForActions(QObject *watched, QEvent *event)
{
    const int type = event->type();
    switch (type) {
    case QEvent::ActionAdded:
    case QEvent::ActionChanged: // a checkable action's state changes before it signals
        if (const auto *added = dynamic_cast<const QActionEvent *>(event)) {
            if (QAction *action = added->action())
                watchAction(action);
        }
        return;
    case QEvent::PlatformSurface:
        if (const auto *surface = dynamic_cast<const QPlatformSurfaceEvent *>(event)) {
            if (surface->surfaceEventType() == QPlatformSurfaceEvent::SurfaceCreated)
                watchActionsOf(watched);
        }
        return;
    case QEvent::Show: {
        // A menu shown while a context menu event is delivered is a context menu.
        const int level = thread()->loopLevel();
        const bool forContextMenu =
                std::any_of(actionInputs.cbegin(), actionInputs.cend(), [level](const auto &in) {
                    return in.type == QEvent::ContextMenu && in.level <= level;
                });
        if (forContextMenu && isA(watched, "QMenu")) {
            contextMenus.removeAll(nullptr);
            if (contextMenus.size() >= contextMenusKept)
                contextMenus.removeFirst();
            contextMenus.append(watched);
        }
        return;
    }
    case QEvent::Shortcut:
        // Delivered to the action itself before it triggers.
        if (auto *action = qobject_cast<QAction *>(watched))
            watchAction(action);
        else if (isA(watched, "QQuickAction"))
            watchQuickAction(watched);
        break;
    default:
        break;
    }
    const int level = thread()->loopLevel();
    while (!actionInputs.isEmpty() && actionInputs.last().level >= level)
        actionInputs.removeLast();
    actionInputs.append(ActionInput {watched, level, type});
    if (!actionInputOverQueued) {
        actionInputOverQueued = true;
        QMetaObject::invokeMethod(this,
                                  &QSentrelEventFilter::actionInputOver,
                                  Qt::QueuedConnection);
    }
}

// The loop of this level is running again: what it delivered is over, and deeper loops ended.
void QSentrelEventFilter::actionInputOver()
{
    actionInputOverQueued = false;
    const int level = thread()->loopLevel();
    if (actionInputs.isEmpty() || actionInputs.last().level < level)
        return;
    // Kept through the calls its delivery posted, which run before the one posted now.
    recentInput = actionInputs.last();
    while (!actionInputs.isEmpty() && actionInputs.last().level >= level)
        actionInputs.removeLast();
    QMetaObject::invokeMethod(
            this,
            [this] {
                recentInput.reset();
            },
            Qt::QueuedConnection);
}

void QSentrelEventFilter::updateScreenCapture(bool enabled)
{
    SENTREL_ASSERT_THREAD(this);
    if (enabled == watchingScreens)
        return;
    watchingScreens = enabled;
    watchApplicationState();
    shownPage = nullptr;
    overlays.clear();
    quickViews.clear();
    if (!enabled)
        return; // the connections stay, and the slots ignore what they bring
    // What is on screen now: Qt Quick's views and popups, and the widgets' current pages and
    // open dialogs. Later ones are found as they show, or as their window is made.
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        const QWindowList windows = QGuiApplication::topLevelWindows();
        for (QWindow *window : windows) {
            if (!window->isVisible())
                continue;
            if (isA(window, "QQuickWindow")) {
                watchScreensOf(window);
                continue;
            }
            QObject *root = window->focusObject();
#if QT_CONFIG(accessibility)
            if (!root) {
                QAccessibleInterface *widget = window->accessibleRoot();
                root = widget ? widget->object() : nullptr;
            }
#endif
            if (!root)
                continue;
            while (root->parent())
                root = root->parent();
            const QList<QObject *> objects = root->findChildren<QObject *>();
            for (QObject *object : objects) {
                if (object->isWidgetType() && isVisible(object)
                    && (isPage(object) || isA(object, "QDialog")))
                    considerScreen(object);
            }
        }
    }
    updateInstallation();
}

QString QSentrelEventFilter::screenName(QObject *object)
{
    bool named = naming != Naming::Classes;
    for (const QObject *current = object; current && named; current = current->parent())
        named = !isMarkedUnnamed(current);
    if (named) {
        if (const std::optional<QString> name =
                    ownName(object, pathNameHook.load(std::memory_order_relaxed)))
            return shown(*name);
    }
    return screenClassName(object);
}

void QSentrelEventFilter::noteForScreens(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::Show:
        // Widgets are known by class name, the core does not link Qt Widgets.
        if (watched->isWidgetType() && (isPage(watched) || isA(watched, "QDialog")))
            considerScreen(watched);
        return;
    case QEvent::Hide:
        for (const Overlay &overlay : std::as_const(overlays)) {
            if (overlay.object == watched) {
                considerScreen(nullptr);
                break;
            }
        }
        return;
    case QEvent::PlatformSurface:
        if (const auto *surface = dynamic_cast<const QPlatformSurfaceEvent *>(event)) {
            if (surface->surfaceEventType() == QPlatformSurfaceEvent::SurfaceCreated
                && isA(watched, "QQuickWindow"))
                watchScreensOf(watched);
        }
        return;
    default:
        return;
    }
}

// Qt shows a widget's children before the widget itself: a page shown with one of its
// ancestors (the tab's page around a stack) stays the innermost. Null only asks for the check.
void QSentrelEventFilter::considerScreen(QObject *candidate)
{
    if (candidate) {
        if (!shownPage || !isWithin(shownPage, candidate))
            shownPage = candidate;
        const bool known = std::any_of(overlays.cbegin(), overlays.cend(), [=](const auto &o) {
            return o.object == candidate;
        });
        if (isOverlay(candidate) && !known) {
            if (overlays.size() >= overlaysKept)
                overlays.removeFirst();
            Overlay overlay {candidate,
                             tracker->currentScreen(),
                             ownsCurrentScreen() ? currentObject : nullptr};
            // Open before any screen: closing it returns to the window it belongs to.
            QObject *window = candidate->parent();
            while (window && window->parent())
                window = window->parent();
            if (overlay.covered.isNull() && window) {
                overlay.coveredObject = shownIn(window, candidate);
                overlay.covered = screenName(overlay.coveredObject);
            }
            overlays.append(overlay);
        }
    }
    if (!screensQueued) {
        screensQueued = true;
        QMetaObject::invokeMethod(this, &QSentrelEventFilter::screensChanged, Qt::QueuedConnection);
    }
}

// Runs once the thread is back in its event loop, when Qt has shown and hidden what goes
// together.
void QSentrelEventFilter::screensChanged()
{
    screensQueued = false;
    if (!watchingScreens)
        return;
    // The screen as the filter knows it: its object while the last screen view was its own (an
    // object deleted since went with its dialog), none after an explicit transition().
    QString screen = tracker->currentScreen();
    bool own = ownsCurrentScreen();
    QPointer<QObject> object = own ? currentObject : nullptr;
    bool returned = false;
    // Dialogs and popups gone, innermost first: the screen each covered is current again when
    // the current one was in it.
    for (qsizetype i = overlays.size() - 1; i >= 0; --i) {
        const Overlay &overlay = overlays.at(i);
        if (overlay.object && isVisible(overlay.object))
            continue;
        // Also one open before any screen and gone before it was recorded.
        if ((own && (object.isNull() || isWithin(object, overlay.object)))
            || (!own && screen.isEmpty() && overlay.coveredObject)) {
            screen = overlay.covered;
            object = overlay.coveredObject;
            own = !object.isNull();
            returned = true;
        }
        overlays.removeAt(i);
    }
    QObject *page = shownPage;
    shownPage = nullptr;
    if (page && isVisible(page)) {
        page = innermostPage(page);
        screen = screenName(page);
        object = page;
    } else if (!returned) {
        return;
    }
    currentObject = object;
    currentObjectScreen = object ? screen : QString();
    if (!screen.isNull() && screen != tracker->currentScreen())
        tracker->sendScreenView(screen, std::nullopt);
}

// What a window shows beside the overlay: its innermost visible page, else the window itself.
QObject *QSentrelEventFilter::shownIn(QObject *window, const QObject *overlay) const
{
    QObject *shown = window;
    const QList<QObject *> objects = window->findChildren<QObject *>();
    for (QObject *object : objects) {
        if (object->isWidgetType() && isPage(object) && isVisible(object) && isWithin(object, shown)
            && !isWithin(object, overlay))
            shown = object;
    }
    return shown;
}

bool QSentrelEventFilter::ownsCurrentScreen() const
{
    return !currentObjectScreen.isNull() && tracker->currentScreen() == currentObjectScreen;
}

// A Qt Quick page holding a StackView or SwipeView is shown as its current item, innermost
// first.
QObject *QSentrelEventFilter::innermostPage(QObject *page) const
{
    for (int depth = 0; depth < 16; ++depth) {
        QObject *inner = nullptr;
        for (const QPointer<QObject> &view : quickViews) {
            if (view && view != page && isWithin(view, page) && isVisible(view)) {
                inner = view->property("currentItem").value<QObject *>();
                if (inner)
                    break;
            }
        }
        if (!inner || inner == page)
            break;
        page = inner;
    }
    return page;
}

// Qt Quick's StackView, SwipeView and Popup live in a module the core does not link: they are
// known by class name, and connected by the names of their signals.
void QSentrelEventFilter::watchScreensOf(QObject *root)
{
    QList<QObject *> objects = root->findChildren<QObject *>();
    objects.prepend(root);
    static const QMetaMethod viewChanged =
            staticMetaObject.method(staticMetaObject.indexOfSlot("quickViewChanged()"));
    static const QMetaMethod popupShown =
            staticMetaObject.method(staticMetaObject.indexOfSlot("quickPopupShown()"));
    static const QMetaMethod popupHidden =
            staticMetaObject.method(staticMetaObject.indexOfSlot("quickPopupHidden()"));
    const auto connectByName =
            [this](QObject *sender, const char *signal, const QMetaMethod &slot) {
                const QMetaObject *meta = sender->metaObject();
                const int index = meta->indexOfSignal(signal);
                if (index >= 0)
                    connect(sender, meta->method(index), this, slot, Qt::UniqueConnection);
            };
    for (QObject *object : std::as_const(objects)) {
        if (isA(object, "QQuickStackView") || isA(object, "QQuickSwipeView")) {
            connectByName(object, "currentItemChanged()", viewChanged);
            if (!quickViews.contains(object)) {
                quickViews.removeAll(nullptr);
                quickViews.append(object);
            }
            QObject *current = object->property("currentItem").value<QObject *>();
            if (current && isVisible(object))
                considerScreen(current);
        } else if (isA(object, "QQuickPopup")) {
            connectByName(object, "aboutToShow()", popupShown);
            connectByName(object, "closed()", popupHidden);
            if (isVisible(object))
                considerScreen(object);
        }
    }
}

void QSentrelEventFilter::quickViewChanged()
{
    QObject *view = sender();
    if (!watchingScreens || !view)
        return;
    QObject *current = view->property("currentItem").value<QObject *>();
    if (!current)
        return;
    watchScreensOf(current); // views and popups of a page made since
    considerScreen(current);
}

void QSentrelEventFilter::quickPopupShown()
{
    if (watchingScreens && sender())
        considerScreen(sender());
}

void QSentrelEventFilter::quickPopupHidden()
{
    if (watchingScreens)
        considerScreen(nullptr);
}

void QSentrelEventFilter::updateNaming(const QString &policy)
{
    SENTREL_ASSERT_THREAD(this);
    hashedNames.clear();
    if (policy == QLatin1String("hashed")) {
        naming = Naming::Hashed;
        nameKey = tracker->configurationPrivate()->nameKey();
    } else {
        naming = policy == QLatin1String("classes") ? Naming::Classes : Naming::Plain;
        nameKey.clear();
    }
}

// Only an input or drag event can tell that the held one is over: Qt sends other events (focus
// changes, enter and leave, updates) between the deliveries of one input event. The rest of
// what ends it is the return to the event loop, deliveryOver().
bool QSentrelEventFilter::endsHeld(const QEvent *event) const
{
    const int type = event->type();
    if (event->isInputEvent())
        return type != pendingType
                || static_cast<const QInputEvent *>(event)->timestamp() != pendingTimestamp;
    if (!isDragType(type))
        return false;
    const auto *drop = dynamic_cast<const QDropEvent *>(event);
    return !drop || type != pendingType || quintptr(drop->mimeData()) != pendingTimestamp;
}

bool QSentrelEventFilter::eventFilter(QObject *watched, QEvent *event)
{
    SENTREL_ASSERT_THREAD(this);
    // Naming an object or asking for its category may make objects (Qt Quick makes a
    // context object on first use), whose events come back here while one is being
    // captured: they are none of the application's.
    if (capturing)
        return false;

    // Held until its delivery is over, or an event arrives that is another input.
    if (pending && endsHeld(event))
        reportHeld();

    // The first event since the thread was in its event loop: the time away starts.
    if (stallThreshold > 0 && inLoop) {
        inLoop = false;
        awaySince = SentrelClock::current()->steady();
    }

    if (watchingActions) {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Shortcut:
        case QEvent::ContextMenu:
        case QEvent::ActionAdded:
        case QEvent::ActionChanged:
        case QEvent::PlatformSurface:
        case QEvent::Show:
            noteForActions(watched, event);
            break;
        default:
            break;
        }
    }

    if (watchingScreens) {
        switch (event->type()) {
        case QEvent::Show:
        case QEvent::Hide:
        case QEvent::PlatformSurface:
            noteForScreens(watched, event);
            break;
        default:
            break;
        }
    }

    // The lookup of isTracked(), written out: an exported member is called through the PLT.
    if (!trackedEvents.contains(event->type()))
        return false;

    capturing = true;
    capture(watched, event);
    capturing = false;
    return false;
}

void QSentrelEventFilter::capture(QObject *watched, QEvent *event)
{
    if (isStyle(watched))
        return;

    if (resizePending && event->type() != QEvent::Resize)
        reportResize();

    QString category;
    bool (*const ownCategory)(const QObject *, QString *) =
            categoryHook.load(std::memory_order_relaxed);
    if ((!ownCategory || !ownCategory(watched, &category)) && categoryFilter)
        category = categoryFilter->category(watched);
    if (!category.isEmpty() && !tracker->configuration()->categories().contains(category)) {
        qCDebug(lcEventFilter) << "category filtered:" << category;
        // A held earlier delivery of this same event goes unreported with it; one of another
        // event, held across this one, stays.
        if (event->isInputEvent() || isDragType(event->type()))
            pending = false;
        return;
    }

    handleTracked(watched, event);
}

void QSentrelEventFilter::reportHeld()
{
    pending = false;
    tracker->sendEvent(typeKey(pendingType),
                       pendingObject,
                       pendingObjectName,
                       pendingPosition,
                       pendingDetails,
                       pendingObjectPath);
}

void QSentrelEventFilter::reportResize()
{
    resizePending = false;
    tracker->sendEvent(QStringLiteral("Resize"),
                       resizeNames.path,
                       resizeNames.objectName,
                       resizeSize,
                       std::nullopt,
                       resizeNames.indexedPath);
}

void QSentrelEventFilter::deliveryOver()
{
    deliveryOverQueued = false;
    if (pending)
        reportHeld();
}

void QSentrelEventFilter::flush()
{
    SENTREL_ASSERT_THREAD(this);
    if (pending)
        reportHeld();
    if (resizePending)
        reportResize();
    if (screensQueued)
        screensChanged();
}

void QSentrelEventFilter::handleTracked(QObject *watched, QEvent *event)
{
    const int type = event->type();
    std::optional<EventCoordinates> position;
    std::optional<QString> details;

    // Application code may send any QEvent with a tracked type; each event is read through
    // its own class only, and one of another class is reported without position and details.
    if (isHeldPointerType(type)) {
        if (event->isSinglePointEvent()) {
            const auto *pointer = static_cast<QSinglePointEvent *>(event);
            if (pointer->pointCount() > 0)
                position = coordinates(pointer->points().constFirst().globalPosition());
            hold(watched,
                 type,
                 pointer->timestamp(),
                 position,
                 keyOf<Qt::MouseButtons>(int(pointer->button())));
            return;
        }
    } else {
        switch (type) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride: // goes up from the focus object until one claims it
            if (const auto *key = dynamic_cast<const QKeyEvent *>(event)) {
                hold(watched, type, key->timestamp(), std::nullopt, keyDetails(key));
                return;
            }
            break;
        case QEvent::Resize:
            if (const auto *resize = dynamic_cast<const QResizeEvent *>(event)) {
                resizeNames = describe(watched);
                resizeSize = EventCoordinates {resize->size().width(), resize->size().height()};
                resizePending = true;
                return;
            }
            break;
        case QEvent::FocusIn:
        case QEvent::FocusOut:
            if (const auto *focus = dynamic_cast<const QFocusEvent *>(event))
                details = keyOf<Qt::FocusReason>(int(focus->reason()));
            break;
        case QEvent::Shortcut:
            if (const auto *shortcut = dynamic_cast<const QShortcutEvent *>(event))
                details = shortcut->key().toString(QKeySequence::PortableText);
            break;
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TouchCancel:
            if (const auto *touch = dynamic_cast<const QTouchEvent *>(event)) {
                if (touch->pointCount() > 0)
                    position = coordinates(touch->points().constFirst().scenePosition());
            }
            break;
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
            if (const auto *drop = dynamic_cast<const QDropEvent *>(event)) {
                hold(watched,
                     type,
                     quintptr(drop->mimeData()),
                     coordinates(drop->position()),
                     std::nullopt);
                return;
            }
            break;
        case QEvent::ContextMenu:
            if (const auto *menu = dynamic_cast<const QContextMenuEvent *>(event))
                position = coordinates(menu->globalPos());
            break;
#ifndef QT_NO_GESTURES
        case QEvent::NativeGesture:
            if (const auto *gesture = dynamic_cast<const QNativeGestureEvent *>(event)) {
                if (gesture->pointCount() > 0)
                    position = coordinates(gesture->points().constFirst().position());
                details = keyOf<Qt::NativeGestureType>(int(gesture->gestureType()));
            }
            break;
#endif
        default:
            break;
        }
    }
    const Names names = describe(watched);
    tracker->sendEvent(typeKey(type),
                       names.path,
                       names.objectName,
                       position,
                       details,
                       names.indexedPath);
}

void QSentrelEventFilter::hold(QObject *watched,
                               int type,
                               quint64 identity,
                               const std::optional<EventCoordinates> &position,
                               const std::optional<QString> &details)
{
    Names names = describe(watched);
    pendingObject = std::move(names.path);
    pendingObjectName = std::move(names.objectName);
    pendingObjectPath = std::move(names.indexedPath);
    pendingDetails = details;
    pendingPosition = position;
    pendingTimestamp = identity;
    pendingType = type;
    pending = true;
    // Reported once Qt has delivered it to every receiver: when this thread is back in its
    // event loop, unless another input arrives first.
    if (!deliveryOverQueued) {
        deliveryOverQueued = true;
        QMetaObject::invokeMethod(this, &QSentrelEventFilter::deliveryOver, Qt::QueuedConnection);
    }
}
