// SPDX-License-Identifier: MIT
#ifndef QUITONSIGNALS_H
#define QUITONSIGNALS_H

class QCoreApplication;

// Turns SIGINT and SIGTERM (on Windows: Ctrl+C, Ctrl+Break and closing the console) into a
// normal end of app's event loop, so that the program ends as after its own quit: the tracker
// records an orderly shutdown, the collector prints its summary.
void quitOnSignals(QCoreApplication &app);

#endif // QUITONSIGNALS_H
