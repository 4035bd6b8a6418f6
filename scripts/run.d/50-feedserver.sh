# A local feed server (tools/feedserver) on the port the program's feed link uses
# (initmkp2.ini in $WORKDIR, else 8888), so the client status line shows the link
# connected. What the program sends is in $WORKDIR/feedserver.log.
feed_port=8888
feed_host=127.0.0.1
if [ -f "$WORKDIR/initmkp2.ini" ]; then
    feed_port=$(sed -n '1{s/\r//;p}' "$WORKDIR/initmkp2.ini")
    feed_host=$(sed -n '2{s/\r//;p}' "$WORKDIR/initmkp2.ini")
fi
if [ "$feed_host" != 127.0.0.1 ] && [ "$feed_host" != localhost ]; then
    echo "== feed server: the program feeds $feed_host, not this machine; none started"
elif awk -v p="$(printf ':%04X' "$feed_port")" '$4 == "0A" && substr($2, length($2) - 4) == p { found = 1 }
                END { exit !found }' /proc/net/tcp 2>/dev/null; then
    # Only a listener counts: connections of an earlier run in TIME_WAIT do not.
    echo "== feed server: port $feed_port is in use already; none started"
elif feedserver=$("$BREVALINK_ROOT/tools/feedserver/build.sh" "$BREVALINK_ROOT/build/run-tools"); then
    run_bg feedserver sh -c "exec '$feedserver' --port '$feed_port' </dev/null >'$WORKDIR/feedserver.log' 2>&1"
    echo "== feed server on port $feed_port: tail -f $WORKDIR/feedserver.log"
else
    echo "!! feed server: could not build tools/feedserver"
fi
