// SIGTERM, SIGINT, SIGHUP and SIGQUIT (a logout, kill, Ctrl+C or Ctrl+\ in
// the terminal) end the program the way closing its window does: a keyed
// transmitter is keyed up, the window's position is stored and the port is
// closed. Every event loop ends with it, a modal box's included, so that
// nobody has to answer anything on the way out.
#pragma once

class QWidget;

// From now on a quit signal closes this window, once.
void closeOnQuitSignals(QWidget *window);
// The signal that closed it, or 0.
int quitSignal();
