// Pickling a RUXFile: a read-only file pickles as the arguments that open it again.
#include "fl_internal.h"

namespace rux_fl {

PyObject *reduce_file(PyObject *self_object, PyTypeObject *defining_class, PyObject *const *args,
                      Py_ssize_t nargs, PyObject *kwnames) {
    MethodStart call;
    if (!call.begin({"__reduce__", nullptr, 0, 0}, false, self_object, defining_class, args, nargs,
                    kwnames)) {
        return nullptr;
    }
    PyObject *module = call.module;
    FileObject *self = call.self;
    PyRef read_only_mode(PyUnicode_FromString("r"));
    const int not_read_only =
        read_only_mode ? PyObject_RichCompareBool(self->mode, read_only_mode.get(), Py_NE) : -1;
    if (not_read_only < 0) {
        return nullptr;
    }
    if (not_read_only) {
        PyRef pickle_error(PyObject_GetAttrString(module, "PickleError"));
        PyRef message(PyUnicode_FromString("Only read only RUXFiles can be pickled."));
        if (pickle_error && message) {
            raise_new(pickle_error.get(), message.get());
        }
        return nullptr;
    }
    PyRef application(PyObject_GetAttrString(self_object, "application"));
    PyRef schema(application ? PyObject_GetAttrString(self_object, "schema") : nullptr);
    PyRef schema_version(schema ? PyObject_GetAttrString(self_object, "schema_version") : nullptr);
    if (!schema_version) {
        return nullptr;
    }
    return Py_BuildValue("(O(OOOOO))", module_state(module)->file_type, self->name, self->mode,
                         application.get(), schema.get(), schema_version.get());
}

}  // namespace rux_fl
