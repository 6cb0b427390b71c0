#!/usr/bin/env bash
# check-kit-headers-selftest.sh COMPILER ROOT
#
# The header check catches each fault it exists for: run on a small copy of
# the tree (the stand-in kit headers and three driver headers), it passes
# unchanged and fails, naming the fault, once that fault is planted.
set -uo pipefail
cxx=${1:?usage: check-kit-headers-selftest.sh COMPILER ROOT}
root=$(cd "${2:?usage: check-kit-headers-selftest.sh COMPILER ROOT}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
base="$work/base"
mkdir -p "$base/framework" "$base/tests" "$base/scripts" "$base/driver" "$base/receive" "$base/usb"
cp -r "$root/framework/include" "$base/framework/"
cp -r "$root/tests/headers" "$base/tests/"
cp "$root/scripts/check-kit-headers.sh" "$base/scripts/"
cp "$root/driver/DeviceContext.h" "$base/driver/"
cp "$root/receive/CircularBuffer.h" "$base/receive/"
cp "$root/usb/UsbHardware.h" "$base/usb/"

# run_case NAME MESSAGE MUTATION: plants MUTATION (a shell command run in a
# fresh copy) and expects the check to fail with MESSAGE; with an empty
# MESSAGE, expects it to pass.
run_case() {
    local name=$1 message=$2 mutation=$3 tree="$work/$1"
    cp -r "$base" "$tree"
    (cd "$tree" && eval "$mutation")
    bash "$tree/scripts/check-kit-headers.sh" "$cxx" "$tree" >"$work/$name.log" 2>&1
    local rc=$?
    if [[ -z "$message" ]]; then
        if [[ $rc -ne 0 ]]; then
            echo "selftest $name: the unchanged tree fails the check:" >&2
            cat "$work/$name.log" >&2
            touch "$work/failed"
        fi
    elif [[ $rc -eq 0 ]] || ! grep -qF -- "$message" "$work/$name.log"; then
        echo "selftest $name: expected a failure naming: $message; got (exit $rc):" >&2
        cat "$work/$name.log" >&2
        touch "$work/failed"
    fi
}

# Two cases at a time; each works in its own copy.
running=0
expect() {
    if [[ $running -ge 2 ]]; then
        wait -n
        running=$((running - 1))
    fi
    run_case "$@" &
    running=$((running + 1))
}

expect unchanged "" ":"
# Guards the fault: usb/Usb.h shadowed the kit's usb.h on a case-insensitive file system.
expect header_named_like_kit "usb/Usb.h: shares its name, ignoring case, with the kit header usb.h" \
    "cp usb/UsbHardware.h usb/Usb.h"
# Guards the fault: the stand-in wdfusb.h included usb.h, which the kit's does not.
expect kit_header_includes_more "wdfusb.h includes [usb.h] but its namesake in the kit includes []" \
    "sed -i 's|^#define _WDFUSB_H_\$|&\n#include <usb.h>|' framework/include/wdfusb.h"
# Guards the fault: DeviceContext.h compiled without including usbdlib.h itself.
expect driver_misses_prerequisite "driver/DeviceContext.h does not compile alone against the kit headers" \
    "sed -i '/#include <usbdlib.h>/d' driver/DeviceContext.h"
# Guards the fault: ntddk.h defined FILE_DEVICE_USB, which the kit's does not.
expect kernel_header_gives_usb_type "the kit's names and values (tests/headers/kit_names.cpp) do not hold" \
    "sed -i 's|^#define FILE_DEVICE_UNKNOWN .*|&\n#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN|' framework/include/ntddk.h"
# Guards the fault: selection type 4 had a name the kit does not have.
expect select_type_name "the kit's names and values (tests/headers/kit_names.cpp) do not hold" \
    "sed -i 's/WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs\b/&Descriptor/g' framework/include/wdfusb.h"
expect prerequisite_not_enforced "usbdlib.h compiles without <usb.h>, which the kit requires before it" \
    "sed -i '/^#ifndef __USB_H__\$/,/^#endif\$/d' framework/include/usbdlib.h"
expect undescribed_kit_header "usb100.h: a stand-in kit header not described in tests/headers/kit-headers.txt" \
    "printf '#pragma once\n' > framework/include/usb100.h"
expect driver_includes_host_header "driver/DeviceContext.h: includes <cstddef>, which is not a kit header the driver may use" \
    "sed -i 's|^#include <ntddk.h>\$|#include <cstddef>\n&|' driver/DeviceContext.h"
expect driver_includes_outside "usb/UsbHardware.h: includes \"../framework/src/FxCore.h\", which is not a file of the driver folders" \
    "sed -i 's|^#include \"../driver/DeviceContext.h\"\$|#include \"../framework/src/FxCore.h\"|' usb/UsbHardware.h"

wait
if [[ -e "$work/failed" ]]; then
    exit 1
fi
echo "check-kit-headers selftest: every planted fault is caught"
