// The manual in a window of its own: an HTML file shown by QTextBrowser,
// found beside the executable or where an install put it.
#pragma once

#include <QString>

class QTextBrowser;
class QWidget;

namespace HelpViewer {

// The manual beside the executable, or else the installed one.
QString locate();
// A viewer window for the file, deleted when closed.
QTextBrowser *create(QWidget *parent, const QString &file);

} // namespace HelpViewer
