#!/usr/bin/env bash
# Installs what building and testing brisum needs, from Debian's packages,
# when it is missing. Safe to run again: it installs nothing that is there.
set -euo pipefail

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v g++ >/dev/null 2>&1 || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
# Debian's python3 with pyserial: the Python package's tests run pyserial's
# Windows backend over the comm layer.
[ -x /usr/bin/python3 ] || need+=(python3)
/usr/bin/python3 -c "import serial" >/dev/null 2>&1 || need+=(python3-serial)
# Headless Chromium: the timeline page test (tests/sim/timeline-page.sh)
# opens a page the simulator wrote and checks its script drew the lanes.
command -v chromium >/dev/null 2>&1 || need+=(chromium)
if [ "${BRISUM_NEED_TSHARK:-0}" = 1 ]; then
  command -v tshark >/dev/null 2>&1 || need+=(tshark)
fi

if [ "${BRISUM_NEED_STYLE:-0}" = 1 ]; then
  command -v clang-format-14 >/dev/null 2>&1 || need+=(clang-format-14)
  command -v clang-tidy-14 >/dev/null 2>&1 || need+=(clang-tidy-14)
fi

if [ "${BRISUM_NEED_FUZZ:-0}" = 1 ]; then
  command -v clang++-14 >/dev/null 2>&1 || need+=(clang-14)
  ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
fi

# The tsan preset: clang-14 and its ThreadSanitizer runtime.
if [ "${BRISUM_NEED_TSAN:-0}" = 1 ]; then
  command -v clang++-14 >/dev/null 2>&1 || need+=(clang-14)
  ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.tsan-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
fi

if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
