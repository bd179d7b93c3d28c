// The small dialog in which the operator picks the keyer's serial port:
// on the first run, and when the stored port cannot be opened.
#pragma once

#include <QDialog>
#include <QString>

#include <optional>

class QComboBox;
class QLabel;

class PortChooser : public QDialog
{
    Q_OBJECT
public:
    explicit PortChooser(const QString &intro, QWidget *parent = nullptr);

    // The port text as it will be stored: a device path or port name.
    QString chosenPort() const;

    // Shows the chooser modally; nullopt when the operator cancels.
    static std::optional<QString> choose(QWidget *parent, const QString &intro);

    // Ports found on this machine: (text to store, what the list shows).
    static QList<std::pair<QString, QString>> availablePorts();

private:
    QComboBox *m_ports = nullptr;
};
