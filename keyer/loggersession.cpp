#include "keyer/loggersession.h"

#include "keyer/protocol.h"

#include <algorithm>

namespace {

// A command and its argument bytes, as written.
QByteArray commandBytes(std::initializer_list<char> bytes)
{
    return QByteArray(bytes.begin(), qsizetype(bytes.size()));
}

} // namespace

void LoggerSession::startOver(const QByteArray &block)
{
    m_block = block;
    m_pttSinceStart = false;
    m_wpm = 0;
    m_ptt = false;
    m_pttKeyed = false;
    m_sidetoneSilenced = false;
}

void LoggerSession::end()
{
    // Its PTT off may not have reached the chip before the line went.
    m_pttLost = m_pttLost || m_pttSinceStart;
    m_wpm = 0;
    m_ptt = false;
    m_pttKeyed = false;
    m_sidetoneSilenced = false;
}

bool LoggerSession::isReady() const
{
    return m_block.size() == Winkey::kParameterBlockSize;
}

QList<QByteArray> LoggerSession::commands(const Cwdaemon::Request &request)
{
    using Kind = Cwdaemon::Kind;
    if (!isReady())
        return {};
    const auto stored = [this](int index) { return m_block.at(index); };
    switch (request.kind) {
    case Kind::Speed:
        m_wpm = request.value;
        return {commandBytes({Winkey::kSetSpeed, char(request.value)})};
    case Kind::Weighting:
        if (const auto weighting = Cwdaemon::chipWeighting(request.value))
            return {commandBytes({Winkey::kSetWeighting, char(*weighting)})};
        return {};
    case Kind::Tone: {
        const char pins = stored(Winkey::Block::kPinConfig);
        if (request.value == 0) {
            m_sidetoneSilenced = true;
            return {commandBytes({Winkey::kPinConfig, char(pins & ~Winkey::kPinSidetone)})};
        }
        QList<QByteArray> out;
        if (const auto tone = Cwdaemon::chipSidetone(request.value, quint8(stored(Winkey::Block::kSidetone))))
            out << commandBytes({Winkey::kSidetone, char(*tone)});
        if (std::exchange(m_sidetoneSilenced, false))
            out << commandBytes({Winkey::kPinConfig, pins});
        return out;
    }
    case Kind::PttDelay:
        return {commandBytes({Winkey::kPttTimes, char(Cwdaemon::chipLeadIn(request.value)), stored(Winkey::Block::kTail)})};
    case Kind::Ptt:
        m_ptt = request.value != 0;
        m_pttKeyed = m_pttKeyed || m_ptt;
        m_pttSinceStart = m_pttSinceStart || m_ptt;
        return {commandBytes({Winkey::kPtt, char(request.value)})};
    case Kind::Reset: {
        // Each command a unit of its own: an Escape may drop the rest whole.
        QList<QByteArray> out{commandBytes({Winkey::kSetSpeed, 0}),
                              commandBytes({Winkey::kSetWeighting, stored(Winkey::Block::kWeighting)}),
                              commandBytes({Winkey::kSidetone, stored(Winkey::Block::kSidetone)}),
                              commandBytes({Winkey::kPinConfig, stored(Winkey::Block::kPinConfig)}),
                              commandBytes({Winkey::kPttTimes, stored(Winkey::Block::kLeadIn), stored(Winkey::Block::kTail)})};
        if (m_ptt)
            out << commandBytes({Winkey::kPtt, 0});
        // The knob's speed, for panel 3.
        out << Winkey::getSpeedPot();
        m_wpm = 0;
        m_ptt = false;
        m_sidetoneSilenced = false;
        return out;
    }
    default:
        return {};
    }
}

std::vector<LoggerSession::TextUnit> LoggerSession::textUnits(const QByteArray &keys, int wpm, bool &speedChanged) const
{
    std::vector<TextUnit> units;
    // Pinned to the speed it was sent with: a speed or a reset that comes
    // while the chip still keys it takes effect after it, as in cwdaemon.
    // Its end (the link's 1E) goes back to the chip's own speed.
    units.push_back({commandBytes({Winkey::kBufferedSpeed, char(wpm)}), false});
    speedChanged = true;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const char key = keys.at(i);
        if (key == Cwdaemon::kSpeedUp || key == Cwdaemon::kSpeedDown) {
            const int step = key == Cwdaemon::kSpeedUp ? Cwdaemon::kSpeedStep : -Cwdaemon::kSpeedStep;
            const int next = std::clamp(wpm + step, Cwdaemon::kMinWpm, 99);
            if (next == wpm)
                continue;
            wpm = next;
            units.push_back({commandBytes({Winkey::kBufferedSpeed, char(wpm)}), false});
        } else if (key == Cwdaemon::kMergeLetters) {
            const QByteArray merged = keys.mid(i, 3);
            i += merged.size() - 1;
            units.push_back({merged.size() == 3 ? merged : QByteArray(), true});
        } else {
            units.push_back({QByteArray(1, key), true});
        }
    }
    return units;
}

QByteArray LoggerSession::knobTurned()
{
    if (std::exchange(m_wpm, 0) == 0)
        return {};
    return commandBytes({Winkey::kSetSpeed, 0});
}

QByteArray LoggerSession::releasePtt()
{
    return std::exchange(m_ptt, false) ? commandBytes({Winkey::kPtt, 0}) : QByteArray();
}

QByteArray LoggerSession::pttOff()
{
    return commandBytes({Winkey::kPtt, 0});
}

QByteArray LoggerSession::pttOffOnReturn()
{
    return std::exchange(m_pttLost, false) ? commandBytes({Winkey::kPtt, 0}) : QByteArray();
}

QByteArray LoggerSession::pttOffAfterClear()
{
    const bool keyed = m_ptt || m_pttKeyed;
    m_ptt = false;
    m_pttKeyed = false;
    return keyed ? commandBytes({Winkey::kPtt, 0}) : QByteArray();
}
