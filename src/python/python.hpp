// Every binding file includes Python through here, so that the stable-ABI
// target is set in exactly one place.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
