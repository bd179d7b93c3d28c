#include "dialogs/helpviewer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextBrowser>
#include <QUrl>

namespace HelpViewer {

QString locate()
{
    const QDir appDir(QCoreApplication::applicationDirPath());
    const QString beside = appDir.filePath(QStringLiteral("zavokeyer.html"));
    const QString installed = appDir.filePath(QStringLiteral("../share/doc/zavokeyer/zavokeyer.html"));
    if (!QFileInfo::exists(beside) && QFileInfo::exists(installed))
        return QDir::cleanPath(installed);
    return beside;
}

QTextBrowser *create(QWidget *parent, const QString &file)
{
    auto *help = new QTextBrowser(parent);
    help->setWindowFlag(Qt::Window);
    help->setAttribute(Qt::WA_DeleteOnClose);
    help->setObjectName(QStringLiteral("HelpViewer"));
    help->setWindowTitle(QStringLiteral("Zavo Keyer Help"));
    help->setOpenExternalLinks(true);
    help->resize(640, 560);
    if (QFileInfo::exists(file))
        help->setSource(QUrl::fromLocalFile(file));
    else
        help->setPlainText(QStringLiteral("The manual was not found at %1.").arg(file));
    return help;
}

} // namespace HelpViewer
