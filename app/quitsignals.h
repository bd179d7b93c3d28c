// SIGTERM, SIGINT and SIGHUP (a logout, kill, Ctrl+C in the terminal) end
// the program the way closing its window does: a keyed transmitter is keyed
// up, the window's position is stored and the port is closed.
#pragma once

class QWidget;

void closeOnQuitSignals(QWidget *window);
