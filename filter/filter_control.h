// dorvfilt.sys: a filter over \Device\Dorvane that lets a client reach the
// driver with what the client's system cannot give it, and the one thing a
// client needs to include to talk to it (C and C++, user and kernel mode).
//
// The filter attaches over \Device\Dorvane when it loads (the driver must be
// loaded first: both services in one load-order group) and passes every
// request down untouched, except:
//
// - A create of the device when an open was set (DORVFILT_SET_OPEN): the
//   filter gives the create the image's name, a security context with the
//   access asked for, the sharing, the disposition and the options, then
//   passes it down.
//   The open is used once, by the next create of the device: one client
//   sets opens at a time. The driver's status of that create is kept for
//   DORVFILT_LAST_CREATE (a system that hands out the handle before the
//   driver answers tells the client nothing else).
// - DORVFILT_FORWARD on a handle of the device: the filter builds the query
//   information, set information or file-system control request it carries
//   on the handle's own file object, sends it to the driver and returns the
//   driver's status, information and bytes.
//
// Its own device \Device\DorvaneFilter (\\.\DorvaneFilter) takes
// DORVFILT_SET_OPEN, DORVFILT_LAST_CREATE and DORVFILT_MEND_WINE. Every code
// is buffered, device type FILE_DEVICE_UNKNOWN, any access.
#pragma once

#define DORVFILT_CONTROL_DEVICE_NAME "\\Device\\DorvaneFilter"
#define DORVFILT_CONTROL_LINK_NAME "\\DosDevices\\DorvaneFilter"
// The driver's device, and its driver object by which the filter finds it.
#define DORVFILT_TARGET_DEVICE_NAME "\\Device\\Dorvane"
#define DORVFILT_TARGET_DRIVER_NAME "\\Driver\\dorvane"

#define DORVFILT_CODE(Function) ((0x22u << 16) | ((Function) << 2))

// Control device. Input: DORVFILT_OPEN followed by NameLength bytes of the
// image's NT path in UTF-16 (\??\C:\images\disk.vhd).
#define DORVFILT_SET_OPEN DORVFILT_CODE(0x900u)
// Control device. Output: the 32-bit NTSTATUS of the last create the filter
// named (STATUS_PENDING, 0x103, before any).
#define DORVFILT_LAST_CREATE DORVFILT_CODE(0x901u)
// Control device. Mends, for the test under Wine 8, the gaps of Wine's kernel
// the driver runs into, by pointing the driver's imports of those routines
// at the filter's own (filter/wine_gaps.cpp lists them). Never needed on
// Windows. Undone when the filter unloads.
#define DORVFILT_MEND_WINE DORVFILT_CODE(0x902u)
// A handle of \Device\Dorvane. Input and output: DORVFILT_FORWARD followed by
// the request's bytes, the buffer at least DORVFILT_FORWARD_HEAD_SIZE plus
// the larger of InputLength and OutputLength long, on both sides.
#define DORVFILT_FORWARD DORVFILT_CODE(0x903u)

typedef struct DORVFILT_OPEN {
  unsigned int DesiredAccess;
  unsigned int ShareAccess;
  unsigned int Disposition;    // FILE_OPEN and the like
  unsigned int CreateOptions;  // FILE_NON_DIRECTORY_FILE and the like
  unsigned int NameLength;     // bytes of the name after this head
} DORVFILT_OPEN;
#define DORVFILT_OPEN_HEAD_SIZE 20u
#define DORVFILT_NAME_MAX_BYTES 1024u

// Majors the forward carries: IRP_MJ_QUERY_INFORMATION (Code is the
// information class, OutputLength the room), IRP_MJ_SET_INFORMATION (Code is
// the class, InputLength the bytes) and IRP_MJ_FILE_SYSTEM_CONTROL with
// IRP_MN_USER_FS_REQUEST (Code is the control code, buffered).
#define DORVFILT_FORWARD_QUERY 0x05u
#define DORVFILT_FORWARD_SET 0x06u
#define DORVFILT_FORWARD_FS_CONTROL 0x0Du

typedef struct DORVFILT_FORWARD_HEAD {
  unsigned int MajorFunction;
  unsigned int Code;
  unsigned int InputLength;
  unsigned int OutputLength;
  int Status;                // out: the driver's status
  unsigned int Information;  // out: the driver's information
} DORVFILT_FORWARD_HEAD;
#define DORVFILT_FORWARD_HEAD_SIZE 24u
#define DORVFILT_FORWARD_DATA_MAX 65536u
