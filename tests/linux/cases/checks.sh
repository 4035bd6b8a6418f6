#!/usr/bin/env bash
# The station's checks against the simulated receiver, three stations at once: a
# real site's frames at a 12 MHz clock, at its point, raise nothing for over a minute; a receiver
# counting at 20 MHz is told its frequency is wrong; on the third, a second
# receiver's clock mixed in, the wrong mode, lines without time and silence each
# give their journal line, and each is fine again once its cause has gone.
. "$(dirname "$0")/../lib.sh"
lx_begin
ROOT=$LX_WORK
SIM=$LX_TOOLS/simreceiver/simreceiver
CAPTURE=$LX_SOURCE/../shared/data/beast-capture-60s.bin
[ -f "$CAPTURE" ] || CAPTURE=""

# Three stations at once, so that the minute a frequency needs is spent once.
declare -A PID SIMS
# A simulated receiver on the station's line, replacing the one before.
sim() {  # station options...
    local at=$1; shift
    [ -n "${SIMS[$at]:-}" ] && kill "${SIMS[$at]}" 2>/dev/null && wait "${SIMS[$at]}" 2>/dev/null
    "$SIM" --quiet "$@" "$ROOT/$at/portB" >"$ROOT/$at/sim.out" 2>&1 &
    SIMS[$at]=$!
    lx_on_exit "kill $!"
}
station() {  # name
    LX_WORK=$ROOT/$1
    mkdir -p "$LX_WORK" && cd "$LX_WORK" || exit 1
    lx_station 115200
    exec 7>&-  # the simulator is the receiver here
    lx_setting BinarComOn.ini 1 0 0 60
    lx_setting porog.ini 0
    lx_start_service
    PID[$1]=$LX_PID
}
on() {  # station command...
    local at=$1; shift
    LX_WORK=$ROOT/$at LX_PID=${PID[$at]} "$@"
}

station site
lx_setting point.ini 60.1 33.8  # where the capture's aircraft fly; read at SIGHUP
kill -HUP "${PID[site]}"
# The capture once, over longer than the case runs: played in a loop, its last
# positions and its first would pair into fixes that no aircraft flew.
sim site --format binary --rate 200 ${CAPTURE:+--input "$CAPTURE" --count 13954}
station wrong
sim wrong --format binary --rate 300 --clock-hz 20000000
station modes
sim modes --format binary --rate 300 --second-clock

on modes lx_journal 15000 "^check jumps: Метки времени скачут: в потоке несколько приемников\?$"
sim modes --format binary --rate 300
on modes lx_setting BinarComOn.ini 0 0 0 60
kill -HUP "${PID[modes]}"
on modes lx_journal 10000 "^check wrong_mode: Поток бинарный: включите «Бинарный режим источника»$"
sim modes --format text --star --rate 300
on modes lx_journal 10000 "^check wrong_mode: fine again$"
on modes lx_journal 15000 "^check timestamps: Нет меток времени приемника"
sim modes --format text --rate 300 --silent-after 1
on modes lx_journal 15000 "^check timestamps: fine again$"
on modes lx_journal 40000 "^check no_data: Нет данных от источника 30 с$"
sim modes --format text --rate 300
on modes lx_journal 5000 "^check no_data: fine again$"
on modes lx_journal 60000 "^check jumps: fine again$"
on modes lx_stop_service TERM

on wrong lx_journal 60000 "^check frequency: Частота таймера: измерено ~ 20,00 МГц, задано 12,00 МГц$"
on wrong lx_setting frequency.ini 20000000
kill -HUP "${PID[wrong]}"
on wrong lx_journal 5000 "^check frequency: fine again$"
on wrong lx_stop_service TERM

grep -q "^check" "$ROOT/site/service.out" && lx_fail "the site's frames raised: $(grep '^check' "$ROOT/site/service.out")"
lx_log "ok: a site at 12 MHz raised nothing for $(($(date +%s) - $(stat -c %Y "$ROOT/site/sim.out"))) s"
on site lx_stop_service TERM
LX_WORK=$ROOT
cd "$ROOT" || exit 1
