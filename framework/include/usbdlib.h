/*
 * usbdlib.h - USB client library declarations of the hosted kit.
 *
 * As in the kit, this header does not include usb.h: a driver includes
 * <usb.h> before it. The driver calls none of the library's routines, so
 * the stand-in declares none of them.
 */
#ifndef __USBDLIB_H__
#define __USBDLIB_H__
#ifndef __USB_H__
#error "usbdlib.h: include <usb.h> before <usbdlib.h>, as the kit requires"
#endif

#endif /* __USBDLIB_H__ */
