#!/usr/bin/env bash
# What the station hears, against two other decoders of the same real capture:
# the service fed it on its port lists in status.json the aircraft, callsigns and
# altitudes that dump1090-mutability decodes from the same Beast stream (on its
# network input port; it prefers the aircraft's own DF17 altitude, this program
# the newest, so its altitude is compared with the DF17 one), and the positions
# of tests/linux/modes_reference.py (a decoder of the tests' own) and those that
# dump1090 gives, within 0.001 degrees.
. "$(dirname "$0")/../lib.sh"

CAPTURE=$LX_SOURCE/../shared/data/beast-capture-60s.bin
[ -f "$CAPTURE" ] || { lx_log "skipped: no receiver captures here"; exit 0; }
command -v dump1090-mutability >/dev/null || lx_fail "dump1090-mutability is missing (Debian: dump1090-mutability)"
lx_begin

python3 "$LX_SOURCE/tests/linux/modes_reference.py" "$CAPTURE" >reference.json || lx_fail "the reference decoder failed"

# dump1090 in network-only mode, no output port but its JSON.
BEAST=$(lx_free_port)
mkdir -p json
dump1090-mutability --net-only --net-bind-address 127.0.0.1 --net-bi-port "$BEAST" --net-ri-port 0 \
    --net-ro-port 0 --net-sbs-port 0 --net-bo-port 0 --write-json json --write-json-every 1 --quiet \
    >dump1090.out 2>&1 &
lx_on_exit "kill $!"
listening() { python3 -c 'import socket, sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 1).close()' "$BEAST" 2>/dev/null; }
lx_wait 10000 "dump1090 listens on its Beast input" listening
python3 -c 'import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.sendall(open(sys.argv[2], "rb").read()); s.shutdown(socket.SHUT_WR)
while s.recv(4096): pass' "$BEAST" "$CAPTURE" &
lx_on_exit "kill $!"

lx_station 115200
lx_setting BinarComOn.ini 1 0 0 60
lx_setting point.ini 60.1 33.8
HTTP=$(lx_free_port)
lx_setting inithttp.ini "$HTTP" 127.0.0.1
lx_start_service
lx_journal 10000 "^status page: http://127.0.0.1:$HTTP/$"
cat "$CAPTURE" >&7
every_frame() {
    curl -sf "http://127.0.0.1:$HTTP/metrics" |
        awk '/^brevalink_frames_total\{kind="mode/ { n += $2 } END { exit !(n == 13954) }'
}
lx_wait 20000 "every frame counted" every_frame
# The figures of the second after the last frame.
lx_wait 3000 "the aircraft in status.json" sh -c \
    "curl -sf http://127.0.0.1:$HTTP/status.json >status.json && grep -q '\"address\"' status.json"
a_later_snapshot() { curl -sf "http://127.0.0.1:$HTTP/status.json" >status.json && ! cmp -s status.json prev.json; }
cp status.json prev.json
lx_wait 3000 "a snapshot taken after the last frame" a_later_snapshot

# dump1090 is done when its message count stands still across two writes.
settled() {
    local now
    now=$(python3 -c 'import json; d = json.load(open("json/aircraft.json")); print(d["messages"], d["now"])' 2>/dev/null) ||
        return 1
    [ -n "$now" ] && [ "${now% *}" -gt 0 ] && [ "${now% *}" = "$(cat settled.last 2>/dev/null | cut -d' ' -f1)" ] &&
        [ "$now" != "$(cat settled.last)" ] && return 0
    echo "$now" >settled.last
    return 1
}
lx_wait 30000 "dump1090's aircraft.json settled" settled

compare() {
    python3 - "$1" <<'EOF'
import json, sys
ref = json.load(open("reference.json"))
ours = {a["address"]: a for a in json.load(open("status.json"))["modes"]["aircraft"]}
theirs = {a["hex"].upper(): a for a in json.load(open("json/aircraft.json"))["aircraft"]}
what = sys.argv[1]
bad = []
for icao, r in sorted(ref.items()):
    o = ours.get(icao)
    if o is None:
        bad.append(icao + " missing")
        continue
    if what == "dump1090":
        # It keeps an aircraft's own (DF17) altitude over the one its
        # surveillance replies give while that is fresh; this program takes the
        # newest of either.
        t = theirs.get(icao, {})
        flight = (t.get("flight") or "").strip() or None
        if (o["callsign"], r["adsb_altitude_ft"]) != (flight, t.get("altitude")):
            bad.append("%s ours %s (DF17 altitude %s), dump1090 %s %s" % (icao, o["callsign"], r["adsb_altitude_ft"], flight, t.get("altitude")))
        # Fed the whole capture in a second, it places only some of them: those
        # must agree.
        if "lat" in t and (abs(o["latitude"] - t["lat"]) > 0.001 or abs(o["longitude"] - t["lon"]) > 0.001):
            bad.append("%s ours %s,%s dump1090 %s,%s" % (icao, o["latitude"], o["longitude"], t.get("lat"), t.get("lon")))
    else:
        if (o["callsign"], o["altitude_ft"]) != (r["callsign"], r["altitude_ft"]):
            bad.append("%s ours %s %s, reference %s %s" % (icao, o["callsign"], o["altitude_ft"], r["callsign"], r["altitude_ft"]))
        if o["latitude"] is None or abs(o["latitude"] - r["latitude"]) > 0.001 or abs(o["longitude"] - r["longitude"]) > 0.001:
            bad.append("%s ours %s,%s reference %.5f,%.5f" % (icao, o["latitude"], o["longitude"], r["latitude"], r["longitude"]))
print("%d aircraft agree" % len(ref) if not bad else "; ".join(bad))
EOF
}
lx_check "the reference decoder's aircraft, callsigns, altitudes and positions" "$(compare reference)" "11 aircraft agree"
lx_check "dump1090-mutability's callsigns, altitudes and positions" "$(compare dump1090)" "11 aircraft agree"
lx_stop_service TERM
