// What the source files of the extension module rux.fl share: the module
// state, the layout of a RUXFile object, error and log reporting, argument
// binding, and the chunk methods that the file type lists.
#ifndef RUX_FL_INTERNAL_H
#define RUX_FL_INTERNAL_H

#include "py_support.h"
#include "format.h"
#include "rux/rux.h"

namespace rux_fl {

struct ModuleState {
    PyTypeObject *file_type;      // the class RUXFile
    PyObject *ascontiguousarray;  // numpy.ascontiguousarray
};

extern PyModuleDef module_def;

// A RUXFile instance. It owns the handle while is_open is set.
struct FileObject {
    PyObject ob_base;  // the object header (PyObject_HEAD)
    rux_handle handle;
    int is_open;
    PyObject *mode;  // str or None
    PyObject *name;  // str or None
    // Chunk names as str by name id, made by read_frame and checked against
    // the library's text before reuse (a list, or null before the first use).
    PyObject *chunk_names;
    // Taken by series and frame reads, with the interpreter lock released:
    // they share the handle's kept data mapping, which a read may replace,
    // so reads through one object from several threads take turns (null
    // before the first such read).
    PyThread_type_lock reads_lock;
};

inline FileObject *as_file(PyObject *self) {
    return reinterpret_cast<FileObject *>(self);
}

inline ModuleState *module_state(PyObject *module) {
    return static_cast<ModuleState *>(PyModule_GetState(module));
}

// The module rux.fl, found from RUXFile or a subclass of it (borrowed).
PyObject *module_of(PyTypeObject *type);

// Turns a library return code into the matching exception. Returns 0 for
// RUX_SUCCESS, else -1 with the exception set. It must run before anything
// can change errno after the failing call.
int raise_on_error(PyObject *module, int code, PyObject *file_name);

// Calls logger.<level>(message) on the module attribute "logger" as it is
// now. A null message (a failed concatenation) fails without logging.
bool log_record(PyObject *module, const char *level, PyRef message);

// Raises ValueError("File is not open") unless the object owns an open handle.
bool require_open(FileObject *self);

// Positional-or-keyword parameters of a METH_FASTCALL | METH_KEYWORDS call.
// The parameters after the first `required` ones default to None.
struct Parameters {
    const char *function;
    const char *const *names;
    Py_ssize_t count;
    Py_ssize_t required;
};
bool bind_arguments(const Parameters &parameters, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, PyObject **values);

// What every method of RUXFile starts with: its arguments bound (at most
// four), the file checked open unless the method answers for a closed file
// itself, and the module found from the class that defines the method.
struct MethodStart {
    FileObject *self = nullptr;
    PyObject *module = nullptr;
    PyObject *values[4] = {};

    bool begin(const Parameters &parameters, bool needs_open, PyObject *self_object,
               PyTypeObject *defining_class, PyObject *const *args, Py_ssize_t nargs,
               PyObject *kwnames);
};

// Creates the class RUXFile for the module.
PyTypeObject *create_file_type(PyObject *module);

// The application and schema fields of the header: NUL-terminated, at most
// this many bytes of text.
constexpr Py_ssize_t kHeaderTextField = RUX_HEADER_TEXT_FIELD;
constexpr Py_ssize_t kMaxHeaderTextBytes = RUX_HEADER_TEXT_MAX;

// RUXFile(name, mode, ...) up to (not including) marking the object open: the
// file opened or created as the mode says (file_open.cpp). On failure the
// object owns no handle.
bool open_in_mode(PyObject *module, FileObject *self, PyObject *name, PyObject *mode,
                  PyObject *application, PyObject *schema, PyObject *schema_version);

// The chunk methods of RUXFile (arrays.cpp).
using MethodFunction = PyObject *(PyObject *self, PyTypeObject *defining_class,
                                  PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
MethodFunction write_chunk;
MethodFunction write_strings;
MethodFunction chunk_exists;
MethodFunction read_chunk;
MethodFunction find_matching_chunk_names;

// RUXFile.__reduce__ (pickling.cpp).
MethodFunction reduce_file;

// Shared by the chunk reads of arrays.cpp and the series and frame reads of
// series.cpp: the numpy type number of a chunk type code (-1 for a code that
// is no type), a one-column character chunk as text, and the KeyError of a
// missing chunk ("frame F / chunk NAME not found in: FILE").
int numpy_type_for_code(uint8_t code);
// The dimensions a chunk is read into: (N, M), or (M, N) for a character
// chunk; false with ValueError set when N is beyond what numpy can index.
bool chunk_dimensions(uint8_t type, uint64_t N, uint32_t M, Py_ssize_t dimensions[2]);
PyObject *decode_character_column(const char *bytes, uint64_t count);
void raise_chunk_not_found(FileObject *self, PyObject *frame, PyObject *name);

// The series and frame reads of RUXFile (series.cpp).
MethodFunction read_series;
MethodFunction read_frame;
extern const char read_series_doc[];
extern const char read_frame_doc[];

}  // namespace rux_fl

#endif  // RUX_FL_INTERNAL_H
