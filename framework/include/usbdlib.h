/*
 * usbdlib.h - USB client library declarations of the hosted kit.
 * The driver needs only the descriptor records and status codes of usb.h.
 */
#pragma once
#include <usb.h>
