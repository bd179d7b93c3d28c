// The WinKey chip in host mode, without any I/O: bytes from the host go in
// with the time they arrived, the chip's answers, status bytes and keyed
// characters come out. Time only moves when the caller says so, so a test
// can key a whole message in no time and still get exact timings.
#pragma once

#include "chipevent.h"
#include "chipoptions.h"

#include <QByteArray>
#include <QList>
#include <optional>

class ChipModel
{
public:
    static constexpr int kDefaultWpm = 20;
    static constexpr int kMinWpm = 5;
    static constexpr int kMaxWpm = 99;
    // Weighting: 50 keys dits as long as the spaces between them.
    static constexpr int kMinWeight = 10;
    static constexpr int kMaxWeight = 90;
    // Status byte: 0xC0 plus flag bits; busy with room is C4, busy and
    // more than 2/3 full is C5, idle is C0.
    static constexpr quint8 kStatusIdle = 0xC0;
    static constexpr quint8 kStatusXoffBit = 0x01;
    static constexpr quint8 kStatusBusyBit = 0x04;
    static constexpr quint8 kStatusXon = kStatusIdle | kStatusBusyBit;
    static constexpr quint8 kStatusXoff = kStatusXon | kStatusXoffBit;
    static constexpr quint8 kPotFlag = 0x80;
    static constexpr int kBlockSize = 16;
    // Mode register bit that asks for every keyed character to be echoed.
    static constexpr quint8 kModeSerialEcho = 0x04;

    explicit ChipModel(const ChipOptions &options = {});

    // Bytes of one read from the host, at nowMs on the caller's clock.
    void receive(const QByteArray &bytes, double nowMs);
    // Lets the keying run up to nowMs.
    void advance(double nowMs);
    // When advance() has something to do next, if anything.
    std::optional<double> nextDeadline() const;

    // The operator turns the speed knob: the chip reports it at once.
    void turnPot(int pot, double nowMs);
    // The operator holds and releases the flow by hand (XOFF / XON).
    void pauseKeying(double nowMs);
    void resumeKeying(double nowMs);
    // The chip stops answering (or starts again) without losing its state,
    // like a chip whose transmit line broke while it kept working.
    void setSilent(bool silent) { m_options.silent = silent; }
    bool isSilent() const { return m_options.silent; }
    // Power-up state: host mode closed, buffer empty, power-up parameters.
    // The knob keeps its position.
    void reset();

    QByteArray takeOutput();
    QList<ChipEvent> takeEvents();

    bool isHostOpen() const { return m_hostOpen; }
    bool isTuneOn() const { return m_tuneOn; }
    bool isKeying() const { return m_charEnd.has_value(); }
    int pot() const { return m_pot; }
    // Bytes waiting in the buffer, buffered commands included.
    int buffered() const { return int(m_buffer.size()); }
    // The last load-defaults block, 0x0F first; empty before the first one.
    QByteArray parameterBlock() const { return m_block; }
    // The speed the next character is keyed at.
    int speedWpm() const;
    // How long the chip takes for one character at the current speed, in
    // milliseconds; -1 for a character it skips.
    double characterMs(char c) const;
    // The same for letters merged into one sign (1B c1 c2).
    double signMs(const QByteArray &sign) const;

private:
    enum class DropReason { None, Closed, Full };

    void handleByte(quint8 byte, double now);
    void execute(const QByteArray &command, double now);
    void executeAdmin(const QByteArray &command, double now);
    void bufferCommand(const QByteArray &command, double now);
    void startNext(double now);
    // A buffered command the keying has reached; false for text and merged
    // letters, which are keyed.
    bool runBuffered(const QByteArray &entry, double now);
    // The letters of a merge the chip has a code for; the others are skipped.
    QByteArray mergedSign(const QByteArray &letters, double now);
    void finishIfIdle();
    void clearText();
    // Sends the status byte when it differs from the last one sent.
    void reportStatus(bool busy);
    int knobWpm() const;
    quint8 potReport() const;
    void echoKeyed(const QByteArray &sign);
    void reply(quint8 byte);
    void send(quint8 byte);
    void note(const QString &text, double now);
    void record(ChipEvent::Kind kind, const QString &text, double now, int wpm = 0);
    void drop(char c, DropReason reason, double now);
    void flushDrops();

    ChipOptions m_options;
    int m_pot = ChipOptions::kDefaultPot;
    bool m_hostOpen = false;
    bool m_tuneOn = false;
    bool m_paused = false;
    bool m_xoff = false;
    // The status the host was last told, so that only changes are sent.
    quint8 m_status = kStatusIdle;
    // The chip's calibration ends with a lone FF from the host.
    bool m_expectCalibrationFf = false;
    QByteArray m_block;
    // The chip's working parameters in load-defaults order (without 0x0F):
    // the last block as changed since by the commands that set one of them.
    QByteArray m_values;
    // A buffered speed change reached in the text; 0 when none is in force.
    int m_bufferedWpm = 0;
    QByteArray m_eeprom;
    QByteArray m_command;
    // Text and buffered commands in the order they came.
    QByteArray m_buffer;
    std::optional<double> m_charEnd;
    // The character being keyed, or both merged letters.
    QByteArray m_current;
    QByteArray m_dropped;
    DropReason m_dropReason = DropReason::None;
    double m_dropTime = 0;
    QByteArray m_output;
    QList<ChipEvent> m_events;
};
