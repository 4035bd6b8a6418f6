#!/usr/bin/env bash
# The station seen from afar: the service fed the real capture serves /metrics
# (promtool accepts it; a real Prometheus scrapes it and its query API reports the
# frames and the relay clients), /status.json and the page (headless Chromium
# renders the traffic lights and the chart; the screenshot is kept); other methods
# and paths get their status codes; slow connections (200 trickling from twenty
# addresses, 100 from one) and oversized requests leave the relay clients
# byte-exact and the endpoint answering within 1 s, and trickled heads are cut at
# their deadline; systemd hears READY, STATUS and WATCHDOG, and one that reads
# nothing holds up neither the main loop nor the end; SIGHUP moves the endpoint to
# inithttp.ini's new port, and a line refused or a file deleted keeps the one in
# use. The alert rules pass promtool's checks and tests.
. "$(dirname "$0")/../lib.sh"
lx_begin

command -v promtool >/dev/null || lx_fail "promtool is missing (Debian: prometheus)"
promtool check rules "$LX_SOURCE/packaging/linux/brevalink-alerts.yml" >rules.out 2>&1 ||
    lx_fail "promtool check rules: $(cat rules.out)"
(cd "$LX_SOURCE/tests/linux" && promtool test rules alerts_test.yml) >rules.out 2>&1 ||
    lx_fail "promtool test rules: $(cat rules.out)"
lx_log "ok: the alert rules pass promtool check and test"

CAPTURE=$LX_SOURCE/../shared/data/beast-capture-60s.bin
FRAMES=13954
if [ ! -f "$CAPTURE" ]; then
    python3 -c 'import sys; sys.stdout.buffer.write((b"\x1a\x33" + bytes(range(1, 8)) + bytes(14)) * 500)' >stream.bin
    CAPTURE=$LX_WORK/stream.bin
    FRAMES=500
fi
lx_station 115200
lx_setting BinarComOn.ini 1 0 0 60
lx_setting point.ini 60.1 33.8  # where the capture's aircraft fly
HTTP=$(lx_free_port)
lx_setting inithttp.ini "$HTTP" 127.0.0.1
URL=http://127.0.0.1:$HTTP
lx_clients_start "$RELAY"

# The service manager's socket: every datagram the program sends, one per line.
python3 -c 'import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM); s.bind(sys.argv[1])
out = open(sys.argv[2], "ab", buffering=0)
while True: out.write(s.recv(4096).replace(b"\n", b" ") + b"\n")' "$LX_WORK/notify.sock" "$LX_WORK/notify.log" &
lx_on_exit "kill $!"
lx_wait 5000 "the notify socket" test -S "$LX_WORK/notify.sock"
NOTIFY_SOCKET=$LX_WORK/notify.sock lx_start_service
lx_journal 10000 "^status page: $URL/$"
lx_journal 15000 "^feed 127.0.0.1:$FEED connected \(127.0.0.1\)$"
lx_wait 5000 "READY=1" grep -qx 'READY=1' notify.log
lx_check "three relay clients" "$(lx_clients connect 3)" "ok connected 3"
cat "$CAPTURE" >&7
lx_check "the capture reaches every client" "$(lx_clients expect "$CAPTURE")" \
    "ok 3 clients identical ($(stat -c %s "$CAPTURE") bytes)"

frames() { curl -sf "$URL/metrics" | awk '/^brevalink_frames_total\{kind="mode/ { n += $2 } END { print n + 0 }'; }
every_frame() { test "$(frames)" -eq $FRAMES; }
lx_wait 10000 "/metrics counts every frame" every_frame
curl -sf "$URL/metrics" >metrics.txt || lx_fail "GET /metrics"
promtool check metrics <metrics.txt >lint.out 2>&1 || lx_fail "promtool check metrics: $(cat lint.out)"
lx_log "ok: promtool check metrics accepts /metrics"
lx_check "relay clients in /metrics" "$(grep '^brevalink_relay_clients ' metrics.txt)" "brevalink_relay_clients 3"
[ "$FRAMES" = 13954 ] && lx_check "the capture's aircraft placed, in /metrics" \
    "$(grep '^brevalink_aircraft{kind="with_position"} ' metrics.txt)" 'brevalink_aircraft{kind="with_position"} 11'
lx_wait 5000 "STATUS= names the clients" grep -q '^STATUS=приемник: [0-9]* кадр/с, клиенты: 3, сервер MLAT: связь есть$' notify.log
lx_wait 5000 "WATCHDOG=1 from the loop" grep -qx 'WATCHDOG=1' notify.log

curl -sf "$URL/status.json" >status.json || lx_fail "GET /status.json"
lx_check "status.json: clients, their bytes, feed, frames, a check's UTF-8 text" "$(python3 -c 'import json, sys
j = json.load(open("status.json", encoding="utf-8"))
print(len(j["relay"]["clients"]), {c["bytes"] for c in j["relay"]["clients"]} == {int(sys.argv[1])},
      j["feed"]["up"], sum(v for k, v in j["source"]["frames"].items() if k.startswith("mode")),
      [c["name"] for c in j["checks"]][0], len(j["monitor"]))' "$(stat -c %s "$CAPTURE")")" "3 True True $FRAMES no_data 18"

code() { curl -s -o /dev/null -w '%{http_code}' "$@"; }
lx_check "POST, PUT and DELETE are refused with 405" \
    "$(code -X POST -d x "$URL/metrics") $(code -X PUT "$URL/") $(code -X DELETE "$URL/status.json")" "405 405 405"
lx_check "other paths are 404, no file is served" "$(code "$URL/etc/passwd") $(code "$URL/../init.ini")" "404 404"
head_answer() { printf 'HEAD / HTTP/1.0\r\n\r\n' | socat -t 5 - "TCP:127.0.0.1:$HTTP" | tr -d '\r' |
    awk 'NR == 1 { print $2 } /DOCTYPE/ { print "body" }'; }
lx_check "HEAD answers without a body" "$(head_answer)" 200

# A real Prometheus scrapes the service every second.
PROM=$(lx_free_port)
cat >prometheus.yml <<EOF
global: {scrape_interval: 1s, evaluation_interval: 1s}
scrape_configs:
  - job_name: brevalink
    static_configs: [{targets: ['127.0.0.1:$HTTP']}]
EOF
prometheus --config.file=prometheus.yml --storage.tsdb.path="$LX_WORK/tsdb" --web.listen-address="127.0.0.1:$PROM" \
    >prometheus.out 2>&1 &
lx_on_exit "kill $!"
query() { curl -sf "http://127.0.0.1:$PROM/api/v1/query" --data-urlencode "query=$1" |
    python3 -c 'import json, sys; r = json.load(sys.stdin)["data"]["result"]; print(r[0]["value"][1] if r else "")'; }
scraped() { test "$(query 'sum(brevalink_frames_total{kind=~"mode.*"})')" = "$FRAMES"; }
lx_wait 60000 "Prometheus reports every frame" scraped
lx_check "Prometheus reports the relay clients" "$(query brevalink_relay_clients)" 3
lx_check "Prometheus reports the feed link up" "$(query brevalink_feed_up)" 1

# The page as a person's browser shows it, on a phone's width.
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=412,1600 \
    --screenshot="$LX_WORK/page.png" "$URL/" >chromium.out 2>&1 || lx_fail "chromium: $(tail -n 3 chromium.out)"
chromium --headless --no-sandbox --disable-gpu --dump-dom "$URL/" >dom.html 2>chromium.err || lx_fail "chromium --dump-dom"
lx_check "the page's traffic lights" "$(grep -o 'id="[a-z]*" data-state="[a-z]*"' dom.html | tr '\n' ' ')" \
    'id="receiver" data-state="green" id="checks" data-state="green" id="coordinates" data-state="green" id="relay" data-state="green" id="feed" data-state="green" '
lx_check "the chart has data" "$(grep -c '<polyline class="fps" points="[0-9]' dom.html)" 1
mkdir -p "$LX_SOURCE/build/screenshots" && cp page.png "$LX_SOURCE/build/screenshots/status-page.png"

# Slow and oversized requests while the receiver sends: 200 connections from
# 127.0.0.10-29 each send a header line every 3 s, 100 from 127.0.0.3 alone a byte
# every 0.1 s, 5 a 1 MiB header. Probes from 127.0.0.1 must be answered within 1 s
# all along; every trickled head is cut at its deadline; the one address holds no
# more than its share. (The tricklers come from other addresses than the probes,
# as hosts on a LAN would: one address's limit shuts out that address alone.)
python3 - "$HTTP" >hostile.out 2>hostile.err <<'EOF' &
import select, socket, sys, threading, time
port = int(sys.argv[1])
def connect(source):
    s = socket.socket()
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s
trickle = [connect("127.0.0.%d" % (10 + i % 20)) for i in range(200)]
flood = [connect("127.0.0.3") for _ in range(100)]
opened = {s: time.monotonic() for s in trickle + flood}
for s in trickle + flood: s.send(b"GET /metrics HTTP/1.1\r\nHost: x\r\n")
for _ in range(5):
    s = connect("127.0.0.4")
    try: s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * (1 << 20) + b"\r\n\r\n")
    except OSError: pass
    s.close()
answers = []
def probe():
    for _ in range(8):
        began = time.monotonic()
        try:
            p = socket.create_connection(("127.0.0.1", port), timeout=1, source_address=("127.0.0.1", 0))
            p.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
            reply = b""
            while time.monotonic() - began < 1:
                p.settimeout(max(0.01, 1 - (time.monotonic() - began)))
                chunk = p.recv(65536)
                if not chunk: break
                reply += chunk
            p.close()
            ok = reply.split(b" ")[1:2] == [b"200"] and b"brevalink_uptime_seconds" in reply
        except OSError:
            ok = False
        answers.append((ok, time.monotonic() - began))
        time.sleep(max(0, 1 - (time.monotonic() - began)))
prober = threading.Thread(target=probe)
prober.start()
closed = {}
line_due = time.monotonic() + 3
while time.monotonic() - min(opened.values()) < 14 and (prober.is_alive() or any(s not in closed for s in trickle)):
    live = [s for s in opened if s not in closed]
    if not live: break
    for s in select.select(live, [], [], 0.1)[0]:
        try: ended = not s.recv(65536)
        except OSError: ended = True
        if ended: closed[s] = time.monotonic() - opened[s]
    for s in flood:
        if s not in closed:
            try: s.send(b"X")
            except OSError: pass
    if time.monotonic() >= line_due:
        line_due += 3
        for s in trickle:
            if s not in closed:
                try: s.send(b"X-Slow: 1\r\n")
                except OSError: pass
prober.join()
cut = sorted(closed[s] for s in trickle if s in closed)
kept = sum(1 for s in flood if closed.get(s, 99) > 1)
print("probes %s, slowest %.3f s; tricklers cut: %d, after %.1f-%.1f s; one address kept %d of 100" % (
    [ok for ok, _ in answers].count(True), max(t for _, t in answers), len(cut),
    cut[0] if cut else 0, cut[-1] if cut else 0, kept), file=sys.stderr)
print(all(ok and t < 1 for ok, t in answers), len(cut) == 200 and 4 <= cut[0] and cut[-1] <= 9, 1 <= kept <= 16)
EOF
HOSTILE=$!
cat "$CAPTURE" >&7
lx_check "the clients stay byte-exact meanwhile" "$(lx_clients expect "$CAPTURE")" \
    "ok 3 clients identical ($(stat -c %s "$CAPTURE") bytes)"
lx_check "the endpoint answers while they hang on" "$(code -m 5 "$URL/metrics")" 200
wait $HOSTILE
lx_log "hostile: $(cat hostile.err)"
lx_check "probes answered within 1 s, trickled heads cut in time, one address kept to its share" \
    "$(cat hostile.out)" "True True True"
lx_check "and afterwards" "$(code "$URL/status.json")" 200

# SIGHUP re-reads inithttp.ini over the endpoint in use: a new port moves it, a
# value refused keeps the one in use and names it, and so does a file deleted.
REREADS=0
reread_done() { test "$(grep -c '^SIGHUP: settings re-read' service.out)" -ge "$REREADS"; }
reread() {
    REREADS=$((REREADS + 1))
    kill -HUP "$LX_PID"
    lx_wait 10000 "re-read $REREADS" reread_done
}
NEWHTTP=$(lx_free_port)
lx_setting inithttp.ini "$NEWHTTP" "the-lan"
reread
lx_journal 10000 "^inithttp.ini: the address the-lan is not a dotted IPv4 address; keeping 127.0.0.1$"
lx_journal 10000 "^status page: http://127.0.0.1:$NEWHTTP/$"
lx_check "the old port is closed" "$(code "$URL/")" 000
lx_check "the new one serves" "$(code "http://127.0.0.1:$NEWHTTP/")" 200
lx_setting inithttp.ini "$NEWHTTP" 127.0.0.2
reread
lx_check "moved to 127.0.0.2" "$(code "http://127.0.0.2:$NEWHTTP/")" 200
moves=$(grep -c '^status page:' service.out)
lx_setting inithttp.ini "${NEWHTTP:0:2}x${NEWHTTP:3}" 127.0.0.2
reread
lx_check "a port refused names the one kept" "$(grep '^inithttp.ini:' service.out | tail -n 1)" \
    "inithttp.ini: the port ${NEWHTTP:0:2}x${NEWHTTP:3} cannot be used; keeping $NEWHTTP"
lx_setting inithttp.ini "$NEWHTTP" localhost
reread
lx_check "an address refused names the one kept" "$(grep '^inithttp.ini:' service.out | tail -n 1)" \
    "inithttp.ini: the address localhost is not a dotted IPv4 address; keeping 127.0.0.2"
rm inithttp.ini
reread
lx_check "after all three the endpoint has not moved" \
    "$(grep -c '^status page:' service.out) $(code "http://127.0.0.2:$NEWHTTP/")" "$moves 200"
began=$(date +%s%3N)
lx_stop_service TERM
lx_log "SIGTERM to the end: $(($(date +%s%3N) - began)) ms"
lx_check "STOPPING=1 at the end" "$(tail -n 1 notify.log)" "STOPPING=1"

# A service manager that reads nothing: its socket's queue is full before the
# program starts. The main loop goes on all the same (the snapshot's uptime grows),
# READY=1 reaches the manager once it reads again, and SIGTERM, with the queue full
# once more, ends the program in its usual time.
python3 - "$LX_WORK/deaf.sock" >deaf.log 2>deaf.err <<'EOF' &
import signal, socket, sys
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})
path = sys.argv[1]
deaf = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
deaf.bind(path)
filler = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
filler.setblocking(False)
def fill():
    try:
        while True: filler.sendto(b"FILL", path)
    except BlockingIOError:
        pass
fill()
print("full", flush=True)
signal.sigwait({signal.SIGUSR1})
while True:
    got = deaf.recv(4096)
    print(got.decode(errors="replace").replace("\n", " "), flush=True)
    if got == b"READY=1": break
fill()
print("full again", flush=True)
signal.sigwait({signal.SIGUSR1})
EOF
DEAF=$!
lx_on_exit "kill $DEAF"
lx_wait 5000 "the deaf socket is full" grep -qx full deaf.log
lx_setting inithttp.ini "$HTTP" 127.0.0.1
NOTIFY_SOCKET=$LX_WORK/deaf.sock lx_start_service
uptime() { curl -sf -m 2 "$URL/metrics" | awk '$1 == "brevalink_uptime_seconds" { print int($2) }'; }
running_on() { test "$(uptime)" -ge 3; }
lx_wait 15000 "the main loop goes on: uptime past 3 s in /metrics" running_on
kill -USR1 $DEAF
lx_wait 5000 "READY=1 once the manager reads" grep -qx 'full again' deaf.log
began=$(date +%s%3N)
lx_stop_service TERM
took=$(($(date +%s%3N) - began))
lx_log "SIGTERM to the end with the queue full: $took ms"
lx_check "the end is as quick as ever" "$((took < 5000))" 1
