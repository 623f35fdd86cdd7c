// The filter's insides shared by its files (filter/filter_control.h is its
// face to clients).
#pragma once

#include "filter/filter_control.h"
#include "kernel/pool.h"

// The filter's control device, which also stands in for the file system
// under an image file where the system has none (filter/wine_gaps.cpp).
extern PDEVICE_OBJECT FilterControlDevice;

// \Driver\dorvane, referenced while the filter is loaded.
extern PDRIVER_OBJECT TargetDriver;

// Points the target driver's imports of the routines Wine 8 lacks or gets
// wrong at the filter's own; UnmendWineGaps puts the originals back.
NTSTATUS MendWineGaps(PDRIVER_OBJECT Driver);
VOID UnmendWineGaps(PDRIVER_OBJECT Driver);
