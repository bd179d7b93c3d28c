// The port chooser. The first run and a port that cannot be opened both end
// here, before the main window exists, so it must work by keyboard and
// screen reader alone.
#include "dialogs/portchooser.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QVBoxLayout>

PortChooser::PortChooser(const QString &intro, QWidget *parent)
    : PortChooser(intro, availablePorts(), parent)
{
}

PortChooser::PortChooser(const QString &intro, const PortList &ports, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("PortChooser"));
    setWindowTitle(QStringLiteral("Zavo Keyer - Keyer Port"));

    auto *text = new QLabel(intro, this);
    text->setWordWrap(true);
    text->setObjectName(QStringLiteral("PortIntro"));

    m_ports = new QComboBox(this);
    m_ports->setObjectName(QStringLiteral("PortList"));
    m_ports->setEditable(true); // a port the scan missed can be typed
    m_ports->setInsertPolicy(QComboBox::NoInsert);
    m_ports->setAccessibleName(QStringLiteral("Serial port"));
    m_ports->setAccessibleDescription(
        QStringLiteral("The serial port the WinKey keyer is connected to; pick one or type a device path"));
    // The open list and the typing field are objects of their own to a
    // screen reader, and would be announced nameless.
    m_ports->view()->setAccessibleName(QStringLiteral("Serial ports found"));
    m_ports->view()->setAccessibleDescription(QStringLiteral("The serial ports found on this computer"));
    m_ports->lineEdit()->setAccessibleName(QStringLiteral("Serial port"));
    m_ports->lineEdit()->setAccessibleDescription(
        QStringLiteral("Type the device path of the port, such as /dev/ttyUSB0"));
    for (const auto &[port, shown] : ports)
        m_ports->addItem(shown, port);
    auto *label = new QLabel(QStringLiteral("&Port:"), this);
    label->setBuddy(m_ports);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("PortButtons"));
    buttons->setAccessibleName(QStringLiteral("Confirm"));
    buttons->setAccessibleDescription(QStringLiteral("Use the port, or cancel"));
    buttons->button(QDialogButtonBox::Ok)->setAccessibleDescription(
        QStringLiteral("Uses the port shown for the keyer"));
    buttons->button(QDialogButtonBox::Cancel)->setAccessibleDescription(
        QStringLiteral("Chooses no port; Zavo Keyer then ends"));

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(label);
    layout->addWidget(m_ports);
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto updateOk = [this, buttons] {
        buttons->button(QDialogButtonBox::Ok)->setEnabled(!chosenPort().isEmpty());
    };
    connect(m_ports, &QComboBox::currentTextChanged, this, updateOk);
    updateOk();
    resize(420, sizeHint().height());
}

QString PortChooser::chosenPort() const
{
    const int index = m_ports->currentIndex();
    // The list shows descriptions; a typed text is taken as it stands.
    if (index >= 0 && m_ports->itemText(index) == m_ports->currentText())
        return m_ports->itemData(index).toString();
    return m_ports->currentText().trimmed();
}

std::optional<QString> PortChooser::choose(QWidget *parent, const QString &intro)
{
    PortChooser chooser(intro, parent);
    if (chooser.exec() != QDialog::Accepted || chooser.chosenPort().isEmpty())
        return std::nullopt;
    return chooser.chosenPort();
}

void PortChooser::chooseLater(QWidget *parent, const QString &intro,
                              const std::function<void(std::optional<QString>)> &chosen)
{
    auto *chooser = new PortChooser(intro, parent);
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    connect(chooser, &QDialog::finished, chooser, [chooser, chosen](int result) {
        const QString port = chooser->chosenPort();
        chosen(result == QDialog::Accepted && !port.isEmpty() ? std::optional<QString>(port) : std::nullopt);
    });
    chooser->open();
}

PortChooser::PortList PortChooser::availablePorts()
{
    PortList ports;
#ifdef Q_OS_LINUX
    // The by-id links keep their names when adapters are plugged in another order.
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo &link : byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        const QString target = QFileInfo(link.canonicalFilePath()).fileName();
        ports.append({link.absoluteFilePath(), QStringLiteral("%1 (%2)").arg(link.fileName(), target)});
    }
#endif
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        const QString description = info.description().isEmpty()
            ? info.systemLocation()
            : QStringLiteral("%1 - %2").arg(info.systemLocation(), info.description());
        ports.append({info.systemLocation(), description});
    }
    return ports;
}
