// SPDX-License-Identifier: MIT
#include "scriptedsession.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QTextStream>
#include <QToolBar>
#include <QWidget>

ScriptedSession::ScriptedSession(QWidget *window, int stepDelay, QObject *parent)
    : QObject(parent)
    , window(window)
{
    timer.setInterval(stepDelay);
    connect(&timer, &QTimer::timeout, this, &ScriptedSession::step);

    // The dialog asks on the first run; a decision kept from an earlier run is changed
    // through the home page.
    addStep(QStringLiteral("find the privacy dialog"), [this] {
        auto *dialog = this->window->findChild<QWidget *>(QStringLiteral("privacyDialog"));
        return (dialog && dialog->isVisible()) || click("privacyButton");
    });
    addStep(QStringLiteral("allow tracking"), [this] {
        return click("grantButton");
    });
    addStep(QStringLiteral("say hello"), [this] {
        return click("helloButton");
    });
    addStep(QStringLiteral("read about the demo"), [this] {
        return click("aboutButton");
    });
    addStep(QStringLiteral("press the debug button (its category is filtered)"), [this] {
        return click("debugButton");
    });
    addStep(QStringLiteral("open the File menu"), [this] {
        return clickAction("menuBar", "fileMenu");
    });
    addStep(QStringLiteral("export through the menu"), [this] {
        return clickAction("fileMenu", "exportAction");
    });
    addStep(QStringLiteral("refresh from the tool bar"), [this] {
        return clickAction("toolBar", "refreshAction");
    });
    addStep(QStringLiteral("refresh with its shortcut"), [this] {
        // A shortcut reaches the active window only.
        this->window->activateWindow();
        if (!QTest::qWaitForWindowActive(this->window, 1000)) {
            problem = QStringLiteral("the window did not become active");
            return false;
        }
        QTest::keyClick(this->window, Qt::Key_R, Qt::ControlModifier);
        return true;
    });
    addStep(QStringLiteral("compute something slow"), [this] {
        return clickAction("toolBar", "computeAction");
    });
    addStep(QStringLiteral("open the form"), [this] {
        return click("formButton");
    });
    addStep(QStringLiteral("click into the name field"), [this] {
        return click("nameEdit");
    });
    addStep(QStringLiteral("type a name"), [this] {
        return type("nameEdit", QStringLiteral("Ada"));
    });
    addStep(QStringLiteral("choose a colour"), [this] {
        return press("colourBox", Qt::Key_Down);
    });
    addStep(QStringLiteral("submit the form"), [this] {
        return click("submitButton");
    });
    addStep(QStringLiteral("open the privacy dialog again"), [this] {
        return click("privacyButton");
    });
    addStep(QStringLiteral("look at what is sent"), [this] {
        return click("showEventsButton");
    });
    addStep(QStringLiteral("close the list of waiting events"), [this] {
        if (auto *summary = this->window->findChild<QLabel *>(QStringLiteral("eventsSummary")))
            QTextStream(stdout) << "demo:   " << summary->text() << Qt::endl;
        return click("eventsCloseButton");
    });
    addStep(QStringLiteral("close the privacy dialog"), [this] {
        return click("privacyCloseButton");
    });
    addStep(QStringLiteral("open the settings"), [this] {
        return click("settingsButton");
    });
    addStep(QStringLiteral("switch dark mode on"), [this] {
        return click("darkModeBox");
    });
    addStep(QStringLiteral("choose another edition"), [this] {
        return press("editionBox", Qt::Key_Down);
    });
    addStep(QStringLiteral("start a new session"), [this] {
        return click("newSessionButton");
    });
    addStep(QStringLiteral("go back home"), [this] {
        return click("settingsBackButton");
    });
    addStep(QStringLiteral("enlarge the window"), [this] {
        this->window->resize(this->window->width() + 160, this->window->height() + 80);
        return true;
    });
    addStep(QStringLiteral("visit the settings again"), [this] {
        return click("settingsButton");
    });
    addStep(QStringLiteral("and back"), [this] {
        return click("settingsBackButton");
    });
}

void ScriptedSession::start()
{
    next = 0;
    timer.start();
}

void ScriptedSession::addStep(const QString &description, std::function<bool()> action)
{
    steps.append({description, std::move(action)});
}

void ScriptedSession::step()
{
    if (next == steps.size()) {
        timer.stop();
        Q_EMIT finished();
        return;
    }
    const auto &[description, action] = steps.at(next++);
    QTextStream(stdout) << "demo: " << description << Qt::endl;
    if (!action()) {
        timer.stop();
        Q_EMIT failed(problem);
    }
}

QWidget *ScriptedSession::widget(const char *name)
{
    auto *found = window->findChild<QWidget *>(QLatin1String(name));
    if (!found || !found->isVisible()) {
        problem = QStringLiteral("%1 is not on the screen").arg(QLatin1String(name));
        return nullptr;
    }
    return found;
}

bool ScriptedSession::click(const char *name)
{
    QWidget *target = widget(name);
    if (!target)
        return false;
    // A press and a release, delivered as real input is: in the middle of the widget, or on
    // the indicator of a check box (its label may not span the whole width).
    QPoint position = target->rect().center();
    if (qobject_cast<QCheckBox *>(target))
        position.setX(qMin(8, position.x()));
    QTest::mouseClick(target, Qt::LeftButton, Qt::NoModifier, position);
    return true;
}

// The action's own button in a tool bar, its item in a menu, or a menu's title in a menu bar.
bool ScriptedSession::clickAction(const char *container, const char *action)
{
    QWidget *target = widget(container);
    if (!target)
        return false;
    QAction *found = nullptr;
    for (QAction *each : target->actions()) {
        QObject *named = each->menu() ? static_cast<QObject *>(each->menu()) : each;
        if (named->objectName() == QLatin1String(action))
            found = each;
    }
    QRect area;
    if (auto *menu = qobject_cast<QMenu *>(target); menu && found) {
        area = menu->actionGeometry(found);
    } else if (auto *bar = qobject_cast<QMenuBar *>(target); bar && found) {
        area = bar->actionGeometry(found);
    } else if (auto *tools = qobject_cast<QToolBar *>(target); tools && found) {
        target = tools->widgetForAction(found);
        area = target ? target->rect() : QRect();
    }
    if (area.isEmpty()) {
        problem = QStringLiteral("%1 is not in %2")
                          .arg(QLatin1String(action), QLatin1String(container));
        return false;
    }
    QTest::mouseClick(target, Qt::LeftButton, Qt::NoModifier, area.center());
    return true;
}

bool ScriptedSession::type(const char *name, const QString &text)
{
    QWidget *target = widget(name);
    if (!target)
        return false;
    QTest::keyClicks(target, text);
    return true;
}

bool ScriptedSession::press(const char *name, Qt::Key key)
{
    QWidget *target = widget(name);
    if (!target)
        return false;
    target->setFocus(Qt::TabFocusReason);
    QTest::keyClick(target, key);
    return true;
}
