#include "py_support.h"

#include <climits>

namespace rux_fl {

bool Utf8Text::encode(PyObject *text) {
    if (PyUnicode_Check(text)) {
        bytes_.reset(PyUnicode_AsUTF8String(text));
        return static_cast<bool>(bytes_);
    }
    // Not a str: fail (or succeed) exactly as text.encode("utf-8") does.
    PyRef encoded(PyObject_CallMethod(text, "encode", "s", "utf-8"));
    if (!encoded) {
        return false;
    }
    if (!PyBytes_Check(encoded.get())) {
        PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found",
                     Py_TYPE(encoded.get())->tp_name);
        return false;
    }
    bytes_ = std::move(encoded);
    return true;
}

Message &Message::add(const char *piece) {
    if (text_) {
        PyRef right(PyUnicode_FromString(piece));
        text_.reset(right ? PyUnicode_Concat(text_.get(), right.get()) : nullptr);
    }
    return *this;
}

Message &Message::add(PyObject *piece) {
    if (text_) {
        text_.reset(PyUnicode_Concat(text_.get(), piece));
    }
    return *this;
}

Message &Message::add_str_of(PyObject *object) {
    if (text_) {
        PyRef text(PyObject_Str(object));
        text_.reset(text ? PyUnicode_Concat(text_.get(), text.get()) : nullptr);
    }
    return *this;
}

bool check_str_or_none(PyObject *object) {
    if (object == Py_None || PyUnicode_Check(object)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(object)->tp_name);
    return false;
}

void raise_new(PyObject *exception_type, PyObject *argument) {
    PyRef exception(PyObject_CallOneArg(exception_type, argument));
    if (!exception) {
        return;
    }
    if (!PyExceptionInstance_Check(exception.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return;
    }
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exception.get())), exception.get());
}

namespace {

// The int that a value stands for: the value itself when it is an int, else
// the result of its __int__.
PyRef integer_value(PyObject *value) {
    if (PyLong_Check(value)) {
        return PyRef::borrowed(value);
    }
    PyNumberMethods *number = Py_TYPE(value)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return PyRef();
    }
    PyRef result(number->nb_int(value));
    if (result && !PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                     Py_TYPE(result.get())->tp_name);
        return PyRef();
    }
    return result;
}

}  // namespace

bool to_uint64(PyObject *value, uint64_t *result) {
    PyRef integer = integer_value(value);
    if (!integer) {
        return false;
    }
    const unsigned long long converted = PyLong_AsUnsignedLongLong(integer.get());
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    *result = converted;
    return true;
}

bool to_uint32(PyObject *value, uint32_t *result) {
    uint64_t wide = 0;
    if (!to_uint64(value, &wide)) {
        return false;
    }
    if (wide > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint32_t");
        return false;
    }
    *result = static_cast<uint32_t>(wide);
    return true;
}

bool to_int64(PyObject *value, int64_t *result) {
    PyRef integer = integer_value(value);
    if (!integer) {
        return false;
    }
    const long long converted = PyLong_AsLongLong(integer.get());
    if (converted == -1 && PyErr_Occurred()) {
        return false;
    }
    *result = converted;
    return true;
}

void PendingException::normalize() {
    PyErr_NormalizeException(&type_, &value_, &traceback_);
    if (traceback_ != nullptr && value_ != nullptr) {
        PyException_SetTraceback(value_, traceback_);
    }
}

void PendingException::print() const {
    Py_XINCREF(type_);
    Py_XINCREF(value_);
    Py_XINCREF(traceback_);
    PyErr_Restore(type_, value_, traceback_);
    PyErr_PrintEx(0);
}

PyRef PendingException::take_value() {
    held_ = false;
    Py_CLEAR(type_);
    Py_CLEAR(traceback_);
    PyRef value(value_);
    value_ = nullptr;
    return value;
}

void report_unraisable(const char *context) {
    PyRef context_text;
    {
        PendingException pending;
        pending.normalize();
        context_text.reset(PyUnicode_FromString(context));
        if (!context_text) {
            PyErr_Clear();
        }
        // Show it as an uncaught exception would be shown (SystemExit would
        // end the process there, so it only goes to the hook).
        if (!pending.matches(PyExc_SystemExit)) {
            pending.print();
        }
    }
    PyErr_WriteUnraisable(context_text ? context_text.get() : Py_None);
}

}  // namespace rux_fl
