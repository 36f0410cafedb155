// numpy's C array interface. The module is built against numpy 2 and runs
// with numpy 1.26 as well: the interface is pinned to the 1.23 feature level,
// which both provide. module.cpp defines RUX_FL_IMPORTS_NUMPY and owns the
// table of function pointers; every other file refers to it.
#ifndef RUX_FL_NUMPY_API_H
#define RUX_FL_NUMPY_API_H

#include "py_support.h"

#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL rux_fl_numpy_array_api
#ifndef RUX_FL_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#endif  // RUX_FL_NUMPY_API_H
