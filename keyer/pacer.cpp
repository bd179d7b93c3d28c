#include "keyer/pacer.h"

#include "keyer/serialfacility.h"
#include "settings/keyersettings.h"

#include <algorithm>

using namespace Zavo;

Pacer::Pacer(SerialFacility &port, int characterMs, QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_characterMs(characterMs)
{
    // A coarse timer may let the next unit go before the last one is off
    // the wire, and so before the chip's XOFF for it is read.
    m_unitTimer.setSingleShot(true);
    m_unitTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_unitTimer, &QTimer::timeout, this, &Pacer::onUnitTime);
}

void Pacer::start(std::vector<Unit> units)
{
    stop();
    m_units = std::move(units);
    if (!holdsForXoff(true))
        writeNext();
}

void Pacer::resume()
{
    if (!m_held)
        return;
    m_held = false;
    writeNext();
}

void Pacer::stop()
{
    m_unitTimer.stop();
    m_units.reset();
    m_next = 0;
    m_held = false;
}

void Pacer::onUnitTime()
{
    if (!m_units || m_held)
        return;
    if (!holdsForXoff(false))
        writeNext();
}

bool Pacer::holdsForXoff(bool first)
{
    if (!XoffActive)
        return false;
    m_held = true;
    emit held(first);
    return true;
}

// Writes the next unit that has bytes and starts its time on the wire; with
// none left, the message is done.
void Pacer::writeNext()
{
    while (m_next < m_units->size()) {
        const Unit &unit = (*m_units)[m_next++];
        if (unit.charIndex > 0)
            emit unitReached(unit.charIndex);
        if (unit.bytes.isEmpty())
            continue;
        m_port.write(unit.bytes);
        m_unitTimer.start(m_characterMs * int(unit.bytes.size()));
        return;
    }
    const bool keyed = std::any_of(m_units->begin(), m_units->end(), [](const Unit &unit) { return unit.keyed; });
    stop();
    emit finished(keyed);
}
