#!/bin/sh
# Decodes the frames in cases/*.txt with the Lua dissector and compares the
# output with expected/*.txt.
#
# Each case file is a text2pcap hex dump.  Its header comments say how to
# build and read it:
#   # text2pcap: <options>   (e.g. -u 5000,1060; empty for full Ethernet frames)
#   # tshark: <options>      (optional, e.g. -o rfprobe.req_port:4000)
# The output kept is, per frame, the summary line (number and Info column)
# and the dissector's tree; the lower layers' one-line summaries are dropped.
#
#   tests/wireshark/run_tests.sh            run every case
#   tests/wireshark/run_tests.sh requests   run one case
#   UPDATE=1 tests/wireshark/run_tests.sh   rewrite expected/ from the output
#
# Exits 77 (skipped) when tshark or text2pcap is not installed.
set -u

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
dissector=$root/tools/wireshark/rfprobe.lua
SKIP=77

for tool in tshark text2pcap; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed (apt-get install tshark)"
        exit $SKIP
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
# Read no personal preferences and no personal plugins (an installed copy
# of the dissector would register the protocol twice).
mkdir -p "$work/home" "$work/config"

header() {  # header FILE KEY: the text after "# KEY:" on a header line
    sed -n "s/^# $2:[[:space:]]*//p" "$1" | head -n 1
}

if [ $# -gt 0 ]; then
    cases=""
    for n in "$@"; do cases="$cases $here/cases/$n.txt"; done
else
    cases=$(ls "$here"/cases/*.txt)
fi

failed=0
total=0
for case in $cases; do
    name=$(basename "$case" .txt)
    total=$((total + 1))
    t2p_opts=$(header "$case" text2pcap)
    ts_opts=$(header "$case" tshark)
    pcap=$work/$name.pcap
    # shellcheck disable=SC2086 # options are word lists on purpose
    if ! text2pcap -q $t2p_opts "$case" "$pcap" 2>"$work/$name.t2p.err"; then
        echo "FAIL $name: text2pcap failed"
        cat "$work/$name.t2p.err"
        failed=$((failed + 1))
        continue
    fi
    # shellcheck disable=SC2086
    HOME=$work/home WIRESHARK_CONFIG_DIR=$work/config tshark -n -X "lua_script:$dissector" $ts_opts \
        -o 'gui.column.format:"No.","%m","Info","%i"' \
        -r "$pcap" -V -P -O rfprobe >"$work/$name.raw" 2>"$work/$name.err"
    rc=$?
    # The root warning is harmless; anything else on stderr (a Lua load
    # error above all) fails the case.
    grep -v 'Running as user "root"' "$work/$name.err" >"$work/$name.err2"
    if [ $rc -ne 0 ] || [ -s "$work/$name.err2" ]; then
        echo "FAIL $name: tshark exited $rc"
        cat "$work/$name.err2"
        failed=$((failed + 1))
        continue
    fi
    grep -v -E '^(Frame [0-9]+:|Ethernet II,|Internet Protocol Version|User Datagram Protocol,)' \
        "$work/$name.raw" >"$work/$name.out"
    expected=$here/expected/$name.txt
    if [ "${UPDATE:-}" = 1 ]; then
        cp "$work/$name.out" "$expected"
        echo "updated $name"
    elif [ ! -f "$expected" ]; then
        echo "FAIL $name: no expected/$name.txt (run with UPDATE=1 and review it)"
        failed=$((failed + 1))
    elif ! diff -u "$expected" "$work/$name.out"; then
        echo "FAIL $name"
        failed=$((failed + 1))
    else
        echo "ok   $name"
    fi
done

echo "$((total - failed)) of $total cases passed"
[ $failed -eq 0 ]
