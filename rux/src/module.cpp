// The extension module rux.fl: its initialisation, the mapping of library
// return codes to Python exceptions, logging through the module logger, and
// the module function open().
#define RUX_FL_IMPORTS_NUMPY
#include "numpy_api.h"

#include <cassert>

#include "docstrings.h"
#include "fl_internal.h"

namespace rux_fl {

namespace {

// Loads numpy's C array interface. Any failure (numpy missing, or its
// interface missing or incompatible) becomes an ImportError whose cause is
// the original exception.
int load_numpy_api() {
    if (_import_array() >= 0) {
        return 0;
    }
    PyRef cause;
    {
        PendingException failure;
        failure.normalize();
        cause = failure.take_value();
    }
    PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    if (cause) {
        PendingException error;
        error.normalize();
        PyException_SetCause(error.value(), cause.release());  // steals the cause
    }
    return -1;
}

// (errno, os.strerror(errno), file name), with os looked up now.
PyRef format_errno(PyObject *module, int error_number, PyObject *file_name) {
    PyRef os(PyObject_GetAttrString(module, "os"));
    if (!os) {
        return PyRef();
    }
    PyRef text(PyObject_CallMethod(os.get(), "strerror", "i", error_number));
    if (!text) {
        return PyRef();
    }
    return PyRef(Py_BuildValue("(iOO)", error_number, text.get(), file_name));
}

// OSError(errno, strerror, filename): Python picks the errno-specific subclass.
void raise_io_error(PyObject *module, int error_number, PyObject *file_name) {
    PyRef details = format_errno(module, error_number, file_name);
    if (!details) {
        return;
    }
    PyRef error(PyObject_Call(PyExc_OSError, details.get(), nullptr));
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
    }
}

const char *error_prefix(int code) {
    switch (code) {
        case RUX_ERROR_NOT_A_RUX_FILE:
            return "Not a RUX file: ";
        case RUX_ERROR_INVALID_RUX_FILE_VERSION:
            return "Unsupported RUX file version: ";
        case RUX_ERROR_FILE_CORRUPT:
            return "Corrupt RUX file: ";
        case RUX_ERROR_MEMORY_ALLOCATION_FAILED:
            return "Memory allocation failed: ";
        case RUX_ERROR_NAMELIST_FULL:
            return "RUX namelist is full: ";
        case RUX_ERROR_FILE_MUST_BE_WRITABLE:
            return "File must be writable: ";
        case RUX_ERROR_FILE_MUST_BE_READABLE:
            return "File must be readable: ";
        case RUX_ERROR_INVALID_ARGUMENT:
            return "Invalid rux argument: ";
        default:
            return "Unknown error: ";
    }
}

PyObject *open_file(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"name", "mode", "application", "schema", "schema_version"};
    PyObject *values[5];
    if (!bind_arguments({"open", names, 5, 2}, args, nargs, kwnames, values)) {
        return nullptr;
    }
    // Bytes (or a path-like object giving bytes) are decoded as the file
    // system encodes names, as Python's own open() takes them.
    PyRef name;
    if (PyBytes_Check(values[0]) || PyObject_HasAttrString(values[0], "__fspath__")) {
        PyRef os(PyObject_GetAttrString(module, "os"));
        name.reset(os ? PyObject_CallMethod(os.get(), "fsdecode", "O", values[0]) : nullptr);
    } else {
        name.reset(PyObject_Str(values[0]));
    }
    if (!name) {
        return nullptr;
    }
    PyObject *call_args[5] = {name.get(), values[1], values[2], values[3], values[4]};
    PyObject *file_type = reinterpret_cast<PyObject *>(module_state(module)->file_type);
    return PyObject_Vectorcall(file_type, call_args, 5, nullptr);
}

PyMethodDef open_def = {"open",
                        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_file)),
                        METH_FASTCALL | METH_KEYWORDS, open_doc};

// Adds a value to the module namespace; the module takes the reference.
int add_to_module(PyObject *module, const char *name, PyRef value) {
    if (!value || PyModule_AddObject(module, name, value.get()) < 0) {
        return -1;
    }
    value.release();
    return 0;
}

// name = import_module(module_name), or one attribute of that module.
int add_import(PyObject *module, const char *name, const char *module_name, const char *attribute) {
    PyRef imported(PyImport_ImportModule(module_name));
    if (imported && attribute != nullptr) {
        imported.reset(PyObject_GetAttrString(imported.get(), attribute));
    }
    return add_to_module(module, name, std::move(imported));
}

int add_logger(PyObject *module) {
    PyRef logging(PyObject_GetAttrString(module, "logging"));
    if (!logging) {
        return -1;
    }
    return add_to_module(module, "logger",
                         PyRef(PyObject_CallMethod(logging.get(), "getLogger", "s", "rux.fl")));
}

int add_open(PyObject *module) {
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) {
        return -1;
    }
    return add_to_module(module, "open",
                         PyRef(PyCFunction_NewEx(&open_def, module, module_name.get())));
}

int exec_module(PyObject *module) {
    ModuleState *state = module_state(module);
    if (load_numpy_api() < 0) {
        return -1;
    }
    state->file_type = create_file_type(module);
    if (state->file_type == nullptr) {
        return -1;
    }
    if (add_to_module(module, "RUXFile",
                      PyRef::borrowed(reinterpret_cast<PyObject *>(state->file_type))) < 0) {
        return -1;
    }
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) {
        return -1;
    }
    state->ascontiguousarray = PyObject_GetAttrString(numpy.get(), "ascontiguousarray");
    if (state->ascontiguousarray == nullptr) {
        return -1;
    }
    if (add_import(module, "logging", "logging", nullptr) < 0 ||
        add_import(module, "numpy", "numpy", nullptr) < 0 ||
        add_import(module, "os", "os", nullptr) < 0 ||
        add_import(module, "PickleError", "pickle", "PickleError") < 0) {
        return -1;
    }
    if (add_logger(module) < 0 || add_open(module) < 0) {
        return -1;
    }
    return 0;
}

int traverse_module(PyObject *module, visitproc visit, void *arg) {
    ModuleState *state = module_state(module);
    if (state != nullptr) {
        Py_VISIT(state->file_type);
        Py_VISIT(state->ascontiguousarray);
    }
    return 0;
}

int clear_module(PyObject *module) {
    ModuleState *state = module_state(module);
    if (state != nullptr) {
        Py_CLEAR(state->file_type);
        Py_CLEAR(state->ascontiguousarray);
    }
    return 0;
}

void free_module(void *module) {
    clear_module(static_cast<PyObject *>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "rux.fl",        module_doc,   sizeof(ModuleState), nullptr,
    module_slots,          traverse_module, clear_module, free_module,
};

PyObject *module_of(PyTypeObject *type) {
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_GetModuleByDef(type, &module_def);
#else
    PyObject *mro = type->tp_mro;
    const Py_ssize_t count = mro != nullptr ? PyTuple_GET_SIZE(mro) : 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTypeObject *base = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
        if (!(base->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
            continue;
        }
        PyObject *module = reinterpret_cast<PyHeapTypeObject *>(base)->ht_module;
        if (module != nullptr && PyModule_GetDef(module) == &module_def) {
            return module;
        }
    }
    PyErr_Format(PyExc_TypeError, "No superclass of '%s' has the given module", type->tp_name);
    return nullptr;
#endif
}

int raise_on_error(PyObject *module, int code, PyObject *file_name) {
    const int error_number = errno;
    if (code == RUX_SUCCESS) {
        return 0;
    }
    if (code == RUX_ERROR_IO) {
        // An I/O failure always has a cause; errno 0 would read as "Success".
        raise_io_error(module, error_number != 0 ? error_number : EIO, file_name);
        return -1;
    }
    PyObject *type =
        code == RUX_ERROR_MEMORY_ALLOCATION_FAILED ? PyExc_MemoryError : PyExc_RuntimeError;
    PyRef message = Message(error_prefix(code)).add(file_name).take();
    if (message) {
        PyErr_SetObject(type, message.get());
    }
    return -1;
}

bool log_record(PyObject *module, const char *level, PyRef message) {
    if (!message) {
        return false;
    }
    PyRef logger(PyObject_GetAttrString(module, "logger"));
    PyRef method(logger ? PyObject_GetAttrString(logger.get(), level) : nullptr);
    if (!method) {
        return false;
    }
    PyRef result(PyObject_CallOneArg(method.get(), message.get()));
    return static_cast<bool>(result);
}

bool require_open(FileObject *self) {
    if (!self->is_open) {
        PyErr_SetString(PyExc_ValueError, "File is not open");
        return false;
    }
    return true;
}

bool MethodStart::begin(const Parameters &parameters, bool needs_open, PyObject *self_object,
                        PyTypeObject *defining_class, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) {
    assert(parameters.count <= 4);
    if (!bind_arguments(parameters, args, nargs, kwnames, values)) {
        return false;
    }
    self = as_file(self_object);
    if (needs_open && !require_open(self)) {
        return false;
    }
    module = PyType_GetModule(defining_class);
    return true;
}

bool bind_arguments(const Parameters &parameters, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, PyObject **values) {
    if (nargs > parameters.count) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd arguments (%zd given)",
                     parameters.function, parameters.count, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < parameters.count; ++i) {
        values[i] = i < nargs ? args[i] : nullptr;
    }
    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = 0;
        while (index < parameters.count &&
               PyUnicode_CompareWithASCIIString(keyword, parameters.names[index]) != 0) {
            ++index;
        }
        if (index == parameters.count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         parameters.function, keyword);
            return false;
        }
        if (values[index] != nullptr) {
            PyErr_Format(PyExc_TypeError,
                         "argument for %s() given by name ('%s') and position (%zd)",
                         parameters.function, parameters.names[index], index + 1);
            return false;
        }
        values[index] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < parameters.count; ++i) {
        if (values[i] != nullptr) {
            continue;
        }
        if (i < parameters.required) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)",
                         parameters.function, parameters.names[i], i + 1);
            return false;
        }
        values[i] = Py_None;
    }
    return true;
}

}  // namespace rux_fl

PyMODINIT_FUNC PyInit_fl(void) {
    return PyModuleDef_Init(&rux_fl::module_def);
}
