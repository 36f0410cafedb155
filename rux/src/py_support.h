// Small RAII helpers for the extension module: an owned reference, a guard
// that releases the interpreter lock around one library call, UTF-8 text for
// the library, and a builder for messages made by string concatenation.
#ifndef RUX_FL_PY_SUPPORT_H
#define RUX_FL_PY_SUPPORT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace rux_fl {

// Owns one strong reference (or none) and drops it when it goes out of scope.
class PyRef {
  public:
    PyRef() = default;
    explicit PyRef(PyObject *owned) : object_(owned) {}
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    PyRef(PyRef &&other) noexcept : object_(other.release()) {}
    PyRef &operator=(PyRef &&other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    static PyRef borrowed(PyObject *object) {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyObject *get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

    // Hands the reference to the caller.
    PyObject *release() {
        PyObject *object = object_;
        object_ = nullptr;
        return object;
    }

    void reset(PyObject *owned = nullptr) {
        PyObject *old = object_;
        object_ = owned;
        Py_XDECREF(old);
    }

  private:
    PyObject *object_ = nullptr;
};

// Releases the interpreter lock for its lifetime. errno is carried across the
// re-acquisition so that an I/O error code survives until it is reported.
class GilRelease {
  public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease &) = delete;
    GilRelease &operator=(const GilRelease &) = delete;
    ~GilRelease() {
        const int saved_errno = errno;
        PyEval_RestoreThread(state_);
        errno = saved_errno;
    }

  private:
    PyThreadState *state_;
};

// Holds the pending exception (or none) aside for its lifetime and restores it
// at the end, replacing whatever was raised meanwhile, unless it was taken.
class PendingException {
  public:
    PendingException() { PyErr_Fetch(&type_, &value_, &traceback_); }
    PendingException(const PendingException &) = delete;
    PendingException &operator=(const PendingException &) = delete;
    ~PendingException() {
        if (held_) {
            PyErr_Restore(type_, value_, traceback_);
        }
    }

    // Makes the value an exception instance carrying its traceback.
    void normalize();
    bool matches(PyObject *exception_type) const {
        return PyErr_GivenExceptionMatches(type_, exception_type);
    }
    PyObject *value() const { return value_; }
    // Prints the exception as an uncaught one is printed; it stays held.
    void print() const;
    // The exception instance; the type and traceback are dropped.
    PyRef take_value();

  private:
    PyObject *type_ = nullptr;
    PyObject *value_ = nullptr;
    PyObject *traceback_ = nullptr;
    bool held_ = true;
};

// Runs one library call with the interpreter lock released.
template <typename Call>
auto without_gil(Call call) -> decltype(call()) {
    GilRelease release;
    return call();
}

// The UTF-8 bytes of a text, kept alive for as long as the library needs them.
// The C string ends at the first NUL character of the text.
class Utf8Text {
  public:
    // Encodes like text.encode("utf-8"); false with an exception set on failure.
    bool encode(PyObject *text);
    const char *c_str() const { return PyBytes_AS_STRING(bytes_.get()); }
    Py_ssize_t size() const { return PyBytes_GET_SIZE(bytes_.get()); }

  private:
    PyRef bytes_;
};

// Builds a str the way Python's "a" + b + "c" does, piece by piece from the
// left: the first piece that is not a str fails with Python's TypeError.
class Message {
  public:
    explicit Message(const char *start) : text_(PyUnicode_FromString(start)) {}
    Message &add(const char *piece);
    Message &add(PyObject *piece);
    // Appends str(object).
    Message &add_str_of(PyObject *object);
    // The finished text, or null with an exception set.
    PyRef take() { return std::move(text_); }

  private:
    PyRef text_;
};

// Raises TypeError("Expected str, got <type name>") unless the object is a str
// or None; returns false when it raised.
bool check_str_or_none(PyObject *object);

// Raises exception_type(argument) as a raise statement would.
void raise_new(PyObject *exception_type, PyObject *argument);

// Integer conversions of Python values for the library: an int is taken as it
// is, any other object through its __int__; an object without one raises
// TypeError("an integer is required"), a value out of range OverflowError.
bool to_uint64(PyObject *value, uint64_t *result);
bool to_uint32(PyObject *value, uint32_t *result);
bool to_int64(PyObject *value, int64_t *result);

// Displays the pending exception with its traceback, then passes it to the
// unraisable-exception hook with the given context text.
void report_unraisable(const char *context);

}  // namespace rux_fl

#endif  // RUX_FL_PY_SUPPORT_H
