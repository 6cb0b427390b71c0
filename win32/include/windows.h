/* windows.h - what a Win32 serial program includes: the basic types, the
   kernel32 file and comm API, error codes and control codes. */
#pragma once
#include "winnt.h"
#include "winerror.h"
#include "winbase.h"
#include "winioctl.h"
#include "winnls.h"
