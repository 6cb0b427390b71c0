#!/usr/bin/env bash
# Checks that a capture written by `brisum-sim --pcap` is read by tshark the
# way a person would read it in Wireshark: the CDC class requests decode as
# CDC requests with their fields, and the bulk payloads are the bytes the
# scenario sent.
#
# usage: check-capture.sh BRISUM_SIM SCENARIO OUTPUT.pcap
# The scenario (tests/scenarios/capture.scn) sets 115200 8N1, DTR and RTS,
# writes "capture check: host to device" and has the device send
# "capture check: device to host".
# Exit 77 (skipped) when tshark is not installed.
set -euo pipefail

sim=$1
scenario=$2
pcap=$3

if ! command -v tshark >/dev/null 2>&1; then
  echo "tshark is not installed; capture check skipped"
  exit 77
fi

fail() {
  echo "capture check: $*" >&2
  exit 1
}

"$sim" run --quiet --pcap "$pcap" "$scenario" || fail "brisum-sim failed on $scenario"
[ -s "$pcap" ] || fail "no capture written"

# tshark refuses a malformed file; --no-duplicate-keys keeps old versions quiet.
ts() { tshark -r "$pcap" "$@" 2>/dev/null; }
ts -q >/dev/null || fail "tshark cannot read $pcap"

hex() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n'; }
nocolon() { tr -d ':' ; }

# 1. The enumeration is there, so the dissector knows the CDC interfaces.
ts -Y 'usb.bDescriptorType == 2' -T fields -e frame.number | grep -q . ||
  fail "no configuration descriptor in the capture"

# 2. SET_LINE_CODING decodes as a CDC request; its line coding carries
#    115200 (00 c2 01 00) and 8N1 (stop 0, parity 0, 8 bits).
codings=$(ts -Y 'usbcom.control.request_code == 0x20' -T fields -e usbcom.control.payload | nocolon)
[ -n "$codings" ] || fail "no SET_LINE_CODING decoded as a CDC request"
last=$(printf '%s\n' "$codings" | grep -v '^$' | tail -n 1)
[ "${#last}" = 14 ] || fail "line coding payload is '$last', expected 7 bytes"
rate=$(( 16#${last:6:2}${last:4:2}${last:2:2}${last:0:2} ))
[ "$rate" = 115200 ] || fail "line coding rate is $rate, expected 115200"
[ "${last:8:6}" = 000008 ] || fail "line coding format is ${last:8:6}, expected 000008 (8N1)"

# 3. SET_CONTROL_LINE_STATE decodes with DTR then DTR|RTS.
lines=$(ts -Y 'usbcom.control.request_code == 0x22' -T fields -e usbcom.control.value | tr '\n' ' ')
case "$lines" in
  *"1 3"*|*"0x0001 0x0003"*) ;;
  *) fail "control line states are '$lines', expected DTR (1) then DTR|RTS (3)" ;;
esac

# 4. The bulk payloads are the bytes the scenario sent, in both directions.
out=$(ts -Y 'usb.transfer_type == 0x03 && usb.endpoint_address == 0x02 && usb.urb_type == 83' \
  -T fields -e usb.capdata | nocolon | tr -d '\n')
[ "$out" = "$(hex 'capture check: host to device')" ] || fail "bulk-OUT payload is '$out'"
in=$(ts -Y 'usb.transfer_type == 0x03 && usb.endpoint_address == 0x82 && usb.urb_type == 67' \
  -T fields -e usb.capdata | nocolon | tr -d '\n')
[ "$in" = "$(hex 'capture check: device to host')" ] || fail "bulk-IN payload is '$in'"

# 5. The SERIAL_STATE notification is recognised.
ts -Y usbcom | grep -q 'SERIAL STATE' || fail "no SERIAL_STATE notification decoded"

echo "capture check passed: $(ts | wc -l) packets"
