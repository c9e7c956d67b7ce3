#!/bin/sh
# The service program in console mode, run the way a person runs it: it serves a client,
# refuses a second console instance, reconnects when the driver's device interface
# arrives (the notificator's hidden window hears of it), stops on Ctrl+C (SIGINT to the
# process reaches its console control handler under Wine) with exit 0, and ends at once
# when another program holds the driver's server role.
# usage: service_console_test.sh <wine> <bin folder>; run in a scratch folder.
WINE=$1
BIN=$2
SVC="$BIN/velkanosvc.exe"
PROBE="$BIN/velkano_service_probe.exe"
SIM="$BIN/velkanosim.exe"
PID=
failures=0

check() {  # check <what> <condition...>
    what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAIL: $what"
        failures=$((failures + 1))
    fi
}
run() { "$WINE" "$@" </dev/null; }
same_text() {  # same_text <file> <text>: the file holds the text (CRLF line ends read as LF)
    [ "$(tr -d '\r' <"$1")" = "$2" ]
}
stop_console() {
    if [ -n "$PID" ] && kill -0 "$PID" 2>/dev/null; then kill -KILL "$PID" 2>/dev/null; fi
}
trap stop_console EXIT

run "$SIM" reset >/dev/null 2>&1
run "$SIM" plug CON1 >/dev/null 2>&1

"$WINE" "$SVC" -console >console.out 2>console.err </dev/null &
PID=$!
check "the console service answers a client" run "$PROBE" wait-server 15000

run "$SVC" -console >second.out 2>second.err
rc=$?
check "a second console instance exits with 0 (got $rc)" [ "$rc" = 0 ]
check "a second console instance says why" same_text second.out "Cannot start, another instance is already running."

# The last device goes: the server detaches. The next plug announces the device interface
# again; only that arrival brings the detached server back.
run "$SIM" unplug CON1 >/dev/null 2>&1
check "the server lets go when the last device is gone" run "$PROBE" wait-no-server 10000
run "$SIM" plug CON2 >/dev/null 2>&1
check "a device interface arrival reconnects the server" run "$PROBE" wait-server 15000

kill -INT "$PID"
i=0
while kill -0 "$PID" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
check "Ctrl+C stops the console service" sh -c "! kill -0 $PID 2>/dev/null"
wait "$PID"
rc=$?
PID=
check "the stopped console service exits with 0 (got $rc)" [ "$rc" = 0 ]
check "the console service printed nothing of its own" [ ! -s console.out ]
check "after it, nobody serves" run "$PROBE" wait-no-server 5000

# Another server holds the driver: the console instance ends at once, without a message.
"$WINE" "$PROBE" hold-server 20000 >hold.out 2>&1 </dev/null &
HOLD=$!
i=0
while [ ! -s hold.out ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
timeout 15 "$WINE" "$SVC" -console >refused.out 2>refused.err </dev/null
rc=$?
check "with the server role taken the console instance ends at once with 0 (got $rc)" [ "$rc" = 0 ]
check "and prints nothing" [ ! -s refused.out ]
kill -KILL "$HOLD" 2>/dev/null
wait "$HOLD" 2>/dev/null

run "$SIM" reset >/dev/null 2>&1
echo "$failures failed"
[ "$failures" = 0 ]
