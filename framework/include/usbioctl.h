/*
 * usbioctl.h - the USB stack's I/O control codes.
 *
 * As in the kit, it includes usbiodef.h, which defines the device type
 * FILE_DEVICE_USB. (The kit's usbioctl.h also includes usb200.h for its hub
 * records; the stand-in declares none of those records, so it does not.)
 */
#ifndef __USBIOCTL_H__
#define __USBIOCTL_H__
#include <usbiodef.h>

#endif /* __USBIOCTL_H__ */
