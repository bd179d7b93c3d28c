// The main window's status bar: three keyed, sunken panels written by
// position (1 status, 2 port, 3 speed) and told apart by key when clicked.
#pragma once

#include <QList>
#include <QString>
#include <QWidget>

class QLabel;

class StatusPanels : public QWidget
{
    Q_OBJECT
public:
    explicit StatusPanels(QWidget *parent = nullptr);

    // A text too long for its panel shows cut short with an ellipsis, and
    // whole in the panel's tool tip and description.
    void setPanelText(int position, const QString &text);
    // The whole text, however much of it the panel shows.
    QString panelText(int position) const;
    // Says more than fits in the panel: added to its tool tip and to what a
    // screen reader reads as its description. The empty text takes it away.
    void setPanelDetail(int position, const QString &detail);
    QString panelKey(int position) const;
    QLabel *panel(int position) const;

signals:
    void panelClicked(const QString &key);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Panel {
        QLabel *label;
        QString key;
        QString blankName;
        QString toolTip;
        QString description;
        QString text;
        QString detail;
    };
    // Fits the text to the panel's width and says the rest in its tips.
    void showText(Panel &panel);

    QList<Panel> m_panels;
};
