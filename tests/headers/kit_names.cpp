/*
 * kit_names.cpp - the kit's names and values the driver relies on, each
 * checked where the kit's headers give it, and names they do not give where
 * the stand-ins once did. Compiled (never linked) by
 * scripts/check-kit-headers.sh with the driver's flags.
 */
#include <ntddk.h>
/* Guards the fault: ntddk.h defined FILE_DEVICE_USB, which the kit's does not. */
#ifdef FILE_DEVICE_USB
#error "FILE_DEVICE_USB comes from usbiodef.h (through usbioctl.h), not from ntddk.h"
#endif
C_ASSERT(FILE_DEVICE_UNKNOWN == 0x22);
C_ASSERT(FILE_DEVICE_SERIAL_PORT == 0x1b);
C_ASSERT(sizeof(DEVICE_TYPE) == 4);

#include <wdf.h>
#include <usb.h>
C_ASSERT(sizeof(USBD_VERSION_INFORMATION) == 8);
#include <usbdlib.h>
#include <wdfusb.h>

/* Guards the fault: value 4 had a name the kit does not have. */
C_ASSERT(WdfUsbTargetDeviceSelectConfigTypeInvalid == 0);
C_ASSERT(WdfUsbTargetDeviceSelectConfigTypeDeconfig == 1);
C_ASSERT(WdfUsbTargetDeviceSelectConfigTypeSingleInterface == 2);
C_ASSERT(WdfUsbTargetDeviceSelectConfigTypeMultiInterface == 3);
C_ASSERT(WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs == 4);
C_ASSERT(WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor == 5);
C_ASSERT(WdfUsbTargetDeviceSelectConfigTypeUrb == 6);

#include <usbioctl.h>
C_ASSERT(FILE_DEVICE_USB == FILE_DEVICE_UNKNOWN);
