#!/usr/bin/env bash
# The station's checks against the simulated receiver: a real site's frames at a
# 12 MHz clock raise nothing for over a minute, while a second station whose
# receiver counts at 20 MHz is told its frequency is wrong; then on that station a
# second receiver's clock mixed in, the wrong mode, lines without time and
# silence each give their journal line, and each is fine again once its cause has
# gone.
. "$(dirname "$0")/../lib.sh"
lx_begin
ROOT=$LX_WORK
SIM=$LX_TOOLS/simreceiver/simreceiver
CAPTURE=$LX_SOURCE/../shared/data/beast-capture-60s.bin
[ -f "$CAPTURE" ] || CAPTURE=""

# A simulated receiver on this station's line, replacing the one before.
sim() {
    [ -n "${SIM_PID:-}" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
    "$SIM" --quiet "$@" "$LX_WORK/portB" >"$LX_WORK/sim.out" 2>&1 &
    SIM_PID=$!
    lx_on_exit "kill $SIM_PID"
}
station() {  # folder
    SIM_PID=""  # the station before keeps its receiver
    LX_WORK=$ROOT/$1
    mkdir -p "$LX_WORK" && cd "$LX_WORK" || exit 1
    lx_station 115200
    exec 7>&-  # the simulator is the receiver here
    lx_setting BinarComOn.ini 1 0 0 60
    lx_setting porog.ini 0
    lx_start_service
}
mode() { lx_setting BinarComOn.ini "$1" 0 0 60 && kill -HUP "$LX_PID"; }

station site
sim --format binary --rate 300 ${CAPTURE:+--input "$CAPTURE"}
SITE_PID=$LX_PID
station wrong
sim --format binary --rate 300 --clock-hz 20000000
lx_journal 90000 "^check frequency: Частота таймера: измерено ~ 20,00 МГц, задано 12,00 МГц$"
grep -q "^check" "$ROOT/site/service.out" && lx_fail "the real site's frames raised: $(grep '^check' "$ROOT/site/service.out")"
lx_log "ok: the site at 12 MHz raised nothing in $(grep -c . "$ROOT/site/sim.out") sim lines"
LX_PID=$SITE_PID LX_WORK=$ROOT/site lx_stop_service TERM

lx_setting frequency.ini 20000000 && kill -HUP "$LX_PID"
lx_journal 5000 "^check frequency: fine again$"
sim --format binary --rate 300 --clock-hz 20000000 --second-clock
lx_journal 10000 "^check jumps: Метки времени скачут: в потоке несколько приемников\?$"
sim --format binary --rate 300 --clock-hz 20000000
lx_journal 70000 "^check jumps: fine again$"

mode 0
lx_journal 10000 "^check wrong_mode: Поток бинарный: включите «Бинарный режим источника»$"
sim --format text --star --rate 300
lx_journal 10000 "^check wrong_mode: fine again$"
lx_journal 15000 "^check timestamps: Нет меток времени приемника"
sim --format text --rate 300 --silent-after 1
lx_journal 15000 "^check timestamps: fine again$"
lx_journal 40000 "^check no_data: Нет данных от источника 30 с$"
sim --format text --rate 300
lx_journal 5000 "^check no_data: fine again$"
lx_stop_service TERM
LX_WORK=$ROOT
cd "$ROOT" || exit 1
