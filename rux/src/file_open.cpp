// Opening a RUXFile's file: which library call each access mode makes, the
// arguments a new file needs, the header texts cut as the header holds them,
// and the check of the file's schema against the one asked for.
#include <cstring>

#include "fl_internal.h"

namespace rux_fl {

namespace {

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

}  // namespace

bool open_in_mode(PyObject *module, FileObject *self, PyObject *name, PyObject *mode,
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

}  // namespace rux_fl
