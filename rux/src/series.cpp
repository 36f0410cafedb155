// The RUXFile methods that read many chunks in one library call: one name
// across many frames (read_series) and every chunk of one frame (read_frame).
#include "numpy_api.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "fl_internal.h"

namespace rux_fl {

namespace {

// The frames of a read_series call, as the library takes them.
struct FrameSelection {
    rux_frame_selection selection{};
    std::unique_ptr<uint64_t[]> list;
};

PyRef frame_number(uint64_t frame) {
    return PyRef(PyLong_FromUnsignedLongLong(frame));
}

PyRef signed_frame_number(int64_t frame) {
    return PyRef(PyLong_FromLongLong(frame));
}

// KeyError for a frame that the file does not hold: negative frames are
// refused here with the caller's value, as read_chunk does.
void raise_missing(FileObject *self, PyRef frame, PyObject *name) {
    if (frame) {
        raise_chunk_not_found(self, frame.get(), name);
    }
}

bool select_range(int64_t start, int64_t step, int64_t length, FileObject *self, PyObject *name,
                  FrameSelection *frames) {
    if (length > 0) {
        // The first negative frame in selection order, if any.
        int64_t first_negative = -1;
        int64_t last = 0;
        if (__builtin_mul_overflow(length - 1, step, &last) ||
            __builtin_add_overflow(start, last, &last)) {
            PyErr_SetString(PyExc_OverflowError, "frames out of range");
            return false;
        }
        if (start < 0) {
            first_negative = 0;
        } else if (last < 0) {
            first_negative = start / -step + 1;
        }
        if (first_negative >= 0) {
            raise_missing(self, signed_frame_number(start + first_negative * step), name);
            return false;
        }
    }
    frames->selection.start = static_cast<uint64_t>(start);
    frames->selection.step = step;
    frames->selection.count = static_cast<uint64_t>(length);
    return true;
}

bool range_field(PyObject *range, const char *field, int64_t *value) {
    PyRef attribute(PyObject_GetAttrString(range, field));
    return attribute && to_int64(attribute.get(), value);
}

bool select_frames(FileObject *self, PyObject *name, PyObject *frames_argument,
                   FrameSelection *frames) {
    const uint64_t nframes = rux_get_nframes(&self->handle);
    if (frames_argument == Py_None) {
        frames->selection.step = 1;
        frames->selection.count = nframes;
        return true;
    }
    if (PySlice_Check(frames_argument)) {
        Py_ssize_t start = 0;
        Py_ssize_t stop = 0;
        Py_ssize_t step = 0;
        if (PySlice_Unpack(frames_argument, &start, &stop, &step) < 0) {
            return false;
        }
        const Py_ssize_t length = PySlice_AdjustIndices(static_cast<Py_ssize_t>(nframes), &start,
                                                        &stop, step);
        return select_range(start, step, length, self, name, frames);
    }
    if (PyRange_Check(frames_argument)) {
        int64_t start = 0;
        int64_t step = 0;
        const Py_ssize_t length = PyObject_Length(frames_argument);
        if (length < 0 || !range_field(frames_argument, "start", &start) ||
            !range_field(frames_argument, "step", &step)) {
            return false;
        }
        return select_range(start, step, length, self, name, frames);
    }
    if (PyUnicode_Check(frames_argument) || PyBytes_Check(frames_argument)) {
        PyErr_SetString(PyExc_TypeError,
                        "frames must be None, a range, a slice or a sequence of ints");
        return false;
    }
    PyRef items(PySequence_Fast(frames_argument,
                                "frames must be None, a range, a slice or a sequence of ints"));
    if (!items) {
        return false;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    frames->list.reset(new (std::nothrow) uint64_t[static_cast<size_t>(count) + 1]);
    if (!frames->list) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PySequence_Fast_GET_ITEM(items.get(), i);
        int64_t frame = 0;
        if (!to_int64(item, &frame)) {
            return false;
        }
        if (frame < 0) {
            raise_chunk_not_found(self, item, name);
            return false;
        }
        frames->list[static_cast<size_t>(i)] = static_cast<uint64_t>(frame);
    }
    frames->selection.list = frames->list.get();
    frames->selection.count = static_cast<uint64_t>(count);
    return true;
}

// The rows of a read_series call, as numpy indexes an axis: a slice, a
// range or a 1-D sequence of ints, negative ones counting from the end. The
// argument is checked when the call begins and resolved against N once the
// first frame's chunk is known.
class RowSelection {
  public:
    // False with TypeError or ValueError set for an argument that names no rows.
    bool parse(PyObject *argument) {
        if (argument == Py_None) {
            return true;
        }
        if (PySlice_Check(argument)) {
            kind_ = Kind::slice;
            return PySlice_Unpack(argument, &slice_start_, &slice_stop_, &slice_step_) == 0;
        }
        if (PyRange_Check(argument)) {
            kind_ = Kind::range;
            const Py_ssize_t length = PyObject_Length(argument);
            range_length_ = length;
            return length >= 0 && range_field(argument, "start", &range_start_) &&
                   range_field(argument, "step", &range_step_);
        }
        if (PyUnicode_Check(argument) || PyBytes_Check(argument)) {
            return refuse_type();
        }
        kind_ = Kind::array;
        PyRef any(PyArray_FromAny(argument, nullptr, 0, 0, 0, nullptr));
        if (!any) {
            return false;
        }
        auto *array = reinterpret_cast<PyArrayObject *>(any.get());
        if (PyArray_NDIM(array) == 0) {
            return refuse_type();
        }
        if (PyArray_NDIM(array) != 1) {
            PyErr_SetString(PyExc_ValueError, "rows must be one-dimensional");
            return false;
        }
        const bool empty_sequence = PyArray_SIZE(array) == 0 && !PyArray_Check(argument);
        if (!empty_sequence && PyArray_ISBOOL(array)) {
            PyErr_SetString(PyExc_TypeError,
                            "rows must be ints, not booleans (for a mask, pass "
                            "numpy.flatnonzero(mask))");
            return false;
        }
        if (!empty_sequence && !PyArray_ISINTEGER(array)) {
            return refuse_type();
        }
        unsigned_ = PyArray_ISUNSIGNED(array) && PyArray_ITEMSIZE(array) == 8;
        // numpy casts every other integer type to int64 without loss.
        array_.reset(PyArray_FROM_OTF(any.get(), unsigned_ ? NPY_UINT64 : NPY_INT64,
                                      NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
        return static_cast<bool>(array_);
    }

    bool all() const { return kind_ == Kind::all; }

    // The rows for the library (null: every row).
    const rux_row_selection *selection() const { return all() ? nullptr : &selection_; }

    uint64_t count(uint64_t N) const { return all() ? N : selection_.count; }

    // Resolves the rows against the chunk's N (at most NPY_MAX_INTP); false
    // with IndexError set for a row out of range.
    bool resolve(uint64_t N, FileObject *self, PyObject *name) {
        const auto rows = static_cast<Py_ssize_t>(N);
        switch (kind_) {
            case Kind::all:
                return true;
            case Kind::slice: {
                const Py_ssize_t length =
                    PySlice_AdjustIndices(rows, &slice_start_, &slice_stop_, slice_step_);
                selection_ = {nullptr, static_cast<uint64_t>(slice_start_), slice_step_,
                              static_cast<uint64_t>(length)};
                return true;
            }
            case Kind::range: {
                if (!allocate(static_cast<uint64_t>(range_length_))) {
                    return false;
                }
                for (Py_ssize_t i = 0; i < range_length_; ++i) {
                    int64_t value = 0;
                    if (__builtin_mul_overflow(static_cast<int64_t>(i), range_step_, &value) ||
                        __builtin_add_overflow(range_start_, value, &value)) {
                        PyErr_SetString(PyExc_OverflowError, "rows out of range");
                        return false;
                    }
                    if (!take_signed(value, N, self, name, &list_[static_cast<size_t>(i)])) {
                        return false;
                    }
                }
                return true;
            }
            case Kind::array:
                break;
        }
        auto *array = reinterpret_cast<PyArrayObject *>(array_.get());
        const auto length = static_cast<uint64_t>(PyArray_SIZE(array));
        if (!allocate(length)) {
            return false;
        }
        for (uint64_t i = 0; i < length; ++i) {
            if (unsigned_) {
                const uint64_t value = static_cast<const uint64_t *>(PyArray_DATA(array))[i];
                if (value >= N) {
                    PyRef row(PyLong_FromUnsignedLongLong(value));
                    return raise_out_of_range(row.get(), N, self, name);
                }
                list_[i] = value;
            } else if (!take_signed(static_cast<const int64_t *>(PyArray_DATA(array))[i], N, self,
                                    name, &list_[i])) {
                return false;
            }
        }
        return true;
    }

  private:
    enum class Kind { all, slice, range, array };

    static bool refuse_type() {
        PyErr_SetString(PyExc_TypeError,
                        "rows must be None, a slice, a range or a 1-D sequence of ints");
        return false;
    }

    bool allocate(uint64_t count) {
        list_.reset(new (std::nothrow) uint64_t[static_cast<size_t>(count) + 1]);
        if (!list_) {
            PyErr_NoMemory();
            return false;
        }
        selection_ = {list_.get(), 0, 0, count};
        return true;
    }

    static bool take_signed(int64_t value, uint64_t N, FileObject *self, PyObject *name,
                            uint64_t *row) {
        const auto rows = static_cast<int64_t>(N);  // N <= NPY_MAX_INTP
        if (value < -rows || value >= rows) {
            PyRef given(PyLong_FromLongLong(value));
            return raise_out_of_range(given.get(), N, self, name);
        }
        *row = static_cast<uint64_t>(value < 0 ? value + rows : value);
        return true;
    }

    static bool raise_out_of_range(PyObject *row, uint64_t N, FileObject *self, PyObject *name) {
        PyRef rows(PyLong_FromUnsignedLongLong(N));
        if (row == nullptr || !rows) {
            return false;
        }
        PyRef message = Message("row ")
                            .add_str_of(row)
                            .add(" out of range for chunk ")
                            .add(name)
                            .add(" of ")
                            .add_str_of(rows.get())
                            .add(" rows in: ")
                            .add(self->name)
                            .take();
        if (message) {
            PyErr_SetObject(PyExc_IndexError, message.get());
        }
        return false;
    }

    Kind kind_ = Kind::all;
    Py_ssize_t slice_start_ = 0;
    Py_ssize_t slice_stop_ = 0;
    Py_ssize_t slice_step_ = 1;
    int64_t range_start_ = 0;
    int64_t range_step_ = 1;
    Py_ssize_t range_length_ = 0;
    bool unsigned_ = false;
    PyRef array_;
    std::unique_ptr<uint64_t[]> list_;
    rux_row_selection selection_{};
};

void raise_value_error(PyRef message) {
    if (message) {
        PyErr_SetObject(PyExc_ValueError, message.get());
    }
}

// Raises the exception of a failed series read.
void raise_series_error(PyObject *module, FileObject *self, PyObject *name, int code,
                        const rux_series_info &info) {
    switch (info.problem) {
        case RUX_SERIES_FRAME_OUT_OF_RANGE:
        case RUX_SERIES_CHUNK_MISSING:
            raise_missing(self, frame_number(info.problem_frame), name);
            return;
        case RUX_SERIES_ROW_OUT_OF_RANGE: {
            // Rows are checked before the library sees them: this only comes
            // of a file that changed between the two calls.
            PyRef row(PyLong_FromUnsignedLongLong(info.problem_row));
            if (row) {
                PyRef message = Message("row ")
                                    .add_str_of(row.get())
                                    .add(" out of range for chunk ")
                                    .add(name)
                                    .add(" in: ")
                                    .add(self->name)
                                    .take();
                if (message) {
                    PyErr_SetObject(PyExc_IndexError, message.get());
                }
            }
            return;
        }
        case RUX_SERIES_ROWS_OF_TEXT:
            raise_value_error(Message("rows cannot be selected in a series of text: ")
                                  .add(name)
                                  .take());
            return;
        case RUX_SERIES_SHAPE_MISMATCH: {
            PyRef frame = frame_number(info.problem_frame);
            PyRef message = frame ? Message("chunk ")
                                        .add(name)
                                        .add(" differs in type or shape at frame ")
                                        .add_str_of(frame.get())
                                        .add(" in: ")
                                        .add(self->name)
                                        .take()
                                  : PyRef();
            if (message) {
                PyErr_SetObject(PyExc_ValueError, message.get());
            }
            return;
        }
        default:
            raise_on_error(module, code, self->name);
    }
}

void raise_invalid_type(PyObject *name) {
    PyRef message = Message("invalid type for chunk: ").add(name).take();
    if (message) {
        PyErr_SetObject(PyExc_ValueError, message.get());
    }
}

// Checks that `out` can receive the series: an ndarray of the series' dtype
// in native byte order and shape, C-contiguous and writable.
bool check_out(PyObject *out, int typenum, int ndim, const npy_intp *shape, PyObject *name) {
    bool fits = PyArray_Check(out);
    if (fits) {
        auto *array = reinterpret_cast<PyArrayObject *>(out);
        fits = PyArray_EquivTypenums(PyArray_TYPE(array), typenum) && PyArray_ISNOTSWAPPED(array) &&
               PyArray_NDIM(array) == ndim && PyArray_IS_C_CONTIGUOUS(array) &&
               PyArray_ISWRITEABLE(array);
        for (int i = 0; fits && i < ndim; ++i) {
            fits = PyArray_DIM(array, i) == shape[i];
        }
    }
    if (fits) {
        return true;
    }
    PyRef dims(PyTuple_New(ndim));
    for (int i = 0; dims && i < ndim; ++i) {
        PyObject *dimension = PyLong_FromSsize_t(shape[i]);
        if (dimension == nullptr) {
            return false;
        }
        PyTuple_SET_ITEM(dims.get(), i, dimension);
    }
    PyRef dtype(reinterpret_cast<PyObject *>(PyArray_DescrFromType(typenum)));
    if (dims && dtype) {
        PyErr_Format(PyExc_ValueError,
                     "out must be a writable C-contiguous numpy array of dtype %S and shape %S "
                     "for chunk %S",
                     dtype.get(), dims.get(), name);
    }
    return false;
}

// Rows of a one-column character series as a list of str.
PyObject *series_texts(PyArrayObject *array, npy_intp count, uint64_t length) {
    PyRef texts(PyList_New(count));
    const char *bytes = static_cast<const char *>(PyArray_DATA(array));
    for (npy_intp t = 0; texts && t < count; ++t) {
        PyObject *text = decode_character_column(bytes + static_cast<uint64_t>(t) * length, length);
        if (text == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(texts.get(), t, text);
    }
    return texts.release();
}

// The chunk lists of one read_frame call: on the stack for frames of up to
// kFrameChunks chunks, on the heap beyond.
class ChunkScratch {
  public:
    static constexpr size_t kFrameChunks = 16;

    ChunkScratch() { point_at(local_chunks_, local_keys_, local_arrays_, local_destinations_); }
    ChunkScratch(const ChunkScratch &) = delete;
    ChunkScratch &operator=(const ChunkScratch &) = delete;

    rux_chunk_info *chunks() { return chunks_; }
    size_t capacity() const { return capacity_; }
    // Room for `count` chunks; false when it cannot be had.
    bool reserve(size_t count) {
        heap_chunks_.reset(new (std::nothrow) rux_chunk_info[count]);
        heap_keys_.reset(new (std::nothrow) PyRef[count]);
        heap_arrays_.reset(new (std::nothrow) PyRef[count]);
        heap_destinations_.reset(new (std::nothrow) void *[count]);
        if (!heap_chunks_ || !heap_keys_ || !heap_arrays_ || !heap_destinations_) {
            return false;
        }
        point_at(heap_chunks_.get(), heap_keys_.get(), heap_arrays_.get(),
                 heap_destinations_.get());
        capacity_ = count;
        return true;
    }

    struct Refs {
        PyRef *items = nullptr;
        PyRef &operator[](size_t i) { return items[i]; }
    };
    struct Pointers {
        void **items = nullptr;
        void *&operator[](size_t i) { return items[i]; }
        void *const *get() const { return items; }
    };
    Refs keys;
    Refs arrays;
    Pointers destinations;

  private:
    void point_at(rux_chunk_info *chunks, PyRef *keys_at, PyRef *arrays_at, void **destinations_at) {
        chunks_ = chunks;
        keys.items = keys_at;
        arrays.items = arrays_at;
        destinations.items = destinations_at;
    }

    rux_chunk_info local_chunks_[kFrameChunks] = {};
    PyRef local_keys_[kFrameChunks];
    PyRef local_arrays_[kFrameChunks];
    void *local_destinations_[kFrameChunks] = {};
    std::unique_ptr<rux_chunk_info[]> heap_chunks_;
    std::unique_ptr<PyRef[]> heap_keys_;
    std::unique_ptr<PyRef[]> heap_arrays_;
    std::unique_ptr<void *[]> heap_destinations_;
    rux_chunk_info *chunks_ = nullptr;
    size_t capacity_ = kFrameChunks;
};

// The str of a chunk name (new reference), reused from the file object's
// cache while the library gives the same text for the id: a file's names
// never change under an id except by truncation, and the check covers that.
PyObject *cached_name(FileObject *self, uint16_t id, const char *name) {
    const size_t length = std::strlen(name);
    if (self->chunk_names == nullptr) {
        self->chunk_names = PyList_New(0);
        if (self->chunk_names == nullptr) {
            return nullptr;
        }
    }
    PyObject *cache = self->chunk_names;
    while (PyList_GET_SIZE(cache) <= id) {
        if (PyList_Append(cache, Py_None) < 0) {
            return nullptr;
        }
    }
    PyObject *cached = PyList_GET_ITEM(cache, id);
    if (cached != Py_None) {
        Py_ssize_t cached_length = 0;
        const char *text = PyUnicode_AsUTF8AndSize(cached, &cached_length);
        if (text == nullptr) {
            return nullptr;
        }
        if (static_cast<size_t>(cached_length) == length && std::memcmp(text, name, length) == 0) {
            Py_INCREF(cached);
            return cached;
        }
    }
    PyObject *decoded = PyUnicode_DecodeUTF8(name, static_cast<Py_ssize_t>(length), "strict");
    if (decoded == nullptr) {
        return nullptr;
    }
    Py_INCREF(decoded);
    PyList_SET_ITEM(cache, id, decoded);  // steals the new reference
    Py_DECREF(cached);
    return decoded;
}

// Runs one series or frame read with the interpreter lock released and the
// object's reads lock held (see FileObject::reads_lock). The reads lock is
// waited for only once the interpreter lock is released, so a thread holding
// it can always finish.
class ReadsTurn {
  public:
    explicit ReadsTurn(PyThread_type_lock lock) : lock_(lock) {
        PyThread_acquire_lock(lock_, WAIT_LOCK);
    }
    ReadsTurn(const ReadsTurn &) = delete;
    ReadsTurn &operator=(const ReadsTurn &) = delete;
    ~ReadsTurn() { PyThread_release_lock(lock_); }

  private:
    PyThread_type_lock lock_;
};

template <typename Call>
auto read_in_turn(FileObject *self, Call call) -> decltype(call()) {
    return without_gil([&] {
        ReadsTurn turn(self->reads_lock);
        return call();
    });
}

// Makes the object's reads lock; false with MemoryError set when it can't.
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

}  // namespace

const char read_series_doc[] =
    "read_series(name, frames=None, out=None, rows=None)\n"
    "\n"
    "Read the chunk of one name across many frames into one numpy array.\n"
    "\n"
    "All chunks must agree in type and shape. One library call finds every\n"
    "chunk in one walk of the index and copies the bytes, without a Python\n"
    "call, lookup or system call per frame.\n"
    "\n"
    "Args:\n"
    "    name (str): Name of the chunk.\n"
    "    frames (None, range, slice or sequence of int): The frames to read,\n"
    "        in this order; None reads every completed frame. A slice is taken\n"
    "        over range(nframes).\n"
    "    out (numpy.ndarray, optional): A writable C-contiguous array of the\n"
    "        series' dtype and shape to read into; it is returned.\n"
    "    rows (None, slice, range or 1-D sequence of int): The rows of every\n"
    "        chunk to read, in this order, as numpy indexes an axis of N: a\n"
    "        slice is taken over range(N), negative ints count from the end,\n"
    "        repeats are allowed. None reads every row. Only those rows are\n"
    "        read from the file.\n"
    "\n"
    "Returns:\n"
    "    numpy.ndarray or list[str]: A new array of shape (T, R, M), or (T, R)\n"
    "    for chunks of one column, R being N or the number of rows selected;\n"
    "    a character series of one column is returned as a list of str. An\n"
    "    empty selection of frames gives an empty float64 array of shape (0,),\n"
    "    or out.\n"
    "\n"
    "Raises:\n"
    "    KeyError: A selected frame is out of range or lacks the chunk.\n"
    "    IndexError: A selected row is out of range.\n"
    "    TypeError: frames or rows is of a type that selects nothing (rows of\n"
    "        floats or booleans included).\n"
    "    ValueError: The chunks differ in type or shape, out does not fit, or\n"
    "        rows are selected in a series of text.\n"
    "\n"
    "Example:\n"
    "    positions = f.read_series('particles/position', range(0, f.nframes, 10))\n"
    "    alpha = f.read_series('particles/position', rows=alpha_indices)\n";

const char read_frame_doc[] =
    "read_frame(frame)\n"
    "\n"
    "Read every chunk of one frame into a dict of numpy arrays.\n"
    "\n"
    "Args:\n"
    "    frame (int): Index of a completed frame.\n"
    "\n"
    "Returns:\n"
    "    dict[str, numpy.ndarray or str]: Each chunk of the frame by name,\n"
    "    converted as read_chunk converts it.\n"
    "\n"
    "Raises:\n"
    "    KeyError: The frame is out of range.\n"
    "\n"
    "Example:\n"
    "    for t in range(f.nframes):\n"
    "        frame = f.read_frame(t)\n";

PyObject *read_series(PyObject *self_object, PyTypeObject *defining_class, PyObject *const *args,
                      Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"name", "frames", "out", "rows"};
    MethodStart call;
    if (!call.begin({"read_series", names, 4, 1}, true, self_object, defining_class, args, nargs,
                    kwnames)) {
        return nullptr;
    }
    PyObject *const *values = call.values;
    PyObject *name = values[0];
    PyObject *out = values[2];
    FileObject *self = call.self;
    PyObject *module = call.module;
    if (!ensure_reads_lock(self)) {
        return nullptr;
    }
    Utf8Text chunk_name;
    FrameSelection frames;
    RowSelection rows;
    if (!chunk_name.encode(name) || !select_frames(self, name, values[1], &frames) ||
        !rows.parse(values[3]) ||
        !log_record(module, "debug",
                    Message("read series: ").add(self->name).add(" - ").add(name).take())) {
        return nullptr;
    }
    const auto count = static_cast<npy_intp>(frames.selection.count);
    if (count == 0) {
        if (out != Py_None) {
            Py_INCREF(out);
            return out;
        }
        npy_intp empty[1] = {0};
        return PyArray_SimpleNew(1, empty, NPY_FLOAT64);
    }
    // The first frame's chunk gives the dtype and shape to allocate.
    rux_series_info info{};
    int code = read_in_turn(self, [&] {
        return rux_read_series(&self->handle, chunk_name.c_str(), &frames.selection, nullptr, 0,
                               &info);
    });
    if (code != RUX_SUCCESS) {
        raise_series_error(module, self, name, code, info);
        return nullptr;
    }
    const int typenum = numpy_type_for_code(info.type);
    if (typenum < 0) {
        raise_invalid_type(name);
        return nullptr;
    }
    npy_intp shape[3] = {count, 0, 0};
    if (!chunk_dimensions(info.type, info.N, info.M, shape + 1)) {
        return nullptr;
    }
    const bool text = info.type == RUX_TYPE_CHARACTER;
    if (text && !rows.all()) {
        raise_value_error(
            Message("rows cannot be selected in a series of text: ").add(name).take());
        return nullptr;
    }
    if (!rows.resolve(info.N, self, name)) {
        return nullptr;
    }
    const int ndim = info.M == 1 ? 2 : 3;
    if (!text) {
        shape[1] = static_cast<npy_intp>(rows.count(info.N));  // at most N, or R elements listed
    } else if (info.M == 1) {
        shape[1] = static_cast<npy_intp>(info.N);
    }
    PyRef array;
    if (out != Py_None) {
        if (text && info.M == 1) {
            PyRef message = Message("out cannot receive a series of text: ").add(name).take();
            if (message) {
                PyErr_SetObject(PyExc_ValueError, message.get());
            }
            return nullptr;
        }
        if (!check_out(out, typenum, ndim, shape, name)) {
            return nullptr;
        }
        array = PyRef::borrowed(out);
    } else {
        array.reset(PyArray_SimpleNew(ndim, shape, typenum));
        if (!array) {
            return nullptr;
        }
    }
    auto *destination = reinterpret_cast<PyArrayObject *>(array.get());
    void *data = PyArray_DATA(destination);
    const auto size = static_cast<uint64_t>(PyArray_NBYTES(destination));
    const rux_series_info expected = info;
    code = read_in_turn(self, [&] {
        return rux_read_series_rows(&self->handle, chunk_name.c_str(), &frames.selection,
                                    rows.selection(), data, size, &info);
    });
    if (code != RUX_SUCCESS) {
        raise_series_error(module, self, name, code, info);
        return nullptr;
    }
    // The array was shaped after the first read; nothing between the two
    // calls may have changed the file's first chunk, but a check is cheap.
    if (info.type != expected.type || info.N != expected.N || info.M != expected.M) {
        PyErr_SetString(PyExc_RuntimeError, "the file changed during read_series");
        return nullptr;
    }
    if (text && info.M == 1) {
        return series_texts(destination, count, info.N);
    }
    return array.release();
}

PyObject *read_frame(PyObject *self_object, PyTypeObject *defining_class, PyObject *const *args,
                     Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"frame"};
    MethodStart call;
    if (!call.begin({"read_frame", names, 1, 1}, true, self_object, defining_class, args, nargs,
                    kwnames)) {
        return nullptr;
    }
    PyObject *frame = call.values[0];
    FileObject *self = call.self;
    PyObject *module = call.module;
    if (!ensure_reads_lock(self)) {
        return nullptr;
    }
    int64_t frame_value = 0;
    if (!to_int64(frame, &frame_value)) {
        return nullptr;
    }
    if (frame_value < 0 || static_cast<uint64_t>(frame_value) >= rux_get_nframes(&self->handle)) {
        PyRef message =
            Message("frame ").add_str_of(frame).add(" not found in: ").add(self->name).take();
        if (message) {
            PyErr_SetObject(PyExc_KeyError, message.get());
        }
        return nullptr;
    }
    const auto frame_number = static_cast<uint64_t>(frame_value);
    // Frames of up to kFrameChunks chunks, the usual case, need no allocation
    // beyond the Python objects.
    ChunkScratch scratch;
    uint64_t count = 0;
    int code = RUX_SUCCESS;
    for (;;) {
        code = read_in_turn(self, [&] {
            return rux_find_frame_chunks(&self->handle, frame_number, scratch.chunks(),
                                         scratch.capacity(), &count);
        });
        if (code != RUX_SUCCESS || count <= scratch.capacity() ||
            !scratch.reserve(static_cast<size_t>(count))) {
            break;
        }
    }
    if (raise_on_error(module, code, self->name) < 0) {
        return nullptr;
    }
    if (count > scratch.capacity()) {
        PyErr_NoMemory();
        return nullptr;
    }
    const auto chunk_count = static_cast<size_t>(count);
    rux_chunk_info *chunks = scratch.chunks();
    // Names and arrays first: the names point into the handle, which Python
    // code run later (the logger) could change through this file.
    for (size_t i = 0; i < chunk_count; ++i) {
        const rux_chunk_info &chunk = chunks[i];
        PyObject *key = cached_name(self, chunk.id, chunk.name);
        if (key == nullptr) {
            return nullptr;
        }
        scratch.keys[i].reset(key);
        const int typenum = numpy_type_for_code(chunk.type);
        if (typenum < 0) {
            raise_invalid_type(key);
            return nullptr;
        }
        npy_intp shape[2];
        if (!chunk_dimensions(chunk.type, chunk.N, chunk.M, shape)) {
            return nullptr;
        }
        const bool text = chunk.type == RUX_TYPE_CHARACTER;
        // A one-column chunk comes out as shape (N,), as read_chunk gives it;
        // made so at once, it needs no reshaped view.
        const int ndim = chunk.M == 1 && !text ? 1 : 2;
        scratch.arrays[i].reset(PyArray_SimpleNew(ndim, shape, typenum));
        if (!scratch.arrays[i]) {
            return nullptr;
        }
        scratch.destinations[i] =
            chunk.bytes != 0
                ? PyArray_DATA(reinterpret_cast<PyArrayObject *>(scratch.arrays[i].get()))
                : nullptr;
    }
    if (!log_record(module, "debug",
                    Message("read frame: ").add(self->name).add(" - ").add_str_of(frame).take())) {
        return nullptr;
    }
    code = read_in_turn(self, [&] {
        return rux_read_chunks(&self->handle, chunks, chunk_count, scratch.destinations.get());
    });
    if (raise_on_error(module, code, self->name) < 0) {
        return nullptr;
    }
    PyRef result(PyDict_New());
    for (size_t i = 0; result && i < chunk_count; ++i) {
        const rux_chunk_info &chunk = chunks[i];
        auto *array = reinterpret_cast<PyArrayObject *>(scratch.arrays[i].get());
        PyRef value;
        if (chunk.M == 1 && chunk.type == RUX_TYPE_CHARACTER) {
            value.reset(decode_character_column(static_cast<const char *>(PyArray_DATA(array)),
                                                chunk.N));
        } else {
            value = std::move(scratch.arrays[i]);
        }
        if (!value || PyDict_SetItem(result.get(), scratch.keys[i].get(), value.get()) < 0) {
            return nullptr;
        }
    }
    return result.release();
}

}  // namespace rux_fl
