/*
 * usbiodef.h - the USB stack's device type and control-code functions.
 *
 * In the kit, FILE_DEVICE_USB comes from this header (drivers usually reach
 * it through usbioctl.h), not from the kernel headers. The driver names the
 * USB hub and host-controller control codes by their values, so the device
 * type is all the stand-in declares.
 */
#ifndef __USBIODEF_H__
#define __USBIODEF_H__
#ifndef _NTDDK_
#error "usbiodef.h: include <ntddk.h> before <usbiodef.h>, as the kit requires"
#endif

#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN

#endif /* __USBIODEF_H__ */
