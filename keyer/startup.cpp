#include "keyer/startup.h"

#include "keyer/serialfacility.h"
#include "settings/keyersettings.h"

using namespace Zavo;

namespace {

// The echo test and host open each get this long to be answered.
constexpr qint32 kReplySeconds = 2;

} // namespace

ChipStartUp::ChipStartUp(SerialFacility &port, const LinkTimings &timings, std::function<double()> clock,
                         QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_timings(timings)
    , m_clock(std::move(clock))
{
    // A coarse timer may end a pause 5 % early.
    m_stepTimer.setSingleShot(true);
    m_stepTimer.setTimerType(Qt::PreciseTimer);
    // The reply's deadline is the clock's; the timer only looks at it.
    m_replyTimer.setInterval(m_timings.replyRecheckMs);
    connect(&m_stepTimer, &QTimer::timeout, this, &ChipStartUp::onStepTimer);
    connect(&m_replyTimer, &QTimer::timeout, this, &ChipStartUp::checkReply);
}

void ChipStartUp::setStep(Step step)
{
    if (m_step == step)
        return;
    m_step = step;
    emit stepChanged(step);
}

void ChipStartUp::begin()
{
    m_chipAnswered = false;
}

void ChipStartUp::pauseBeforeOpen()
{
    startStep(Step::ReinitPause, m_timings.reinitPauseMs);
}

void ChipStartUp::ask()
{
    setStep(Step::Asking);
}

void ChipStartUp::portOpened()
{
    startStep(Step::OpenPause, m_timings.openPauseMs);
}

void ChipStartUp::blockWritten()
{
    startStep(Step::BlockPause, m_timings.blockPauseMs);
}

void ChipStartUp::bytesArrived()
{
    if (m_step == Step::Echo || m_step == Step::Revision)
        checkReply();
}

void ChipStartUp::end()
{
    m_stepTimer.stop();
    m_replyTimer.stop();
    setStep(Step::None);
}

void ChipStartUp::startStep(Step step, int ms)
{
    setStep(step);
    m_stepTimer.start(ms);
}

void ChipStartUp::onStepTimer()
{
    switch (m_step) {
    case Step::ReinitPause:
        emit openDue();
        return;
    case Step::OpenPause:
        m_port.write(Winkey::calibrateHead());
        return startStep(Step::Calibrate, m_timings.calibrateMs);
    case Step::Calibrate:
        m_port.write(Winkey::calibrateTail());
        // Whatever waited from before the port was (re)opened answers
        // nothing, and an XOFF from then has lost the C4 that would end it.
        m_port.discardInput();
        XoffActive = false;
        m_port.write(Winkey::echoTest());
        return startReplyWait(Step::Echo);
    case Step::BlockPause:
        emit blockDone();
        return;
    default:
        return;
    }
}

void ChipStartUp::startReplyWait(Step step)
{
    setStep(step);
    const double start = m_clock();
    m_replyDeadline.emplace(Winkey::timeoutAt(kReplySeconds, start), start);
    m_replyTimer.start();
}

// The awaited reply, from what the chip has sent; on every arrival and on
// the recheck timer until the deadline.
void ChipStartUp::checkReply()
{
    if (m_step != Step::Echo && m_step != Step::Revision) {
        m_replyTimer.stop();
        return;
    }
    const std::optional<quint8> wanted =
        m_step == Step::Echo ? std::optional<quint8>(quint8(Winkey::kEchoByte)) : std::nullopt;
    std::optional<quint8> reply;
    bool echoed = false;
    // Status bytes and speed reports can come at any time; they are never
    // the answer, so they go to the receive path.
    while (!reply && !echoed && m_port.inBufferCount() > 0) {
        const auto byte = static_cast<quint8>(m_port.input().at(0));
        if (Winkey::isUnsolicited(byte))
            emit unsolicited(byte);
        else if (byte == 0x00)
            echoed = true; // our own command coming back: a loopback, not the chip
        else if (!wanted || byte == *wanted)
            reply = byte;
        // Anything else is line noise.
    }
    if (echoed) {
        emit noReply();
        return;
    }
    if (reply) {
        m_replyTimer.stop();
        if (m_step == Step::Echo)
            onEcho();
        else
            emit revision(*reply);
        return;
    }
    if (m_replyDeadline->passed(m_clock()))
        emit noReply();
}

void ChipStartUp::onEcho()
{
    m_chipAnswered = true;
    // One answer is all the echo test wants; anything after it is stale.
    while (m_port.inBufferCount() > 0) {
        const auto byte = static_cast<quint8>(m_port.input().at(0));
        if (Winkey::isUnsolicited(byte))
            emit unsolicited(byte);
    }
    m_port.write(Winkey::hostOpen());
    // No firmware has revision 0: a 00 is the command coming back.
    startReplyWait(Step::Revision);
}
