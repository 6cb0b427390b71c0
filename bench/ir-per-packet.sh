#!/usr/bin/env bash
# Instructions per bulk packet of one benchmark, exact (callgrind): two runs
# of different length, the difference of their instruction counts over the
# difference of their packet counts, so the world's set-up and tear-down
# cancel out. A packet is one call of the driver's completion routine.
#   bench/ir-per-packet.sh BINARY FILTER COMPLETION
#   bench/ir-per-packet.sh build/relg/brisum_bench 'BM_TransmitWrite/4096/512' IoWriteComplete
#   bench/ir-per-packet.sh build/relg/brisum_bench 'BM_ReceiveThroughDriver/262144/512' BulkInPipeReadComplete
set -euo pipefail
bin=$1; filter=$2; completion=$3
bench=${filter%%/*}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

measure() {
  local out=$work/$1.out total id calls
  valgrind --tool=callgrind --callgrind-out-file="$out" "$bin" --benchmark_filter="$filter" \
    --benchmark_min_time="$1" >/dev/null 2>&1
  total=$(callgrind_annotate --inclusive=yes "$out" 2>/dev/null | grep "$bench(benchmark" | head -1 |
          awk '{gsub(",", "", $1); print $1}')
  id=$(grep -m1 -E "^c?fn=\([0-9]+\) $completion\(" "$out" | sed -E 's/c?fn=\(([0-9]+)\).*/\1/')
  calls=$(grep -A1 "^cfn=($id)" "$out" | grep '^calls=' | awk -F'[= ]' '{s += $2} END {print s}')
  echo "$total $calls"
}
read -r t1 c1 < <(measure 0.1)
read -r t2 c2 < <(measure 0.5)
if [ -z "$c1" ] || [ -z "$c2" ] || [ "$c2" -le "$c1" ]; then
  echo "ir-per-packet: no packets counted (is $completion the completion routine?)" >&2
  exit 1
fi
echo "$filter: $(( (t2 - t1) / (c2 - c1) )) instructions per packet ($c1 and $c2 packets)"
