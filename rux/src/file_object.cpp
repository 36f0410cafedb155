// The class RUXFile: its life (construction, closing, deallocation), the
// methods that forward to the library, context-manager use, the metadata and
// buffer properties, and the type that lists them. Opening in a mode lives in
// file_open.cpp, pickling in pickling.cpp, the docstrings in docstrings.h.
#include <cstring>

#include "docstrings.h"
#include "fl_internal.h"

namespace rux_fl {

namespace {

PyObject *new_reference(PyObject *object) {
    Py_INCREF(object);
    return object;
}

// The text of a 64-byte header field, up to its first NUL (or all 64 bytes).
PyObject *header_field_text(const char *field) {
    const void *nul = std::memchr(field, '\0', kHeaderTextField);
    const Py_ssize_t length =
        nul != nullptr ? static_cast<const char *>(nul) - field : kHeaderTextField;
    return PyUnicode_DecodeUTF8(field, length, "strict");
}

PyObject *version_tuple(uint32_t version) {
    return Py_BuildValue("(II)", static_cast<unsigned int>(version >> 16),
                         static_cast<unsigned int>(version & 0xFFFFu));
}

// Whether the library still holds the handle open: a close whose flush failed
// with an error that a retry may clear (a full disk) releases nothing.
bool handle_still_open(const FileObject *self) {
    return self->handle.owns_descriptor != 0;
}

// close() of an open object: log, close the handle, and report the result.
// After a failure the object is either closed with everything released, or
// still open with nothing lost, so that close() can be called again.
int close_open_handle(PyObject *module, FileObject *self) {
    if (!ensure_reads_lock(self) ||
        !log_record(module, "info", Message("closing file: ").add(self->name).take())) {
        return -1;
    }
    const int code = read_in_turn(self, [self] { return rux_close(&self->handle); });
    self->is_open = handle_still_open(self) ? 1 : 0;
    return raise_on_error(module, code, self->name);
}

// Closes the handle whatever happens: when the flush fails, the handle is
// marked as stopped by that failure, and the library then releases it and
// closes the descriptor without flushing. Returns the first failure's code.
int close_for_good(FileObject *self) {
    const int code = rux_close(&self->handle);
    if (code != RUX_SUCCESS && handle_still_open(self)) {
        const int error_number = errno;
        self->handle.write_error = code;
        self->handle.write_errno = code == RUX_ERROR_IO ? error_number : 0;
        rux_close(&self->handle);
        errno = error_number;
    }
    return code;
}

PyObject *file_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        as_file(self)->mode = new_reference(Py_None);
        as_file(self)->name = new_reference(Py_None);
    }
    return self;
}

int file_init(PyObject *self_object, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"name",   "mode",           "application",
                                     "schema", "schema_version", nullptr};
    PyObject *name = nullptr;
    PyObject *mode = nullptr;
    PyObject *application = nullptr;
    PyObject *schema = nullptr;
    PyObject *schema_version = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:RUXFile", const_cast<char **>(keywords),
                                     &name, &mode, &application, &schema, &schema_version)) {
        return -1;
    }
    PyObject *module = module_of(Py_TYPE(self_object));
    if (module == nullptr) {
        return -1;
    }
    FileObject *self = as_file(self_object);
    // Constructing again replaces the handle: close the one that is open.
    if (self->is_open && close_open_handle(module, self) < 0) {
        return -1;
    }
    if (!open_in_mode(module, self, name, mode, application, schema, schema_version)) {
        return -1;
    }
    self->is_open = 1;
    return 0;
}

// Closes a file that is dropped while open. Nothing may propagate from a
// deallocator: a failure goes to the unraisable-exception hook.
void close_on_dealloc(FileObject *self) {
    const PendingException pending;
    PyObject *module = module_of(Py_TYPE(self));
    const bool logged =
        module != nullptr &&
        log_record(module, "info", Message("closing file: ").add(self->name).take());
    if (!logged) {
        report_unraisable("rux.fl.RUXFile.__dealloc__");
    }
    const int code = without_gil([self] { return close_for_good(self); });
    self->is_open = 0;
    // Frames that could not be written are lost: say so through the hook.
    if (module != nullptr && raise_on_error(module, code, self->name) < 0) {
        report_unraisable("rux.fl.RUXFile.__dealloc__");
    }
}

void file_dealloc(PyObject *self_object) {
    FileObject *self = as_file(self_object);
    PyTypeObject *type = Py_TYPE(self_object);
    if (self->is_open) {
        close_on_dealloc(self);
    }
    Py_CLEAR(self->mode);
    Py_CLEAR(self->name);
    Py_CLEAR(self->chunk_names);
    if (self->reads_lock != nullptr) {
        PyThread_free_lock(self->reads_lock);
        self->reads_lock = nullptr;
    }
    type->tp_free(self_object);
    Py_DECREF(type);
}

}  // namespace

bool ensure_reads_lock(FileObject *self) {
    if (self->reads_lock == nullptr) {
        self->reads_lock = PyThread_allocate_lock();
        if (self->reads_lock == nullptr) {
            PyErr_NoMemory();
            return false;
        }
    }
    return true;
}

namespace {

// ---- Methods ----

// Binds no arguments; the file is open if needs_open.
bool start_without_arguments(MethodStart *call, const char *method, bool needs_open,
                             PyObject *self_object, PyTypeObject *defining_class, Py_ssize_t nargs,
                             PyObject *kwnames) {
    return call->begin({method, nullptr, 0, 0}, needs_open, self_object, defining_class, nullptr,
                       nargs, kwnames);
}

PyObject *method_close(PyObject *self_object, PyTypeObject *defining_class, PyObject *const *,
                       Py_ssize_t nargs, PyObject *kwnames) {
    MethodStart call;
    if (!start_without_arguments(&call, "close", false, self_object, defining_class, nargs,
                                 kwnames)) {
        return nullptr;
    }
    if (call.self->is_open && close_open_handle(call.module, call.self) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The shape shared by truncate, end_frame, flush and upgrade.
struct Forwarding {
    const char *method;
    const char *level;
    const char *log_prefix;
    int (*call)(rux_handle *);
};

PyObject *forward(const Forwarding &forwarding, PyObject *self_object, PyTypeObject *defining_class,
                  Py_ssize_t nargs, PyObject *kwnames) {
    MethodStart call;
    if (!start_without_arguments(&call, forwarding.method, true, self_object, defining_class, nargs,
                                 kwnames)) {
        return nullptr;
    }
    FileObject *self = call.self;
    PyObject *module = call.module;
    if (!log_record(module, forwarding.level,
                    Message(forwarding.log_prefix).add(self->name).take())) {
        return nullptr;
    }
    const int code = without_gil([&] { return forwarding.call(&self->handle); });
    if (raise_on_error(module, code, self->name) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *method_truncate(PyObject *self, PyTypeObject *cls, PyObject *const *, Py_ssize_t nargs,
                          PyObject *kwnames) {
    static const Forwarding forwarding{"truncate", "info", "truncating file: ", rux_truncate};
    return forward(forwarding, self, cls, nargs, kwnames);
}

// The frame count for truncate_frames: an int (operator.index) from 0 to
// nframes; anything else raises, naming both numbers and the file.
bool frames_to_keep(FileObject *self, PyObject *argument, uint64_t *frames) {
    PyRef count(PyNumber_Index(argument));
    if (!count) {
        return false;
    }
    const uint64_t nframes = rux_get_nframes(&self->handle);
    PyRef limit(PyLong_FromUnsignedLongLong(nframes));
    PyRef zero(PyLong_FromLong(0));
    if (!limit || !zero) {
        return false;
    }
    const int negative = PyObject_RichCompareBool(count.get(), zero.get(), Py_LT);
    const int beyond =
        negative != 0 ? 0 : PyObject_RichCompareBool(count.get(), limit.get(), Py_GT);
    if (negative < 0 || beyond < 0) {
        return false;
    }
    if (negative != 0 || beyond != 0) {
        PyRef message = Message("cannot keep ")
                            .add_str_of(count.get())
                            .add(" frames: the file has ")
                            .add_str_of(limit.get())
                            .add(" frames: ")
                            .add(self->name)
                            .take();
        if (message) {
            PyErr_SetObject(PyExc_ValueError, message.get());
        }
        return false;
    }
    *frames = PyLong_AsUnsignedLongLong(count.get());
    return !PyErr_Occurred();
}

PyObject *method_truncate_frames(PyObject *self_object, PyTypeObject *defining_class,
                                 PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"n"};
    MethodStart call;
    if (!call.begin({"truncate_frames", names, 1, 1}, true, self_object, defining_class, args,
                    nargs, kwnames)) {
        return nullptr;
    }
    FileObject *self = call.self;
    // A read-only file is refused before n is looked at, as the library does.
    if (self->handle.open_flags == RUX_OPEN_READONLY) {
        raise_on_error(call.module, RUX_ERROR_FILE_MUST_BE_WRITABLE, self->name);
        return nullptr;
    }
    uint64_t frames = 0;
    if (!frames_to_keep(self, call.values[0], &frames)) {
        return nullptr;
    }
    PyRef count(PyLong_FromUnsignedLongLong(frames));
    if (!count || !log_record(call.module, "info",
                              Message("truncating file: ")
                                  .add(self->name)
                                  .add(" to ")
                                  .add_str_of(count.get())
                                  .add(" frames")
                                  .take())) {
        return nullptr;
    }
    const int code = without_gil([&] { return rux_truncate_frames(&self->handle, frames); });
    if (raise_on_error(call.module, code, self->name) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *method_end_frame(PyObject *self, PyTypeObject *cls, PyObject *const *, Py_ssize_t nargs,
                           PyObject *kwnames) {
    static const Forwarding forwarding{"end_frame", "debug", "end frame: ", rux_end_frame};
    return forward(forwarding, self, cls, nargs, kwnames);
}

PyObject *method_flush(PyObject *self, PyTypeObject *cls, PyObject *const *, Py_ssize_t nargs,
                       PyObject *kwnames) {
    static const Forwarding forwarding{"flush", "debug", "flush: ", rux_flush};
    return forward(forwarding, self, cls, nargs, kwnames);
}

PyObject *method_upgrade(PyObject *self, PyTypeObject *cls, PyObject *const *, Py_ssize_t nargs,
                         PyObject *kwnames) {
    static const Forwarding forwarding{"upgrade", "info", "upgrading file: ", rux_upgrade};
    return forward(forwarding, self, cls, nargs, kwnames);
}

// refresh() and refresh_keeping(): a new view, taken in turn with the reads
// of other threads, so that none of them walks the view it replaces. The
// counts are taken in the same turn: they belong to the view taken.
PyObject *refresh_view(const char *method, bool with_kept, PyObject *self_object,
                       PyTypeObject *defining_class, Py_ssize_t nargs, PyObject *kwnames) {
    MethodStart call;
    if (!start_without_arguments(&call, method, true, self_object, defining_class, nargs,
                                 kwnames)) {
        return nullptr;
    }
    FileObject *self = call.self;
    if (!ensure_reads_lock(self) ||
        !log_record(call.module, "debug", Message("refresh: ").add(self->name).take())) {
        return nullptr;
    }
    uint64_t kept = 0;
    uint64_t nframes = 0;
    const int code = read_in_turn(self, [&] {
        const int result = rux_refresh_keeping(&self->handle, &kept);
        nframes = rux_get_nframes(&self->handle);
        return result;
    });
    if (raise_on_error(call.module, code, self->name) < 0) {
        return nullptr;
    }
    if (!with_kept) {
        return PyLong_FromUnsignedLongLong(nframes);
    }
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(nframes),
                         static_cast<unsigned long long>(kept));
}

PyObject *method_refresh(PyObject *self_object, PyTypeObject *defining_class, PyObject *const *,
                         Py_ssize_t nargs, PyObject *kwnames) {
    return refresh_view("refresh", false, self_object, defining_class, nargs, kwnames);
}

PyObject *method_refresh_keeping(PyObject *self_object, PyTypeObject *defining_class,
                                 PyObject *const *, Py_ssize_t nargs, PyObject *kwnames) {
    return refresh_view("refresh_keeping", true, self_object, defining_class, nargs, kwnames);
}

PyObject *method_enter(PyObject *self, PyTypeObject *defining_class, PyObject *const *,
                       Py_ssize_t nargs, PyObject *kwnames) {
    MethodStart call;
    if (!start_without_arguments(&call, "__enter__", false, self, defining_class, nargs, kwnames)) {
        return nullptr;
    }
    return new_reference(self);
}

PyObject *method_exit(PyObject *self, PyTypeObject *, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) {
    static const char *const names[] = {"exc_type", "exc_value", "traceback"};
    PyObject *values[3];
    if (!bind_arguments({"__exit__", names, 3, 3}, args, nargs, kwnames, values)) {
        return nullptr;
    }
    PyRef result(PyObject_CallMethod(self, "close", nullptr));
    if (!result) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---- Properties ----

PyObject *get_name(PyObject *self, void *) {
    return new_reference(as_file(self)->name);
}

PyObject *get_mode(PyObject *self, void *) {
    return new_reference(as_file(self)->mode);
}

PyObject *get_rux_version(PyObject *self, void *) {
    return version_tuple(as_file(self)->handle.header.rux_version);
}

PyObject *get_schema_version(PyObject *self, void *) {
    return version_tuple(as_file(self)->handle.header.schema_version);
}

PyObject *get_schema(PyObject *self, void *) {
    return header_field_text(as_file(self)->handle.header.schema);
}

PyObject *get_application(PyObject *self, void *) {
    return header_field_text(as_file(self)->handle.header.application);
}

PyObject *get_nframes(PyObject *self_object, void *) {
    FileObject *self = as_file(self_object);
    if (!require_open(self)) {
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(rux_get_nframes(&self->handle));
}

// One of the two staging thresholds, read and set through the library.
struct Threshold {
    uint64_t (*get)(const rux_handle *);
    int (*set)(rux_handle *, uint64_t);
};

const Threshold maximum_write_buffer_size{rux_get_maximum_write_buffer_size,
                                          rux_set_maximum_write_buffer_size};
const Threshold index_entries_to_buffer{rux_get_index_entries_to_buffer,
                                        rux_set_index_entries_to_buffer};

PyObject *get_threshold(PyObject *self_object, void *closure) {
    FileObject *self = as_file(self_object);
    if (!require_open(self)) {
        return nullptr;
    }
    const auto *threshold = static_cast<const Threshold *>(closure);
    return PyLong_FromUnsignedLongLong(threshold->get(&self->handle));
}

int set_threshold(PyObject *self_object, PyObject *value, void *closure) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    FileObject *self = as_file(self_object);
    if (!require_open(self)) {
        return -1;
    }
    uint64_t converted = 0;
    if (!to_uint64(value, &converted)) {
        return -1;
    }
    PyObject *module = module_of(Py_TYPE(self_object));
    if (module == nullptr) {
        return -1;
    }
    const auto *threshold = static_cast<const Threshold *>(closure);
    const int code = threshold->set(&self->handle, converted);
    return raise_on_error(module, code, self->name);
}

// ---- The type ----

PyMethodDef method(const char *name, MethodFunction *function, const char *doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            METH_METHOD | METH_FASTCALL | METH_KEYWORDS, doc};
}

PyMethodDef file_methods[] = {
    method("close", method_close, close_doc),
    method("truncate", method_truncate, truncate_doc),
    method("end_frame", method_end_frame, end_frame_doc),
    method("flush", method_flush, flush_doc),
    method("write_chunk", write_chunk, write_chunk_doc),
    method("chunk_exists", chunk_exists, chunk_exists_doc),
    method("read_chunk", read_chunk, read_chunk_doc),
    method("find_matching_chunk_names", find_matching_chunk_names, find_matching_chunk_names_doc),
    method("upgrade", method_upgrade, upgrade_doc),
    method("__enter__", method_enter, enter_doc),
    method("__exit__", method_exit, exit_doc),
    method("__reduce__", reduce_file, reduce_doc),
    method("read_series", read_series, read_series_doc),
    method("read_frame", read_frame, read_frame_doc),
    method("refresh", method_refresh, refresh_doc),
    method("write_strings", write_strings, write_strings_doc),
    method("truncate_frames", method_truncate_frames, truncate_frames_doc),
    method("refresh_keeping", method_refresh_keeping, refresh_keeping_doc),
    {nullptr, nullptr, 0, nullptr},
};

void *as_closure(const Threshold &threshold) {
    return const_cast<void *>(static_cast<const void *>(&threshold));
}

PyGetSetDef file_properties[] = {
    {"name", get_name, nullptr, "File name.", nullptr},
    {"mode", get_mode, nullptr, "Access mode.", nullptr},
    {"rux_version", get_rux_version, nullptr, "(major, minor) version of the file layout.",
     nullptr},
    {"schema_version", get_schema_version, nullptr, "(major, minor) version of the data schema.",
     nullptr},
    {"schema", get_schema, nullptr, "Name of the data schema.", nullptr},
    {"application", get_application, nullptr, "Name of the application that wrote the file.",
     nullptr},
    {"nframes", get_nframes, nullptr, "Number of completed frames.", nullptr},
    {"maximum_write_buffer_size", get_threshold, set_threshold,
     "Chunks of at least this many bytes are written to the file at once.",
     as_closure(maximum_write_buffer_size)},
    {"index_entries_to_buffer", get_threshold, set_threshold,
     "end_frame() flushes when more index entries than this are buffered.",
     as_closure(index_entries_to_buffer)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot file_slots[] = {
    {Py_tp_doc, const_cast<char *>(file_doc)},
    {Py_tp_new, reinterpret_cast<void *>(file_new)},
    {Py_tp_init, reinterpret_cast<void *>(file_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(file_dealloc)},
    {Py_tp_methods, file_methods},
    {Py_tp_getset, file_properties},
    {0, nullptr},
};

// Subclassable, no instance dictionary, no part in cyclic garbage collection.
PyType_Spec file_spec = {
    "rux.fl.RUXFile",
    static_cast<int>(sizeof(FileObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    file_slots,
};

}  // namespace

PyTypeObject *create_file_type(PyObject *module) {
    return reinterpret_cast<PyTypeObject *>(PyType_FromModuleAndSpec(module, &file_spec, nullptr));
}

}  // namespace rux_fl
