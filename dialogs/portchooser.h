// The small dialog in which the operator picks the keyer's serial port:
// on the first run, and when the stored port cannot be opened.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>
#include <optional>

class QComboBox;
class QLabel;

class PortChooser : public QDialog
{
    Q_OBJECT
public:
    // Ports as (text to store, what the list shows).
    using PortList = QList<std::pair<QString, QString>>;

    // Lists the ports found on this machine.
    explicit PortChooser(const QString &intro, QWidget *parent = nullptr);
    // Lists the ports given instead, so that what is stored does not depend
    // on the machine's ports.
    PortChooser(const QString &intro, const PortList &ports, QWidget *parent = nullptr);

    // The port text as it will be stored: a device path or port name.
    QString chosenPort() const;

    // Shows the chooser modally; nullopt when the operator cancels.
    static std::optional<QString> choose(QWidget *parent, const QString &intro);
    // Shows the chooser with open() and returns at once; chosen() runs with
    // the answer once the operator has given it.
    static void chooseLater(QWidget *parent, const QString &intro,
                            const std::function<void(std::optional<QString>)> &chosen);

    // Ports found on this machine.
    static PortList availablePorts();

private:
    QComboBox *m_ports = nullptr;
};
