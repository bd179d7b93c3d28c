#!/usr/bin/env bash
# Planted faults: checks that the tests catch each of a list of small,
# deliberate faults in the program (a flipped comparison, a dropped write, a
# wrong byte, a lost guard).
#
#   bash scripts/mutants.sh [commit] [mutant numbers...]
#
# Copies the tree at <commit> (default HEAD) to /tmp once, builds it, runs the
# suite without the e2e and packaging tests to see that it passes, then for
# each mutant: applies it, rebuilds (one file recompiles), runs
#   ctest -LE 'e2e|packaging' -j6 --stop-on-failure --timeout 300
# and prints which test caught it, or MISSED, and how long judging it took.
# The fastest tests run first, so a caught mutant ends soon; the tests mostly
# wait on the simulated chip, so they run six at a time (MUTANT_JOBS). A
# mutant that no longer applies or does not build says so. The last lines
# printed are the result table.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$root" rev-parse "${1:-HEAD}")
shift || true
short=${commit:0:10}
src=/tmp/zavo-mut-src-$short
build=/tmp/zavo-mut-build-$short

ids=() files=() edits=() whats=()
m() { ids+=("$1"); files+=("$2"); edits+=("$3"); whats+=("$4"); }

m 1 keyer/protocol.cpp 's/mode |= 0x08;/mode |= 0x04;/' "paddle swap sets the wrong mode register bit"
m 2 keyer/protocol.cpp 's/if (t + seconds >= 86400)/if (t + seconds > 86400)/' "a reply deadline at exactly midnight does not wrap"
m 3 keyer/protocol.cpp 's/if (byte <= 191) {/if (byte < 191) {/' "speed byte 191 is not read as a speed"
m 4 keyer/protocol.cpp 's/arg(\*n - 1);/arg(*n);/' "port number 1 names ttyS1 instead of ttyS0"
m 5 keyer/protocol.cpp 's/\*value <= 255)/*value <= 256)/' "parameter 256 is sent (as 0) instead of rejected"
m 6 keyer/protocol.h '/^namespace Block {/,/^}/s/kMinSpeed = 7;/kMinSpeed = 8;/' "speed reports read against the wrong block byte"
m 7 keyer/keyerlink.cpp '/^void KeyerLink::escape/,/^}/s/dropQueuedKeys();/(void)0;/' "Escape keeps the actions queued behind message 1"
m 8 keyer/keyerlink.cpp '/^void KeyerLink::keyUp/,/^}/s/m_port->write(Winkey::tuneCommand(false));/(void)0;/' "closing with tune on leaves the key down"
m 9 keyer/keyerlink.cpp '/^void KeyerLink::run(/,/^}/s/if (TuneOn)/if (false)/' "messages 2 to 5 are sent while tune is on"
m 10 keyer/keyerlink.cpp 's/m_port->discardInput();/(void)0;/' "bytes waiting from before the echo test are not discarded"
m 11 keyer/serialfacility.cpp 's/R_OK | W_OK) == 0;/R_OK | W_OK) != 0;/' "a port held by another program is called a permission problem"
m 12 keyer/serialfacility.cpp 's/    emit portLost(reason);/    (void)reason;/' "an unplugged adapter is not reported"
m 13 settings/settingsstore.cpp 's/if (replacing \&\& ::access(name.constData(), W_OK) != 0) {/if (false) {/' "a read-only settings file is replaced"
m 14 settings/settingsstore.cpp 's/ \&\& !m_noted.contains(id)) {/) {/' "a hand edit is noted again on every read"
m 15 settings/settingsstore.cpp 's/if (m_stamp.exists \&\& !m_standIn \&\& /if (/' "a deleted settings file is not written back for an unchanged value"
m 16 settings/numbers.cpp 's/return std::fmod(floor, 2.0) == 0.0 ? floor : floor + 1.0;/return floor + 1.0;/' "halves round up instead of to even"
m 17 settings/numbers.cpp 's/\[ \\t\]\*\\z/[ \\t]*$/' "a number followed by a line break is taken"
m 18 settings/settingstable.cpp 's/return a->blockByte < b->blockByte;/return a->blockByte > b->blockByte;/' "parameter block bytes in reverse order"
m 19 settings/settingstable.cpp 's/return a->updateOrder < b->updateOrder;/return a->updateOrder > b->updateOrder;/' "Update writes the settings in reverse order"
m 20 dialogs/speed.cpp 's/if (range < 0 || range > kByteMax) {/if (range > kByteMax) {/' "a maximum speed below the minimum is accepted"
m 21 dialogs/speed.cpp 's/"255", "127");/"255", "0");/' "an unchecked speed pot box stores 0 instead of 127"
m 22 dialogs/editmsg.cpp 's/m_text->text().toUpper();/m_text->text();/' "an edited message is stored in lower case"
m 23 dialogs/editmsg.cpp 's/input.count(c) > m_loaded->count(c)/input.count(c) >= m_loaded->count(c)/' "a stored message with a non-ASCII character cannot be edited"
m 24 app/zavomain.cpp 's/if (!isKeyRepeat(event))/if (true)/' "a held key repeats its action"
m 25 app/zavomain.cpp 's/isVisible() \&\& EditIndex == index) {/isVisible()) {/' "the open editor is not reloaded for another message"
m 26 app/zavomain.cpp '/"Config.Panel"/{n;s/showAbout/showHelp/}' "a click on the port panel opens help instead of About"
m 27 app/statuspanels.cpp 's/text.trimmed().isEmpty() ? m_panels\[position - 1\].blankName : text/text/' "a blank panel loses its spoken name"
m 28 app/statuspanels.cpp 's/mouse->button() == Qt::LeftButton/mouse->button() != Qt::LeftButton/' "panels answer the wrong mouse button"
m 29 sim/chipmodel.cpp 's/if (!m_xoff \&\& m_buffer.size() \* 3 > 2 \* m_options.bufferSize) {/if (false) {/' "the simulated chip never sends XOFF"
m 30 keyer/keyerlink.cpp '/^void KeyerLink::goDown/,/^}/s/XoffActive = false;/(void)0;/' "an XOFF outlives the unplugged chip"
m 31 app/statuspanels.cpp '/if (!p.detail.isEmpty()) {/,/}/s/tip << p.detail;/(void)0;/' "panel 1's tip does not say why the link is down"
m 32 keyer/adapterwatch.cpp 's/    m_failed = m_seen;/    (void)0;/' "a device that did not answer is tried again and again"
m 33 settings/numbers.cpp 's/(?:\\.\[0-9\]\*)?|/(?:\\.[0-9]*)?(?:e[0-9]+)?|/' "a number with an exponent is taken"
m 34 keyer/protocol.cpp 's/isNumber ? QStringLiteral("outside 0 to 255")/!isNumber ? QStringLiteral("outside 0 to 255")/' "a rejected parameter is given the other reason"
m 35 keyer/protocol.cpp 's/QLocale::FloatingPointShortest/2/' "the speed range's text is cut to two decimals"
m 36 keyer/protocol.cpp '/^    case 0:/,/break;/s/effect.xoffActive = false;/(void)0;/' "the chip's idle status leaves XOFF on"
m 37 keyer/serialfacility.cpp 's/m_port.setBaudRate(kBaudRate);/m_port.setBaudRate(9600);/' "the port opens at 9600 baud"
m 38 keyer/serialfacility.cpp 's/QSerialPort::NoFlowControl/QSerialPort::HardwareControl/' "the port opens with RTS/CTS handshake"
m 39 keyer/protocol.cpp 's/(u >= 0xA0 \&\& u <= 0xFF)/(u >= 0x80 \&\& u <= 0xFF)/' "C1 control characters of a message reach the chip"
m 40 settings/numbers.cpp 's/return strtod_l(text, nullptr, c);/(void)c; return std::strtod(text, nullptr);/' "numbers are read with the operator's decimal comma"
m 41 dialogs/speed.cpp 's/m_compensation, m_setPoint}) {/m_setPoint}) {/' "a compensation above 255 is stored"
m 42 dialogs/portchooser.cpp 's/return m_ports->itemData(index).toString();/return m_ports->itemText(index);/' "the port chooser stores the list's description"
m 43 settings/settingstable.cpp '/"Weight"/s/, 5, 5, keyer}/, 5, 6, keyer}/' "the weight goes out in PTT lead's byte"
m 44 keyer/protocol.cpp 's/mode |= 0x01;/mode |= 0x02;/' "contest spacing sets the autospace bit"
m 45 keyer/keyerlink.cpp '/^void KeyerLink::press/,/^}/s/if (reinit) {/if (reinit \&\& key == 0) {/' "F12 waits behind a message the chip holds with XOFF"
m 46 keyer/keyerlink.cpp '/^void KeyerLink::setState/,/^}/s/TuneOn = false;/(void)0;/;/^void KeyerLink::goDown/,/^}/s/TuneOn = false;/(void)0;/' "tune outlives a lost link"
m 47 keyer/keyerlink.cpp '/^void KeyerLink::dropQueuedKeys/,/^}/s/^                kept.push_back(std::move(action));/                (void)0;/' "Escape drops a stored Update that waits"
m 48 keyer/keyerlink.cpp '/case State::Idle:/,/break;/s/m_port->setReceiveThreshold(1);/(void)0;/' "a link back from Escape's pause or a start-up no longer reads the chip"
m 49 keyer/keyerlink.cpp 's/starting ? QList<QByteArray>() : m_port->discardOutput();/QList<QByteArray>();/' "Escape waits behind what the line has not sent"
m 50 keyer/keyerlink.cpp '/^void KeyerLink::goDown/,/^}/s/m_watch.start(/if (false) m_watch.start(/' "a link that goes down does not wait for the adapter"
m 51 keyer/keyerlink.cpp 's/echoed = true;/(void)0;/' "a loopback plug passes for the chip"
m 52 keyer/keyerlink.cpp 's/    if (waited || XoffActive)$/    if (false)/' "messages that waited their turn go out in one write each"
m 53 keyer/keyerlink.cpp 's/attemptFailed(m_port->inUse() || m_port->permissionDenied());/attemptFailed(false);/' "a port busy for a moment is never tried again"
m 54 keyer/keyerlink.cpp '/^void KeyerLink::reportRejected/,/^}/s/if (m_automatic)/if (false)/' "a reconnection by itself raises a box"
m 55 keyer/keyerlink.cpp 's/if (m_queuedNetworkCost + cost > Cwdaemon::kMaxQueued)/if (false)/' "a logger's queue has no bound"
m 56 keyer/keyerlink.cpp 's/? dropped : kept)/? kept : kept)/' "a logger's reset keeps the text it had queued"
m 57 keyer/keyerlink.cpp '/^void KeyerLink::escape/,/^}/s/endAwaited(TextOutcome::Aborted);/(void)0;/' "Escape leaves a logger's reply waiting for the chip: no break"
m 58 keyer/loggersession.cpp 's/kSpeedUp ? Cwdaemon::kSpeedStep :/kSpeedUp ? -Cwdaemon::kSpeedStep :/' "a logger's '+' slows down"
m 59 keyer/keyerlink.cpp 's/m_port->write(QByteArray(1, Winkey::kCancelBufferedSpeed));/(void)0;/' "a logger's speed marks outlast its text"
m 60 keyer/loggersession.cpp '/^QByteArray LoggerSession::knobTurned/,/^}/s/return commandBytes({Winkey::kSetSpeed, 0});/return {};/' "the knob does not take the speed back from a logger"
m 61 keyer/keyerlink.cpp '/^bool KeyerLink::networkRequest/,/^}/s/        runQueuedLater();/        runQueued();/' "a logger's request runs at once in Idle, not through the queue"
m 62 keyer/keyerlink.cpp 's|// Exit, the keying device, sound: nothing a client may change here.|if (request.kind == Kind::Exit) m_hooks.terminate(0);|' "a logger's ESC5 ends the program"
m 63 keyer/loggersession.cpp '/^QByteArray LoggerSession::releasePtt/,/^}/s/std::exchange(m_ptt, false) ?/false ?/' "the close, F12 and the Update leave a logger's PTT keyed"
m 64 keyer/keyerlink.cpp 's/if (TuneOn \&\& m_tuneId == tune \&\& isUp())/if (false)/' "a logger's tune never ends"
m 65 keyer/keyerlink.cpp 's/const bool done = awaited.busySeen \&\& awaited.written;/const bool done = awaited.written;/' "a logger's reply goes on an idle status before the chip said busy"
m 66 keyer/adapterwatch.cpp '/^void AdapterWatch::look/,/^}/s/        m_failed.reset();/        (void)0;/' "an adapter that did not answer is never tried again, even unplugged and plugged in"
m 67 keyer/serialfacility.cpp 's/m_port.setDataTerminalReady(true);/m_port.setDataTerminalReady(false);/' "the port opens with DTR off"
m 68 keyer/listenaddress.cpp 's/    if (commandLine)$/    if (commandLine \&\& store.GetSetting(kSection, kKey).isEmpty())/' "the store's network address wins over the command line's"
m 69 settings/settingsstore.cpp 's/const int kept = ::fchmod(fd, old.st_mode \& 07777);/const int kept = 0;/' "a write makes a private store readable by all"
m 70 keyer/cwdaemonserver.cpp "s/return host.toString() + QLatin1Char('\/') + QString::number(port);/(void)port; return host.toString();/" "two loggers on one machine share one reply request"
m 71 keyer/cwdaemon.cpp "s/text.indexOf('^')/text.lastIndexOf('^')/" "what follows a caret mid-text is keyed"
m 72 keyer/cwdaemonserver.cpp 's/    if (request.kind == Cwdaemon::Kind::Reset)$/    if (false)/' "a reset keeps the sender's reply request"
m 73 keyer/cwdaemonserver.cpp 's/if (isOwnAddress(/if (false \&\& isOwnAddress(/' "a datagram forged to come from the server is answered to the server"
m 74 keyer/listenaddress.cpp 's/isOneOf({u"1", u"true", u"yes", u"on"})/isOneOf({u"on"})/' "the store's Cwdaemon=1 is UDP port 1"
m 75 keyer/cwdaemonserver.cpp 's/            if (reply.isEmpty())$/            if (true)/' "the ESC h reply wins over a caret's"

wanted=("$@")
selected() {
    [ ${#wanted[@]} -eq 0 ] && return 0
    local w; for w in "${wanted[@]}"; do [ "$w" = "$1" ] && return 0; done
    return 1
}

log() { echo "[$(date +%H:%M:%S)] $*"; }

if [ ! -d "$src" ]; then
    mkdir -p "$src"
    git -C "$root" archive "$commit" | tar -x -C "$src"
fi
# Warnings fail the build here as in the test command: a mutant that only
# draws a warning is one the test build rejects.
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAVO_WERROR=ON >/dev/null || exit 1

runtests() {
    # Fastest first: ctest starts the costliest tests first, so the measured
    # times of the unmutated run go into its cost file inverted.
    [ -f "$build/costs.fast-first" ] && cp "$build/costs.fast-first" "$build/Testing/Temporary/CTestCostData.txt"
    (cd "$build" && QT_QPA_PLATFORM=offscreen ctest -LE 'e2e|packaging' -j"${MUTANT_JOBS:-6}" --stop-on-failure \
        --timeout 300 --output-on-failure 2>&1)
}

log "building $short"
cmake --build "$build" -j2 >/tmp/zavo-mut-build-$short.log 2>&1 || { log "the unmutated tree does not build"; exit 1; }
log "running the unmutated suite"
if ! out=$(runtests); then
    echo "$out" | tail -30
    log "the unmutated suite fails: no mutant can be judged"
    exit 1
fi
awk '/^---/ {exit} NF == 3 {printf "%s %s %.4f\n", $1, $2, 1000 - $3}' "$build/Testing/Temporary/CTestCostData.txt" >"$build/costs.fast-first"

results=()
for i in "${!ids[@]}"; do
    n=${ids[$i]} file=${files[$i]}
    selected "$n" || continue
    cp "$src/$file" "/tmp/zavo-mut-orig-$short"
    sed -i -e "${edits[$i]}" "$src/$file"
    start=$(date +%s)
    if cmp -s "$src/$file" "/tmp/zavo-mut-orig-$short"; then
        verdict="NOT APPLIED"
    elif ! cmake --build "$build" -j2 >>/tmp/zavo-mut-build-$short.log 2>&1; then
        verdict="DOES NOT BUILD"
    else
        out=$(runtests)
        failed=$(echo "$out" | grep -E '\*\*\*(Failed|Timeout|Exception)|Subprocess aborted|Failed  ' |
                 sed -E -e 's/.*Test +#[0-9]+: ([^ ]+).*/\1/' -e 's/^[[:space:]]*[0-9]+ - ([^ ]+) .*/\1/' |
                 sort -u | paste -sd, -)
        first=$(echo "$out" | grep -m1 -E '^FAIL!|^QFATAL' | sed -E 's/^(FAIL!|QFATAL) *: *//; s/\(.*//' )
        if [ -n "$failed" ]; then
            verdict="caught by $failed${first:+ ($first)} in $(( $(date +%s) - start ))s"
        else
            verdict="MISSED in $(( $(date +%s) - start ))s"
        fi
    fi
    # A fresh copy (and so a fresh time stamp) makes the next build recompile it.
    cp "/tmp/zavo-mut-orig-$short" "$src/$file"
    touch "$src/$file"
    log "mutant $n ($file: ${whats[$i]}): $verdict"
    results+=("$n|$file|${whats[$i]}|$verdict")
done
cmake --build "$build" -j2 >>/tmp/zavo-mut-build-$short.log 2>&1

echo "== results for $commit"
printf '%s\n' "${results[@]}"
