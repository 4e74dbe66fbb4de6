// SPDX-License-Identifier: MIT
#include "qsentrelquicktracker.h"

#include "sentrelobjecthooks_p.h"

#include <QHash>
#include <QMetaProperty>
#include <QQmlContext>
#include <QQmlEngineExtensionPlugin>
#include <QtQml/qqml.h>

void qml_register_types_SentrelTracker();

namespace {

// "Button_QMLTYPE_12" and "Item_QML_3" are the QML engine's names for a type defined in QML
// and for an object with properties of its own; the part before the suffix is the type.
QString withoutEngineSuffix(const char *className)
{
    qsizetype end = qsizetype(qstrlen(className));
    for (;;) {
        qsizetype digits = end;
        while (digits > 0 && className[digits - 1] >= '0' && className[digits - 1] <= '9')
            --digits;
        if (digits == end)
            break;
        const QByteArrayView head(className, digits);
        if (head.endsWith("_QMLTYPE_"))
            end = digits - qsizetype(sizeof("_QMLTYPE_") - 1);
        else if (head.endsWith("_QML_"))
            end = digits - qsizetype(sizeof("_QML_") - 1);
        else
            break;
    }
    return QString::fromUtf8(className, end);
}

// The reverse lookup also answers with the name of a property of the context object (the
// document's root) that holds the object, such as a window's "activeFocusControl".
bool isContextObjectProperty(const QQmlContext *context, const QString &name, const QObject *object)
{
    const QObject *root = context->contextObject();
    if (!root)
        return false;
    const QByteArray property = name.toUtf8();
    const int index = root->metaObject()->indexOfProperty(property.constData());
    return index >= 0
            && root->metaObject()->property(index).read(root).value<QObject *>() == object;
}

// Objects that QML did not create keep the core's naming. A QML id never changes, and the
// reverse lookup reads every property of the document's root, so each QML object's name is
// looked up once; the cache lives on the application's thread, as the objects named do.
QString qmlPathName(const QObject *object)
{
    // Never destroyed: QML objects may outlive the plugin's statics at exit.
    static auto *const names = new QHash<const QObject *, QString>;
    const auto known = names->constFind(object);
    if (known != names->constEnd())
        return *known;
    QQmlContext *context = qmlContext(object);
    if (!context)
        return QString();
    QString name = context->nameForObject(object);
    if (name.isEmpty() || isContextObjectProperty(context, name, object))
        name = withoutEngineSuffix(object->metaObject()->className());
    names->insert(object, name);
    QObject::connect(object, &QObject::destroyed, [object] {
        names->remove(object);
    });
    return name;
}

// Qt Quick hands a click to the items inside a control as well (its label, for one), so an
// item's category is that of the nearest item around it, itself included, that has one.
bool qmlCategory(const QObject *object, QString *category)
{
    for (; object; object = object->parent()) {
        const auto *attached = static_cast<QSentrelQuickTrackerAttached *>(
                qmlAttachedPropertiesObject<QSentrelQuickTracker>(object, false));
        if (attached && attached->hasCategory()) {
            *category = attached->category();
            return true;
        }
    }
    return false;
}

} // namespace

// Loaded once by the first QML engine that imports SentrelTracker and kept until the process
// ends; while it exists, automatic capture names QML items by their ids and reads their
// Tracker.category.
class QSentrelQuickPlugin : public QQmlEngineExtensionPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QQmlEngineExtensionInterface_iid)

public:
    explicit QSentrelQuickPlugin(QObject *parent = nullptr) : QQmlEngineExtensionPlugin(parent)
    {
        // Keeps the generated registration linked in.
        volatile auto registration = &qml_register_types_SentrelTracker;
        Q_UNUSED(registration)
        SentrelObjectHooks hooks;
        hooks.pathName = qmlPathName;
        hooks.category = qmlCategory;
        sentrelSetObjectHooks(hooks);
    }

    ~QSentrelQuickPlugin() override { sentrelSetObjectHooks(SentrelObjectHooks()); }
};

#include "qsentrelquickplugin.moc"
