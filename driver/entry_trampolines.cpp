// Entry trampolines: the worker routines and the USB completion routine that
// the kernel calls back, each handing its worker record (or IRP) on to the
// module that does the work.
#include "driver/entry.h"
