// SPDX-License-Identifier: MIT
#ifndef SCRIPTEDSESSION_H
#define SCRIPTEDSESSION_H

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class QWidget;

// Plays a short session on the demo window with synthetic mouse and key input, one step at a
// time with the event loop running in between, as a person would. Used where no one can see
// the window (the offscreen platform).
class ScriptedSession : public QObject
{
    Q_OBJECT

public:
    // window is not owned and must outlive the session.
    ScriptedSession(QWidget *window, int stepDelay, QObject *parent = nullptr);

    void start();

Q_SIGNALS:
    void finished();
    void failed(const QString &reason);

private:
    void step();
    void addStep(const QString &description, std::function<bool()> action);
    QWidget *widget(const char *name);
    bool click(const char *name);
    bool clickAction(const char *container, const char *action);
    bool type(const char *name, const QString &text);
    bool press(const char *name, Qt::Key key);

    QWidget *window;
    QTimer timer;
    QList<QPair<QString, std::function<bool()>>> steps;
    qsizetype next = 0;
    QString problem;
};

#endif // SCRIPTEDSESSION_H
