// Conversion between numpy arrays and chunks: the RUXFile methods that write
// and read chunks, test for them and list their names.
#include "numpy_api.h"

#include <cstring>
#include <new>
#include <string>
#include <type_traits>

#include "fl_internal.h"

namespace rux_fl {

// One column of character bytes as text; trailing NUL bytes are not part of it.
PyObject *decode_character_column(const char *bytes, uint64_t count) {
    auto length = static_cast<Py_ssize_t>(count);
    while (length > 0 && bytes[length - 1] == '\0') {
        --length;
    }
    return PyUnicode_DecodeUTF8(bytes, length, "strict");
}

namespace {

// ---- Element pointers ----

enum class ElementClass { unsigned_integer, signed_integer, floating };

template <typename T>
constexpr ElementClass element_class() {
    if constexpr (std::is_floating_point_v<T>) {
        return ElementClass::floating;
    } else if constexpr (std::is_signed_v<T>) {
        return ElementClass::signed_integer;
    } else {
        return ElementClass::unsigned_integer;
    }
}

// Whether a buffer format string describes native elements of the class; the
// element size is checked separately.
bool format_has_class(const char *format, ElementClass element) {
    if (format == nullptr) {
        format = "B";  // the buffer protocol's default: unsigned bytes
    }
    if (*format == '@' || *format == '=') {
        ++format;
    }
#if PY_LITTLE_ENDIAN
    if (*format == '<') {
        ++format;
    }
#endif
    if (format[0] == '\0' || format[1] != '\0') {
        return false;
    }
    switch (element) {
        case ElementClass::unsigned_integer:
            return std::strchr("BHILQN", format[0]) != nullptr;
        case ElementClass::signed_integer:
            return std::strchr("bhilqn", format[0]) != nullptr;
        case ElementClass::floating:
            return format[0] == 'f' || format[0] == 'd';
    }
    return false;
}

// The address of element [0, 0] of a two-dimensional C-contiguous array of T,
// reached without copying; null for an array without elements. A null result
// with an exception set is a failure. The pointer stays valid while the caller
// holds the array.
template <typename T>
void *element_pointer(PyObject *array) {
    if (!PyArray_Check(array)) {
        PyErr_Format(
            PyExc_TypeError,
            "Argument 'data_array' has incorrect type (expected numpy.ndarray, got %.200s)",
            Py_TYPE(array)->tp_name);
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(array, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
        return nullptr;
    }
    void *pointer = nullptr;
    if (view.ndim != 2) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected 2, got %d)",
                     view.ndim);
    } else if (view.itemsize != static_cast<Py_ssize_t>(sizeof(T)) ||
               !format_has_class(view.format, element_class<T>())) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch: got '%s' of %zd bytes",
                     view.format != nullptr ? view.format : "B", view.itemsize);
    } else if (view.len != 0) {
        pointer = view.buf;
    }
    PyBuffer_Release(&view);
    return pointer;
}

// ---- Element types ----

struct ElementType {
    rux_type code;
    int typenum;  // the numpy type of arrays that hold the chunk
    void *(*pointer)(PyObject *array);
};

// In the order in which a written array's dtype is matched.
const ElementType numeric_types[] = {
    {RUX_TYPE_UINT8, NPY_UINT8, element_pointer<uint8_t>},
    {RUX_TYPE_UINT16, NPY_UINT16, element_pointer<uint16_t>},
    {RUX_TYPE_UINT32, NPY_UINT32, element_pointer<uint32_t>},
    {RUX_TYPE_UINT64, NPY_UINT64, element_pointer<uint64_t>},
    {RUX_TYPE_INT8, NPY_INT8, element_pointer<int8_t>},
    {RUX_TYPE_INT16, NPY_INT16, element_pointer<int16_t>},
    {RUX_TYPE_INT32, NPY_INT32, element_pointer<int32_t>},
    {RUX_TYPE_INT64, NPY_INT64, element_pointer<int64_t>},
    {RUX_TYPE_FLOAT, NPY_FLOAT32, element_pointer<float>},
    {RUX_TYPE_DOUBLE, NPY_FLOAT64, element_pointer<double>},
};

// Character chunks are held as signed bytes, columns first.
const ElementType character_type{RUX_TYPE_CHARACTER, NPY_INT8, element_pointer<int8_t>};

// The numeric type whose numpy dtype equals the given one (numpy's dtype
// equality: kind, size and byte order agree), or null.
const ElementType *element_type_of(PyArray_Descr *descr) {
    for (const ElementType &type : numeric_types) {
        PyArray_Descr *candidate = PyArray_DescrFromType(type.typenum);
        const bool equal = PyArray_EquivTypes(descr, candidate);
        Py_DECREF(candidate);
        if (equal) {
            return &type;
        }
    }
    return nullptr;
}

const ElementType *element_type_for_code(uint8_t code) {
    if (code >= RUX_TYPE_UINT8 && code <= RUX_TYPE_DOUBLE) {
        return &numeric_types[code - RUX_TYPE_UINT8];
    }
    return code == RUX_TYPE_CHARACTER ? &character_type : nullptr;
}

void raise_with_name(PyObject *type, const char *prefix, PyObject *name) {
    PyRef message = Message(prefix).add(name).take();
    if (message) {
        PyErr_SetObject(type, message.get());
    }
}

// ---- Writing ----

// What write_chunk hands to the library, and the object that owns the data.
struct ChunkData {
    PyRef owner;
    rux_type type = RUX_TYPE_CHARACTER;
    uint64_t rows = 0;
    uint32_t columns = 1;
    const void *data = nullptr;

    bool from_text(PyObject *text);
    bool from_array(PyObject *module, PyObject *name, PyObject *input);
    bool from_strings(PyObject *name, PyObject *input);
};

// A str becomes one column of character bytes; only ASCII text converts.
bool ChunkData::from_text(PyObject *text) {
    type = RUX_TYPE_CHARACTER;
    columns = 1;
    rows = static_cast<uint64_t>(PyUnicode_GET_LENGTH(text));
    if (rows == 0) {
        return true;  // an empty character chunk: no bytes to hand over
    }
    owner.reset(PyUnicode_AsASCIIString(text));
    if (!owner) {
        return false;
    }
    data = PyBytes_AS_STRING(owner.get());
    return true;
}

bool ChunkData::from_array(PyObject *module, PyObject *name, PyObject *input) {
    PyRef array(PyObject_CallOneArg(module_state(module)->ascontiguousarray, input));
    if (!array) {
        return false;
    }
    if (array.get() != input &&
        !log_record(module, "warning",
                    Message("implicit data copy when writing chunk: ").add(name).take())) {
        return false;
    }
    if (!PyArray_Check(array.get())) {
        PyErr_SetString(PyExc_TypeError, "numpy.ascontiguousarray did not return an array");
        return false;
    }
    auto *contiguous = reinterpret_cast<PyArrayObject *>(array.get());
    const int dimensions = PyArray_NDIM(contiguous);
    if (dimensions > 2) {
        raise_with_name(PyExc_ValueError, "RUX can only write 1 or 2 dimensional arrays: ", name);
        return false;
    }
    if (dimensions < 2) {
        npy_intp shape[2] = {dimensions == 1 ? PyArray_DIM(contiguous, 0) : 1, 1};
        PyArray_Dims column = {shape, 2};
        array.reset(PyArray_Newshape(contiguous, &column, NPY_CORDER));
        if (!array) {
            return false;
        }
        contiguous = reinterpret_cast<PyArrayObject *>(array.get());
    }
    const npy_intp column_count = PyArray_DIM(contiguous, 1);
    if (static_cast<uint64_t>(column_count) > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint32_t");
        return false;
    }
    rows = static_cast<uint64_t>(PyArray_DIM(contiguous, 0));
    columns = static_cast<uint32_t>(column_count);
    const ElementType *element = element_type_of(PyArray_DESCR(contiguous));
    if (element == nullptr) {
        raise_with_name(PyExc_ValueError, "invalid type for chunk: ", name);
        return false;
    }
    type = element->code;
    data = element->pointer(array.get());
    if (data == nullptr && PyErr_Occurred()) {
        return false;
    }
    owner = std::move(array);
    return true;
}

// A one-dimensional array of fixed-width byte strings becomes a character
// chunk with one column per string: N is the width, M the number of strings,
// which is how reading lays out the columns of a character chunk.
bool ChunkData::from_strings(PyObject *name, PyObject *input) {
    if (!PyArray_Check(input)) {
        raise_with_name(PyExc_TypeError, "write_strings needs a numpy array of bytes strings: ", name);
        return false;
    }
    auto *array = reinterpret_cast<PyArrayObject *>(input);
    if (PyArray_TYPE(array) != NPY_STRING || PyArray_NDIM(array) != 1 ||
        !PyArray_IS_C_CONTIGUOUS(array)) {
        raise_with_name(PyExc_ValueError,
                        "write_strings needs a C-contiguous one-dimensional array of dtype S: ",
                        name);
        return false;
    }
    const npy_intp count = PyArray_DIM(array, 0);
    if (static_cast<uint64_t>(count) > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint32_t");
        return false;
    }
    type = RUX_TYPE_CHARACTER;
    rows = static_cast<uint64_t>(PyArray_ITEMSIZE(array));
    columns = static_cast<uint32_t>(count);
    data = count == 0 ? nullptr : PyArray_DATA(array);
    owner = PyRef(Py_NewRef(input));
    return true;
}

// ---- Reading ----

void raise_missing_chunk(FileObject *self, PyObject *frame, PyObject *name) {
    PyRef message = Message("frame ")
                        .add_str_of(frame)
                        .add(" / chunk ")
                        .add(name)
                        .add(" not found in: ")
                        .add(self->name)
                        .take();
    if (message) {
        PyErr_SetObject(PyExc_KeyError, message.get());
    }
}

}  // namespace

bool chunk_dimensions(uint8_t type, uint64_t N, uint32_t M, Py_ssize_t dimensions[2]) {
    if (N > static_cast<uint64_t>(NPY_MAX_INTP)) {
        PyErr_SetString(PyExc_ValueError, "Maximum allowed dimension exceeded");
        return false;
    }
    const auto rows = static_cast<npy_intp>(N);
    const auto columns = static_cast<npy_intp>(M);
    const bool text = type == RUX_TYPE_CHARACTER;
    dimensions[0] = text ? columns : rows;
    dimensions[1] = text ? rows : columns;
    return true;
}

namespace {

// An uninitialised array that receives the chunk's bytes.
PyRef allocate_chunk_array(const rux_index_entry &entry, const ElementType &element) {
    npy_intp shape[2];
    if (!chunk_dimensions(element.code, entry.N, entry.M, shape)) {
        return PyRef();
    }
    return PyRef(PyArray_SimpleNew(2, shape, element.typenum));
}

PyObject *decode_text(PyArrayObject *array, uint64_t count) {
    return decode_character_column(static_cast<const char *>(PyArray_DATA(array)), count);
}

PyObject *chunk_result(PyRef array, const rux_index_entry &entry) {
    auto *allocated = reinterpret_cast<PyArrayObject *>(array.get());
    if (entry.M != 1) {
        return array.release();
    }
    if (entry.type == RUX_TYPE_CHARACTER) {
        return decode_text(allocated, entry.N);
    }
    npy_intp shape[1] = {static_cast<npy_intp>(entry.N)};
    PyArray_Dims flat = {shape, 1};
    return PyArray_Newshape(allocated, &flat, NPY_CORDER);
}

// A chunk name for the library: a str (or subclass); it is cut at its first
// NUL, as the library's C strings are.
bool encode_chunk_name(PyObject *name, Utf8Text *text) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "chunk name must be str, not %.200s",
                     Py_TYPE(name)->tp_name);
        return false;
    }
    return text->encode(name);
}

// The frame number for a lookup. An int beyond 64 bits names no frame, like
// any other absent frame: *in_range is false and no exception is set.
bool frame_for_lookup(PyObject *frame, int64_t *number, bool *in_range) {
    *in_range = true;
    if (to_int64(frame, number)) {
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        *in_range = false;
        return true;
    }
    return false;
}

// The library's check of a chunk's entry against the file, made before an
// array is allocated for it: a damaged entry can claim any N x M.
int check_entry_in_file(const rux_handle &handle, const rux_index_entry &entry) {
    const uint64_t element_size = rux_sizeof_type(static_cast<rux_type>(entry.type));
    uint64_t row_bytes = 0;
    uint64_t byte_count = 0;
    uint64_t end = 0;
    if (__builtin_mul_overflow(entry.N, element_size, &row_bytes) ||
        __builtin_mul_overflow(row_bytes, static_cast<uint64_t>(entry.M), &byte_count) ||
        __builtin_add_overflow(static_cast<uint64_t>(entry.location), byte_count, &end) ||
        end > static_cast<uint64_t>(handle.file_size)) {
        return RUX_ERROR_FILE_CORRUPT;
    }
    return RUX_SUCCESS;
}

// The frame and chunk name that chunk_exists and read_chunk look up.
struct ChunkLookup {
    Utf8Text name;
    int64_t frame = 0;
    bool in_range = true;  // false: an int beyond 64 bits, which names no frame

    bool convert(PyObject *frame_argument, PyObject *name_argument) {
        return encode_chunk_name(name_argument, &name) &&
               frame_for_lookup(frame_argument, &frame, &in_range);
    }
};

const char *const frame_and_name[] = {"frame", "name"};

}  // namespace

int numpy_type_for_code(uint8_t code) {
    const ElementType *element = element_type_for_code(code);
    return element == nullptr ? -1 : element->typenum;
}

void raise_chunk_not_found(FileObject *self, PyObject *frame, PyObject *name) {
    raise_missing_chunk(self, frame, name);
}

PyObject *write_chunk(PyObject *self_object, PyTypeObject *defining_class, PyObject *const *args,
                      Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"name", "data"};
    MethodStart call;
    if (!call.begin({"write_chunk", names, 2, 2}, true, self_object, defining_class, args, nargs,
                    kwnames)) {
        return nullptr;
    }
    PyObject *name = call.values[0];
    PyObject *data = call.values[1];
    FileObject *self = call.self;
    PyObject *module = call.module;
    Utf8Text chunk_name;
    if (!encode_chunk_name(name, &chunk_name)) {
        return nullptr;
    }
    ChunkData chunk;
    const bool converted =
        PyUnicode_CheckExact(data) ? chunk.from_text(data) : chunk.from_array(module, name, data);
    if (!converted ||
        !log_record(module, "debug",
                    Message("write chunk: ").add(self->name).add(" - ").add(name).take())) {
        return nullptr;
    }
    const int code = without_gil([&] {
        return rux_write_chunk(&self->handle, chunk_name.c_str(), chunk.type, chunk.rows,
                               chunk.columns, 0, chunk.data);
    });
    if (raise_on_error(module, code, self->name) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *write_strings(PyObject *self_object, PyTypeObject *defining_class,
                        PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"name", "data"};
    MethodStart call;
    if (!call.begin({"write_strings", names, 2, 2}, true, self_object, defining_class, args, nargs,
                    kwnames)) {
        return nullptr;
    }
    PyObject *name = call.values[0];
    FileObject *self = call.self;
    Utf8Text chunk_name;
    ChunkData chunk;
    if (!encode_chunk_name(name, &chunk_name) || !chunk.from_strings(name, call.values[1]) ||
        !log_record(call.module, "debug",
                    Message("write chunk: ").add(self->name).add(" - ").add(name).take())) {
        return nullptr;
    }
    const int code = without_gil([&] {
        return rux_write_chunk(&self->handle, chunk_name.c_str(), chunk.type, chunk.rows,
                               chunk.columns, 0, chunk.data);
    });
    if (raise_on_error(call.module, code, self->name) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *read_chunk(PyObject *self_object, PyTypeObject *defining_class, PyObject *const *args,
                     Py_ssize_t nargs, PyObject *kwnames) {
    MethodStart call;
    ChunkLookup lookup;
    if (!call.begin({"read_chunk", frame_and_name, 2, 2}, true, self_object, defining_class, args,
                    nargs, kwnames) ||
        !lookup.convert(call.values[0], call.values[1])) {
        return nullptr;
    }
    PyObject *frame = call.values[0];
    PyObject *name = call.values[1];
    FileObject *self = call.self;
    PyObject *module = call.module;
    if (!ensure_reads_lock(self)) {
        return nullptr;
    }
    // A copy, taken in the lookup's turn: the entry points into a mapping
    // that another thread's refresh, or Python code run before the read (the
    // logger), could replace, and it need not be aligned.
    rux_index_entry entry;
    const bool found = lookup.in_range && read_in_turn(self, [&] {
        const rux_index_entry *at = rux_find_chunk(
            &self->handle, static_cast<uint64_t>(lookup.frame), lookup.name.c_str());
        if (at != nullptr) {
            std::memcpy(&entry, at, sizeof entry);
        }
        return at != nullptr;
    });
    if (!found) {
        raise_missing_chunk(self, frame, name);
        return nullptr;
    }
    const ElementType *element = element_type_for_code(entry.type);
    if (element == nullptr) {
        raise_with_name(PyExc_ValueError, "invalid type for chunk: ", name);
        return nullptr;
    }
    if (!log_record(module, "debug",
                    Message("read chunk: ")
                        .add(self->name)
                        .add(" - ")
                        .add_str_of(frame)
                        .add(" - ")
                        .add(name)
                        .take())) {
        return nullptr;
    }
    // An empty chunk has no bytes to read (the library refuses to read one),
    // so only a chunk with data is checked against the file, before an array
    // of the size its damaged entry may claim is allocated.
    const bool has_data = entry.N != 0 && entry.M != 0;
    const int checked = has_data ? check_entry_in_file(self->handle, entry) : RUX_SUCCESS;
    if (raise_on_error(module, checked, self->name) < 0) {
        return nullptr;
    }
    PyRef array = allocate_chunk_array(entry, *element);
    if (!array) {
        return nullptr;
    }
    if (has_data) {
        void *destination = element->pointer(array.get());
        if (destination == nullptr) {
            return nullptr;
        }
        const int code =
            read_in_turn(self, [&] { return rux_read_chunk(&self->handle, destination, &entry); });
        if (raise_on_error(module, code, self->name) < 0) {
            return nullptr;
        }
    }
    return chunk_result(std::move(array), entry);
}

PyObject *chunk_exists(PyObject *self_object, PyTypeObject *defining_class, PyObject *const *args,
                       Py_ssize_t nargs, PyObject *kwnames) {
    MethodStart call;
    ChunkLookup lookup;
    if (!call.begin({"chunk_exists", frame_and_name, 2, 2}, false, self_object, defining_class,
                    args, nargs, kwnames) ||
        !lookup.convert(call.values[0], call.values[1]) ||
        !log_record(
            call.module, "debug",
            Message("chunk exists: ").add(call.self->name).add(" - ").add(call.values[1]).take())) {
        return nullptr;
    }
    FileObject *self = call.self;
    // A handle that is not open holds nothing to find; after a close that
    // failed part-way it may not even be safe to search.
    if (!self->is_open || !lookup.in_range) {
        Py_RETURN_FALSE;
    }
    if (!ensure_reads_lock(self)) {
        return nullptr;
    }
    const bool found = read_in_turn(self, [&] {
        return rux_find_chunk(&self->handle, static_cast<uint64_t>(lookup.frame),
                              lookup.name.c_str()) != nullptr;
    });
    return PyBool_FromLong(found);
}

PyObject *find_matching_chunk_names(PyObject *self_object, PyTypeObject *defining_class,
                                    PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"match"};
    MethodStart call;
    Utf8Text match;
    if (!call.begin({"find_matching_chunk_names", names, 1, 1}, true, self_object, defining_class,
                    args, nargs, kwnames) ||
        !match.encode(call.values[0])) {
        return nullptr;
    }
    FileObject *self = call.self;
    PyRef found_names(PyList_New(0));
    if (!found_names || !ensure_reads_lock(self)) {
        return nullptr;
    }
    // The names point into the handle: they are copied in one turn, so that
    // no refresh in another thread replaces them between two of them.
    std::string listed;
    bool copied = true;
    read_in_turn(self, [&] {
        const char *found = rux_find_matching_chunk_name(&self->handle, match.c_str(), nullptr);
        try {
            for (; found != nullptr;
                 found = rux_find_matching_chunk_name(&self->handle, match.c_str(), found)) {
                listed.append(found, std::strlen(found) + 1);
            }
        } catch (const std::bad_alloc &) {
            copied = false;
        }
        return 0;
    });
    if (!copied) {
        PyErr_NoMemory();
        return nullptr;
    }
    for (size_t at = 0; at < listed.size();) {
        const size_t length = std::strlen(listed.c_str() + at);
        PyRef text(
            PyUnicode_DecodeUTF8(listed.c_str() + at, static_cast<Py_ssize_t>(length), "strict"));
        if (!text || PyList_Append(found_names.get(), text.get()) < 0) {
            return nullptr;
        }
        at += length + 1;
    }
    return found_names.release();
}

}  // namespace rux_fl
