// The class RUXFile: construction in each access mode, the metadata and
// buffer properties, closing and deallocation, the methods that forward to
// the library, context-manager use and pickling.
#include <cstring>

#include "fl_internal.h"
#include "format.h"

namespace rux_fl {

namespace {

// The library stores at most this many bytes of application and schema.
constexpr Py_ssize_t kMaxHeaderTextBytes = RUX_HEADER_TEXT_MAX;
constexpr Py_ssize_t kHeaderTextField = RUX_HEADER_TEXT_FIELD;

PyObject *new_reference(PyObject *object) {
    Py_INCREF(object);
    return object;
}

void set_field(PyObject **field, PyObject *value) {
    PyObject *old = *field;
    Py_INCREF(value);
    *field = value;
    Py_XDECREF(old);
}

// The longest prefix of valid UTF-8 bytes that fits the header field without
// splitting a character.
Py_ssize_t header_text_length(const char *bytes, Py_ssize_t size) {
    if (size <= kMaxHeaderTextBytes) {
        return size;
    }
    Py_ssize_t length = kMaxHeaderTextBytes;
    while (length > 0 && (static_cast<unsigned char>(bytes[length]) & 0xC0) == 0x80) {
        --length;
    }
    return length;
}

// A NUL-terminated copy of encoded text, cut as the header will hold it.
class HeaderText {
  public:
    explicit HeaderText(const Utf8Text &text) {
        const Py_ssize_t length = header_text_length(text.c_str(), text.size());
        std::memcpy(bytes_, text.c_str(), static_cast<size_t>(length));
        bytes_[length] = '\0';
    }
    const char *c_str() const { return bytes_; }

  private:
    char bytes_[kHeaderTextField] = {};
};

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

// ---- Construction ----

enum class Action { open_existing, create };

struct ModeChoice {
    Action action;
    rux_open_flag flag;
    int exclusive;
};

bool mode_is(PyObject *mode, const char *text) {
    return PyUnicode_Check(mode) && PyUnicode_CompareWithASCIIString(mode, text) == 0;
}

// os.path.exists(name), with os looked up in the module now.
int path_exists(PyObject *module, PyObject *name) {
    PyRef os(PyObject_GetAttrString(module, "os"));
    PyRef path(os ? PyObject_GetAttrString(os.get(), "path") : nullptr);
    PyRef exists(path ? PyObject_CallMethod(path.get(), "exists", "O", name) : nullptr);
    return exists ? PyObject_IsTrue(exists.get()) : -1;
}

bool select_mode(PyObject *module, PyObject *mode, PyObject *name, ModeChoice *choice) {
    if (mode_is(mode, "r")) {
        *choice = {Action::open_existing, RUX_OPEN_READONLY, 0};
    } else if (mode_is(mode, "r+")) {
        *choice = {Action::open_existing, RUX_OPEN_READWRITE, 0};
    } else if (mode_is(mode, "w")) {
        *choice = {Action::create, RUX_OPEN_READWRITE, 0};
    } else if (mode_is(mode, "x")) {
        *choice = {Action::create, RUX_OPEN_READWRITE, 1};
    } else if (mode_is(mode, "a")) {
        const int exists = path_exists(module, name);
        if (exists < 0) {
            return false;
        }
        *choice = {exists ? Action::open_existing : Action::create, RUX_OPEN_READWRITE, 0};
    } else {
        PyRef message = Message("Invalid mode: ").add(mode).take();
        if (message) {
            PyErr_SetObject(PyExc_ValueError, message.get());
        }
        return false;
    }
    return true;
}

bool open_existing(PyObject *module, FileObject *self, PyObject *name, PyObject *mode,
                   rux_open_flag flag, int *code) {
    if (!log_record(module, "info",
                    Message("opening file: ").add(name).add(" with mode: ").add(mode).take())) {
        return false;
    }
    Utf8Text path;
    if (!path.encode(name)) {
        return false;
    }
    *code = without_gil([&] { return rux_open(&self->handle, path.c_str(), flag); });
    return true;
}

bool require_creation_argument(PyObject *argument, const char *message) {
    if (argument == Py_None) {
        PyErr_SetString(PyExc_ValueError, message);
        return false;
    }
    return true;
}

// schema_version[index] as an unsigned 32-bit version part.
bool version_part(PyObject *schema_version, Py_ssize_t index, uint32_t *part) {
    PyRef key(PyLong_FromSsize_t(index));
    PyRef item(key ? PyObject_GetItem(schema_version, key.get()) : nullptr);
    return item && to_uint32(item.get(), part);
}

bool create_new(PyObject *module, FileObject *self, PyObject *name, PyObject *mode,
                PyObject *application, PyObject *schema, PyObject *schema_version,
                const ModeChoice &choice, int *code) {
    if (!require_creation_argument(application, "Provide application when creating a file") ||
        !require_creation_argument(schema, "Provide schema when creating a file") ||
        !require_creation_argument(schema_version, "Provide schema_version when creating a file")) {
        return false;
    }
    PyRef line = Message("overwriting file: ")
                     .add(name)
                     .add(" with mode: ")
                     .add(mode)
                     .add(", application: ")
                     .add(application)
                     .add(", schema: ")
                     .add(schema)
                     .add(", and schema_version: ")
                     .add_str_of(schema_version)
                     .take();
    if (!log_record(module, "info", std::move(line))) {
        return false;
    }
    Utf8Text path;
    Utf8Text application_text;
    Utf8Text schema_text;
    if (!path.encode(name) || !application_text.encode(application) ||
        !schema_text.encode(schema)) {
        return false;
    }
    uint32_t major = 0;
    uint32_t minor = 0;
    if (!version_part(schema_version, 0, &major) || !version_part(schema_version, 1, &minor)) {
        return false;
    }
    const uint32_t version = rux_make_version(major, minor);
    // Cut at a character boundary here: the library would cut at byte 63,
    // possibly inside a character.
    const HeaderText application_field(application_text);
    const HeaderText schema_field(schema_text);
    *code = without_gil([&] {
        return rux_create_and_open(&self->handle, path.c_str(), application_field.c_str(),
                                   schema_field.c_str(), version, choice.flag, choice.exclusive);
    });
    return true;
}

// The schema text that the file must report: the argument as the header can
// hold it (cut like create_new cuts it).
PyRef expected_schema(PyObject *schema) {
    PyRef encoded(PyUnicode_AsUTF8String(schema));
    if (!encoded) {
        // Text that UTF-8 can't encode can't be stored either, so no stored
        // schema equals it; compare with its first 63 characters.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            return PyRef();
        }
        PyErr_Clear();
        return PyRef(PyUnicode_Substring(schema, 0, kMaxHeaderTextBytes));
    }
    const char *bytes = PyBytes_AS_STRING(encoded.get());
    const Py_ssize_t size = PyBytes_GET_SIZE(encoded.get());
    if (size <= kMaxHeaderTextBytes) {
        return PyRef::borrowed(schema);
    }
    return PyRef(PyUnicode_DecodeUTF8(bytes, header_text_length(bytes, size), "strict"));
}

bool check_schema(FileObject *self, PyObject *name, PyObject *schema) {
    if (!check_str_or_none(schema)) {
        return false;
    }
    PyObject *self_object = reinterpret_cast<PyObject *>(self);
    PyRef expected = expected_schema(schema);
    PyRef stored(expected ? PyObject_GetAttrString(self_object, "schema") : nullptr);
    if (!stored) {
        return false;
    }
    const int differs = PyObject_RichCompareBool(stored.get(), expected.get(), Py_NE);
    if (differs <= 0) {
        return differs == 0;
    }
    PyRef reported(PyObject_GetAttrString(self_object, "schema"));
    if (!reported) {
        return false;
    }
    PyRef message =
        Message("file ").add(name).add(" has incorrect schema: ").add(reported.get()).take();
    if (message) {
        PyErr_SetObject(PyExc_RuntimeError, message.get());
    }
    return false;
}

// Construction up to (not including) marking the object open. On failure the
// object owns no handle.
bool construct(PyObject *module, FileObject *self, PyObject *name, PyObject *mode,
               PyObject *application, PyObject *schema, PyObject *schema_version) {
    if (!check_str_or_none(mode)) {
        return false;
    }
    set_field(&self->mode, mode);
    ModeChoice choice{};
    if (!select_mode(module, mode, name, &choice)) {
        return false;
    }
    if (!check_str_or_none(name)) {
        return false;
    }
    // The library takes a C string: a NUL would cut the name and open (or,
    // in mode "a", create and truncate) another file.
    if (name != Py_None && PyUnicode_FindChar(name, 0, 0, PyUnicode_GET_LENGTH(name), 1) != -1) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return false;
    }
    set_field(&self->name, name);
    int code = RUX_SUCCESS;
    const bool called = choice.action == Action::open_existing
                            ? open_existing(module, self, name, mode, choice.flag, &code)
                            : create_new(module, self, name, mode, application, schema,
                                         schema_version, choice, &code);
    if (!called || raise_on_error(module, code, name) < 0) {
        return false;
    }
    if (schema != Py_None && !check_schema(self, name, schema)) {
        // The handle is open but the object will not own it: release it
        // rather than leak its descriptor and mapping.
        without_gil([self] { return rux_close(&self->handle); });
        return false;
    }
    return true;
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
    if (!log_record(module, "info", Message("closing file: ").add(self->name).take())) {
        return -1;
    }
    const int code = without_gil([self] { return rux_close(&self->handle); });
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
    if (!construct(module, self, name, mode, application, schema, schema_version)) {
        return -1;
    }
    self->is_open = 1;
    return 0;
}

// Closes a file that is dropped while open. Nothing may propagate from a
// deallocator: a failure goes to the unraisable-exception hook.
void close_on_dealloc(FileObject *self) {
    PyObject *pending_type = nullptr;
    PyObject *pending_value = nullptr;
    PyObject *pending_traceback = nullptr;
    PyErr_Fetch(&pending_type, &pending_value, &pending_traceback);
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
    PyErr_Restore(pending_type, pending_value, pending_traceback);
}

void file_dealloc(PyObject *self_object) {
    FileObject *self = as_file(self_object);
    PyTypeObject *type = Py_TYPE(self_object);
    if (self->is_open) {
        close_on_dealloc(self);
    }
    Py_CLEAR(self->mode);
    Py_CLEAR(self->name);
    type->tp_free(self_object);
    Py_DECREF(type);
}

// ---- Methods ----

bool bind_no_arguments(const char *function, Py_ssize_t nargs, PyObject *kwnames) {
    return bind_arguments({function, nullptr, 0, 0}, nullptr, nargs, kwnames, nullptr);
}

PyObject *method_close(PyObject *self_object, PyTypeObject *defining_class, PyObject *const *,
                       Py_ssize_t nargs, PyObject *kwnames) {
    if (!bind_no_arguments("close", nargs, kwnames)) {
        return nullptr;
    }
    FileObject *self = as_file(self_object);
    if (self->is_open && close_open_handle(PyType_GetModule(defining_class), self) < 0) {
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
    if (!bind_no_arguments(forwarding.method, nargs, kwnames)) {
        return nullptr;
    }
    FileObject *self = as_file(self_object);
    if (!require_open(self)) {
        return nullptr;
    }
    PyObject *module = PyType_GetModule(defining_class);
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

PyObject *method_refresh(PyObject *self_object, PyTypeObject *defining_class, PyObject *const *,
                         Py_ssize_t nargs, PyObject *kwnames) {
    static const Forwarding forwarding{"refresh", "debug", "refresh: ", rux_refresh};
    if (forward(forwarding, self_object, defining_class, nargs, kwnames) == nullptr) {
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(rux_get_nframes(&as_file(self_object)->handle));
}

PyObject *method_enter(PyObject *self, PyTypeObject *, PyObject *const *, Py_ssize_t nargs,
                       PyObject *kwnames) {
    if (!bind_no_arguments("__enter__", nargs, kwnames)) {
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

PyObject *method_reduce(PyObject *self_object, PyTypeObject *defining_class, PyObject *const *,
                        Py_ssize_t nargs, PyObject *kwnames) {
    if (!bind_no_arguments("__reduce__", nargs, kwnames)) {
        return nullptr;
    }
    PyObject *module = PyType_GetModule(defining_class);
    FileObject *self = as_file(self_object);
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

const char file_doc[] =
    "RUXFile\n"
    "\n"
    "RUX file access interface.\n"
    "\n"
    "Use open() to create a RUXFile. A RUXFile owns one open file until it is\n"
    "closed, by close(), at the end of a with block, or when the object is\n"
    "deleted.\n"
    "\n"
    "Args:\n"
    "    name (str): File name.\n"
    "    mode (str): Access mode: 'r', 'r+', 'w', 'x' or 'a' (see open()).\n"
    "    application (str): Name of the application writing the file.\n"
    "    schema (str): Name of the data schema.\n"
    "    schema_version (tuple[int, int]): (major, minor) schema version.\n"
    "\n"
    "Attributes:\n"
    "    name (str): File name.\n"
    "    mode (str): Access mode.\n"
    "    rux_version (tuple[int, int]): Version of the file layout.\n"
    "    schema_version (tuple[int, int]): Version of the data schema.\n"
    "    schema (str): Name of the data schema.\n"
    "    application (str): Name of the application that wrote the file.\n"
    "    nframes (int): Number of completed frames.\n"
    "    maximum_write_buffer_size (int): Chunks of at least this many bytes\n"
    "        are written at once; smaller ones are buffered up to this size.\n"
    "    index_entries_to_buffer (int): Buffered index entries beyond which\n"
    "        end_frame() flushes.\n";

const char close_doc[] =
    "close()\n"
    "\n"
    "Close the file.\n"
    "\n"
    "Buffered data of completed frames are written to the file first. Chunks\n"
    "written since the last end_frame() are not recorded. Closing a file that\n"
    "is not open does nothing.\n";

const char truncate_doc[] =
    "truncate()\n"
    "\n"
    "Truncate all data from the file.\n"
    "\n"
    "The application, schema and schema version remain. All frames and chunk\n"
    "names are removed, and the buffer settings return to their defaults.\n";

const char end_frame_doc[] =
    "end_frame()\n"
    "\n"
    "Complete writing the current frame.\n"
    "\n"
    "Chunks of a frame can be found and read once the frame is complete.\n";

const char flush_doc[] =
    "flush()\n"
    "\n"
    "Flush all buffered frames to the file.\n";

const char upgrade_doc[] =
    "upgrade()\n"
    "\n"
    "Upgrade a RUX file to the v2 specification in place.\n"
    "\n"
    "The file must be open in a writable mode.\n";

const char refresh_doc[] =
    "refresh()\n"
    "\n"
    "Take a new view of a file that a writer is appending to.\n"
    "\n"
    "On a read-only file, picks up the frames and names flushed since the\n"
    "open or the last refresh, whole frames only, and returns nframes.\n"
    "nframes and lookups stay fixed between refreshes. On a writable file\n"
    "it changes nothing.\n";

const char enter_doc[] =
    "__enter__()\n"
    "\n"
    "Return the file itself for use in a with block.\n";

const char exit_doc[] =
    "__exit__(exc_type, exc_value, traceback)\n"
    "\n"
    "Close the file at the end of a with block.\n";

const char reduce_doc[] = "Allows filehandles to be pickled when in read only mode.";

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
    method("__reduce__", method_reduce, reduce_doc),
    method("read_series", read_series, read_series_doc),
    method("read_frame", read_frame, read_frame_doc),
    method("refresh", method_refresh, refresh_doc),
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
