#include "keyer/cwdaemon.h"

#include <algorithm>
#include <cmath>

namespace Cwdaemon {

namespace {

constexpr char kEscape = 0x1B;

// A request's number: an optional sign and digits, nothing else but a
// trailing line end. Far too many digits is no number either.
std::optional<int> number(QByteArrayView text)
{
    while (!text.isEmpty() && (text.back() == '\n' || text.back() == '\r'))
        text.chop(1);
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    if (i == text.size() || text.size() - i > 6)
        return std::nullopt;
    int value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

Request valued(Kind kind, std::optional<int> value, int min, int max)
{
    if (!value || *value < min || *value > max)
        return {};
    Request request;
    request.kind = kind;
    request.value = *value;
    return request;
}

// The requests without a value, by their letter.
constexpr struct {
    char letter;
    Kind kind;
} kPlainRequests[] = {
    {'0', Kind::Reset}, {'4', Kind::Abort}, {'5', Kind::Exit}, {'6', Kind::WordMode},
    {'8', Kind::Device}, {'9', Kind::Port}, {'b', Kind::SsbWay}, {'e', Kind::BandSwitch},
    {'f', Kind::SoundSystem}, {'g', Kind::Volume},
};

Request escapeRequest(QByteArrayView body)
{
    if (body.isEmpty())
        return {};
    const QByteArrayView value = body.sliced(1);
    switch (body.front()) {
    case '2':
        return valued(Kind::Speed, number(value), kMinWpm, kMaxWpm);
    case '3':
        return valued(Kind::Tone, number(value), 0, 4000);
    case '7':
        return valued(Kind::Weighting, number(value), -50, 50);
    case 'a':
        return valued(Kind::Ptt, number(value), 0, 1);
    case 'c':
        return valued(Kind::Tune, number(value), 0, 10);
    case 'd': {
        // A delay too long is clipped, as cwdaemon does; a negative one is not.
        const auto ms = number(value);
        return valued(Kind::PttDelay, ms ? std::optional<int>(std::min(*ms, 50)) : ms, 0, 50);
    }
    case 'h': {
        Request request;
        request.kind = Kind::ReplyRequest;
        request.text = value.toByteArray();
        return request;
    }
    default:
        break;
    }
    for (const auto &plain : kPlainRequests) {
        if (plain.letter == body.front()) {
            Request request;
            request.kind = plain.kind;
            return request;
        }
    }
    return {};
}

QByteArrayView withoutLineEnds(QByteArrayView text)
{
    while (!text.isEmpty() && (text.back() == '\n' || text.back() == '\r'))
        text.chop(1);
    return text;
}

char upper(char c)
{
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

// What the chip keys for one character of a logger's text, as it is
// appended to keys; false when the chip has nothing for it.
bool appendKeys(QByteArray &keys, char c)
{
    c = upper(c);
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        keys += c;
        return true;
    }
    switch (c) {
    case ' ':
    case '.':
    case ',':
    case '?':
    case '/':
    case '=':
    case '\'':
    case '"':
    case '(':
    case ')':
    case ';':
    case '@':
    case '_':
    case '$':
    case '&': // AS: the chip's own '&'
    case '+':
    case '-':
        keys += c;
        return true;
    case '\t':
    case '\r':
    case '\n':
        keys += ' ';
        return true;
    case '*': // AR is the chip's '<'
        keys += '<';
        return true;
    case '<': // SK is the chip's '>'
        keys += '>';
        return true;
    case '!': // SN and BK have no character of their own on the chip
        keys += QByteArrayView("\x1BSN");
        return true;
    case '>':
        keys += QByteArrayView("\x1B" "BK");
        return true;
    default:
        // '~' (a half space), ':' (the chip's KN) and anything else.
        return false;
    }
}

} // namespace

Request parse(QByteArrayView datagram)
{
    if (datagram.size() > kMaxDatagram)
        return {};
    // A request is a C string: xlog sends a fixed 80 bytes, its text, a NUL
    // and whatever its buffer held after it.
    if (const qsizetype end = datagram.indexOf('\0'); end >= 0)
        datagram.truncate(end);
    if (datagram.isEmpty())
        return {};
    if (datagram.front() == kEscape)
        return escapeRequest(datagram.sliced(1));
    Request request;
    request.kind = Kind::Text;
    // A caret ends the message wherever it stands, as in cwdaemon: what
    // follows it is neither keyed nor sent back, and what precedes it goes
    // back as it came, line ends and all.
    QByteArrayView text = datagram;
    if (const qsizetype caret = text.indexOf('^'); caret >= 0) {
        request.replyWhenKeyed = true;
        text.truncate(caret);
    }
    request.text = keysFor(text);
    request.shown = shownFor(text);
    request.sent = text.toByteArray();
    return request;
}

QByteArray keysFor(QByteArrayView text)
{
    text = withoutLineEnds(text);
    QByteArray keys;
    keys.reserve(text.size());
    for (const char c : text)
        appendKeys(keys, c);
    return keys;
}

QString shownFor(QByteArrayView text)
{
    text = withoutLineEnds(text);
    QString shown;
    shown.reserve(text.size());
    QByteArray keys;
    for (const char c : text) {
        keys.clear();
        if (c == kSpeedUp || c == kSpeedDown || !appendKeys(keys, c))
            continue;
        shown += keys == " " ? QChar(u' ') : QChar::fromLatin1(upper(c));
    }
    return shown;
}

std::optional<quint8> chipWeighting(int weighting)
{
    if (weighting < -50 || weighting > 50)
        return std::nullopt;
    // -50..50 spread over the chip's 10..90, 0 its even 50.
    return quint8(50 + (weighting * 4) / 5);
}

std::optional<quint8> chipSidetone(int hz, quint8 stored)
{
    if (hz <= 0 || hz > 4000)
        return std::nullopt;
    int best = 1;
    for (int code = 2; code <= 10; ++code) {
        if (std::abs(4000.0 / code - hz) < std::abs(4000.0 / best - hz))
            best = code;
    }
    return quint8((stored & 0x80) | best);
}

quint8 chipLeadIn(int ms)
{
    return quint8((std::clamp(ms, 0, 50) + 5) / 10);
}

QByteArray requestedReply(QByteArrayView requestText)
{
    return QByteArray("h") + requestText.toByteArray() + QByteArray("\r\n");
}

QByteArray echoReply(QByteArrayView text)
{
    return text.toByteArray() + QByteArray("\r\n");
}

QByteArray abortedReply()
{
    return QByteArrayLiteral("break\r\n");
}

} // namespace Cwdaemon
