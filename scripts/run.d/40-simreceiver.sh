# A simulated receiver (tools/simreceiver) on the COM port the program opens
# (line 1 of init.ini in $WORKDIR, else COM1): the prefix's link for that port is
# pointed at a pseudo-terminal the tool plays the receiver on, so the monitor
# scrolls without hardware. It sends binary frames when BinarComOn.ini says so,
# '@' text lines otherwise. Its output (the commands the program sends) is in
# $WORKDIR/simreceiver.log. BREVALINK_SIM_RATE sets frames per second (default 20);
# BREVALINK_SIM=0 leaves the port alone.
if [ "${BREVALINK_SIM:-1}" = 0 ]; then
    echo "== simulated receiver: off (BREVALINK_SIM=0)"
else
    sim_port=COM1
    [ -f "$WORKDIR/init.ini" ] && sim_port=$(sed -n '1{s/\r//;p}' "$WORKDIR/init.ini")
    sim_format=text
    [ -f "$WORKDIR/BinarComOn.ini" ] && [ "$(sed -n '1{s/\r//;p}' "$WORKDIR/BinarComOn.ini")" = 1 ] && sim_format=binary
    sim_link=$WINEPREFIX/dosdevices/$(echo "$sim_port" | tr 'A-Z' 'a-z')
    case "$sim_port" in
        [Cc][Oo][Mm][0-9]*) ;;
        *) sim_link='' ;;
    esac
    if [ -z "$sim_link" ]; then
        echo "== simulated receiver: port '$sim_port' is not a COM port; none started"
    elif simreceiver=$("$BREVALINK_ROOT/tools/simreceiver/build.sh" "$BREVALINK_ROOT/build/run-tools"); then
        # Wine's mount manager maps com1 to /dev/ttyS0 whenever Wine starts: start
        # it (persistent) and let that happen first, then take the link over.
        wineserver -p </dev/null >/dev/null 2>&1
        timeout 120 wine cmd /c exit </dev/null >/dev/null 2>&1
        rm -f "$sim_link"
        run_bg simreceiver sh -c "exec '$simreceiver' --link '$sim_link' --format $sim_format \
            --rate '${BREVALINK_SIM_RATE:-20}' </dev/null >'$WORKDIR/simreceiver.log' 2>&1"
        for _ in $(seq 100); do [ -L "$sim_link" ] && break; sleep 0.05; done
        echo "== simulated receiver on $sim_port ($sim_format): tail -f $WORKDIR/simreceiver.log"
    else
        echo "!! simulated receiver: could not build tools/simreceiver"
    fi
fi
