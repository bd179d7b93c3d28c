// Fuzz target: a datagram from a logger read as a cwdaemon request, and the
// chip's values the link makes of a request's number; each check() names its rule.
//
// Input: one datagram, as it comes off the socket. Its first five bytes
// (when there are five) are also read as a little-endian 32-bit number and
// a stored sidetone byte, so that the conversions see every int, not only
// what a request lets through.
#include "harness.h"

#include "keyer/cwdaemon.h"

#include <QtEndian>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>

using Cwdaemon::Kind;

namespace {

struct Letter {
    char letter;
    Kind kind;
    int min = 0; // a valued request's range; min > max: no value
    int max = -1;
};
// The cwdaemon README's list of escaped requests.
constexpr Letter kLetters[] = {
    {'0', Kind::Reset}, {'2', Kind::Speed, 5, 60}, {'3', Kind::Tone, 0, 4000}, {'4', Kind::Abort},
    {'5', Kind::Exit}, {'6', Kind::WordMode}, {'7', Kind::Weighting, -50, 50}, {'8', Kind::Device},
    {'9', Kind::Port}, {'a', Kind::Ptt, 0, 1}, {'b', Kind::SsbWay}, {'c', Kind::Tune, 0, 10},
    {'d', Kind::PttDelay, 0, 50}, {'e', Kind::BandSwitch}, {'f', Kind::SoundSystem}, {'g', Kind::Volume},
    {'h', Kind::ReplyRequest},
};

QString hex(QByteArrayView bytes)
{
    return QString::fromLatin1(bytes.toByteArray().toHex(' '));
}

// The values involved, put into words only for a broken rule: most inputs
// break none, and the words would cost more than the checks.
using Where = std::function<QString()>;
void check(bool holds, const char *rule, const Where &where)
{
    if (!holds)
        require(false, rule, where());
}

bool isLetter(char c)
{
    return c >= 'A' && c <= 'Z';
}
bool isAlnum(char c)
{
    return isLetter(c) || (c >= '0' && c <= '9');
}

// The value strtol reads, when the text (a line end after it aside) is
// short and nothing but an optional '-' and digits.
std::optional<long> plainNumber(QByteArray text)
{
    while (text.endsWith('\n') || text.endsWith('\r'))
        text.chop(1);
    const qsizetype sign = text.startsWith('-') ? 1 : 0;
    if (text.size() - sign < 1 || text.size() - sign > 4)
        return std::nullopt;
    for (qsizetype i = sign; i < text.size(); ++i)
        if (text.at(i) < '0' || text.at(i) > '9')
            return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text.constData(), &end, 10);
    if (errno != 0 || end != text.constData() + text.size())
        return std::nullopt;
    return value;
}

void checkEscape(const QByteArray &datagram, const Cwdaemon::Request &request, const Where &where)
{
    const Letter *letter = nullptr;
    for (const Letter &l : kLetters)
        if (datagram.size() > 1 && datagram.at(1) == l.letter)
            letter = &l;
    if (!letter) {
        check(request.kind == Kind::Invalid, "ESC with no request letter is Invalid", where);
        return;
    }
    const bool valued = letter->min <= letter->max;
    check(request.kind == letter->kind || (valued && request.kind == Kind::Invalid),
        "ESC and a letter is the request the letter names", where);
    if (request.kind == Kind::ReplyRequest)
        check(request.text == datagram.mid(2), "the ESCh reply is the rest as it came", where);
    else
        check(request.text.isEmpty(), "only a text and a reply request carry a text", where);
    if (!valued) {
        check(request.value == 0, "a request without a value has none", where);
        return;
    }
    if (request.kind != Kind::Invalid)
        check(request.value >= letter->min && request.value <= letter->max,
            "a valued request is within its documented range", where);
    const std::optional<long> plain = plainNumber(datagram.mid(2));
    const long clipped = letter->kind == Kind::PttDelay && plain && *plain > 50 ? 50 : plain.value_or(0);
    if (plain && clipped >= letter->min && clipped <= letter->max)
        check(request.kind == letter->kind && request.value == clipped,
            "a plain decimal value in range is taken (a PTT delay clipped to 50)", where);
}

void checkText(const QByteArray &datagram, const Cwdaemon::Request &request, const Where &where)
{
    const QByteArray &keys = request.text;
    QByteArray keyed; // the letters and digits of the keys, merged ones aside
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const char c = keys.at(i);
        if (c == Cwdaemon::kMergeLetters) {
            check(i + 2 < keys.size() && isLetter(keys.at(i + 1)) && isLetter(keys.at(i + 2)),
                "a merge in the keys is ESC and two letters, whole", where);
            i += 2;
            continue;
        }
        check(c >= 0x20 && c <= 0x5F,
            "the keys hold only what the chip keys as text: no lower case, no command", where);
        if (isAlnum(c))
            keyed += c;
    }
    QByteArray expected;
    for (const char c : datagram.toUpper())
        if (isAlnum(c))
            expected += c;
    check(keyed == expected, "the keys carry the datagram's letters and digits, upper case, in order", where);
    for (const char mark : { Cwdaemon::kSpeedUp, Cwdaemon::kSpeedDown })
        check(keys.count(mark) == datagram.count(mark),
            "the keys have the datagram's speed marks, no more, no less", where);

    QByteArray shownAlnum;
    for (const QChar c : request.shown) {
        check(c.unicode() >= 0x20 && c.unicode() < 0x7F && !c.isLower() && c != QLatin1Char('+')
                && c != QLatin1Char('-'),
            "panel 1 shows printable ASCII without lower case or speed marks", where);
        if (isAlnum(char(c.unicode())))
            shownAlnum += char(c.unicode());
    }
    check(shownAlnum == keyed, "panel 1 shows the letters and digits that go on the air", where);
}

void checkChipValues(qint32 number, quint8 stored)
{
    const Where where
        = [=] { return QStringLiteral("number %1, stored sidetone %2").arg(number).arg(stored, 0, 16); };
    const std::optional<quint8> weighting = Cwdaemon::chipWeighting(number);
    if (number < -50 || number > 50)
        check(!weighting, "no chip weighting outside -50..50", where);
    else
        check(weighting && *weighting >= 10 && *weighting <= 90
                && std::abs(*weighting - (50 + 0.8 * number)) < 1,
            "a weighting of -50..50 is the chip's 10..90, 0 its 50", where);

    const std::optional<quint8> tone = Cwdaemon::chipSidetone(number, stored);
    if (number <= 0 || number > 4000) {
        check(!tone, "no chip sidetone for 0 Hz or beyond 4000 Hz", where);
    } else {
        const int n = tone ? *tone & 0x7F : 0;
        check(tone && (*tone & 0x80) == (stored & 0x80) && n >= 1 && n <= 10,
            "the sidetone byte is a divisor 1..10 with the stored top bit", where);
        for (int k = 1; k <= 10; ++k)
            check(std::abs(4000.0 / n - number) <= std::abs(4000.0 / k - number),
                "the sidetone is the chip's nearest pitch", where);
    }

    const int lead = Cwdaemon::chipLeadIn(number);
    const int ms = number < 0 ? 0 : number > 50 ? 50 : number;
    check(lead >= 0 && lead <= 5 && lead * 10 - ms > -5 && lead * 10 - ms <= 5,
        "the lead-in is the delay in 0..50 ms as the nearest 10 ms step, a half step up", where);
}

} // namespace

void fuzzOne(const QByteArray &datagram)
{
    const Cwdaemon::Request request = Cwdaemon::parse(datagram);
    const Where where = [&] {
        return QStringLiteral("datagram %1: kind %2, value %3, text %4, shown %5")
            .arg(hex(datagram))
            .arg(int(request.kind))
            .arg(request.value)
            .arg(hex(request.text), shown(request.shown));
    };
    // A request ends at its first NUL, as a C string: xlog pads with whatever its buffer held.
    const qsizetype nul = datagram.indexOf('\0');
    const QByteArray string = nul < 0 ? datagram : datagram.left(nul);
    if (string.isEmpty() || datagram.size() > Cwdaemon::kMaxDatagram) {
        check(request.kind == Kind::Invalid && request.text.isEmpty(),
            "an empty datagram or one over 256 bytes is Invalid", where);
    } else if (string.front() == '\x1B') {
        checkEscape(string, request, where);
    } else {
        check(request.kind == Kind::Text, "a datagram not starting with ESC is text", where);
        const qsizetype caret = string.indexOf('^');
        const QByteArray message = caret < 0 ? string : string.left(caret);
        check(request.replyWhenKeyed == (caret >= 0) && request.sent == message,
            "a caret asks for the text before it back, and ends the text", where);
        checkText(message, request, where);
    }

    if (datagram.size() >= 5)
        checkChipValues(qFromLittleEndian<qint32>(datagram.constData()), quint8(datagram.at(4)));
}
