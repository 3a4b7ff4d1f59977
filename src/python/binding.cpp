#include "python/binding.hpp"

#include <string>

#include "core/errors.hpp"
#include "python/numpy_api.hpp"

namespace sonaloc::py {
namespace {

// The whole name, embedded NULs included.
std::string type_name(PyObject* o) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        const char* s = PyUnicode_AsUTF8AndSize(name.get(), &size);
        if (s != nullptr) return std::string(s, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return Py_TYPE(o)->tp_name;
}

bool cannot_convert(PyObject* o, const char* target) {
    std::string text = "'";
    text.append(type_name(o)).append("' object cannot be converted to '").append(target).append("'");
    Ref message = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return false;
}

bool is_array_of(PyObject* o, int typenum, int ndim) {
    if (!PyArray_Check(o)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    return PyArray_NDIM(a) == ndim && PyArray_TYPE(a) == typenum && PyArray_ISNOTSWAPPED(a);
}

bool convert_array(PyObject* o, int typenum, int ndim, Value& v) {
    if (!is_array_of(o, typenum, ndim)) return cannot_convert(o, "PyArray<T, D>");
    v.object = Ref::borrow(o);
    return true;
}

bool convert_matrix_list(PyObject* o, Value& v) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(o)) return cannot_convert(o, "Sequence");
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) return false;
    v.items.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(o, i));
        if (!item) return false;
        if (!is_array_of(item.get(), NPY_FLOAT32, 2)) return cannot_convert(item.get(), "PyArray<T, D>");
        v.items.push_back(std::move(item));
    }
    return true;
}

bool convert(PyObject* o, const Param& p, Value& v) {
    if (p.optional && o == Py_None) {
        v.present = false;
        return true;
    }
    v.present = true;
    switch (p.kind) {
        case Kind::Matrix: return convert_array(o, NPY_FLOAT32, 2, v);
        case Kind::Volume: return convert_array(o, NPY_FLOAT32, 3, v);
        case Kind::IndexVector: return convert_array(o, NPY_INT32, 1, v);
        case Kind::Real: {
            const double d = PyFloat_AsDouble(o);
            if (d == -1.0 && PyErr_Occurred()) return false;
            v.real = static_cast<float>(d);
            return true;
        }
        case Kind::Count: {
            Ref index = Ref::steal(PyNumber_Index(o));
            if (!index) return false;
            const unsigned long long c = PyLong_AsUnsignedLongLong(index.get());
            if (c == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
            v.count = c;
            return true;
        }
        case Kind::Text: {
            if (!PyUnicode_Check(o)) return cannot_convert(o, "PyString");
            Py_ssize_t size = 0;
            const char* s = PyUnicode_AsUTF8AndSize(o, &size);
            if (s == nullptr) return false;
            v.text.assign(s, static_cast<std::size_t>(size));
            return true;
        }
        case Kind::Tuple:
            if (!PyTuple_Check(o)) return cannot_convert(o, "PyTuple");
            v.object = Ref::borrow(o);
            return true;
        case Kind::MatrixList: return convert_matrix_list(o, v);
    }
    PyErr_SetString(PyExc_SystemError, "unknown argument kind");
    return false;
}

// A conversion TypeError is raised again as "argument 'NAME': <message>",
// keeping the original's cause but not the original itself. Other exception
// types pass unchanged.
void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), val = Ref::steal(value), trace = Ref::steal(tb);
    Ref text = Ref::steal(val ? PyObject_Str(val.get()) : nullptr);
    if (!text) return;  // an exception from str() is raised instead
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    if (val) {
        if (PyObject* cause = PyException_GetCause(val.get())) PyException_SetCause(replacement.get(), cause);
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

void raise_missing(const Signature& sig, const std::vector<const char*>& missing) {
    std::string names;
    const std::size_t k = missing.size();
    for (std::size_t i = 0; i < k; ++i) {
        if (i > 0) names += k == 2 ? " and " : (i + 1 == k ? ", and " : ", ");
        names += '\'';
        names += missing[i];
        names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.function, k,
                 k == 1 ? "" : "s", names.c_str());
}

}  // namespace

std::string Signature::text_signature() const {
    std::string s = function;
    s += '(';
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (i > 0) s += ", ";
        s += params[i].name;
    }
    s += ")\n--\n\n";
    return s;
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Args& out) {
    out.signature_ = &sig;
    const std::size_t n = sig.params.size();
    std::array<PyObject*, kMaxParams> slots{};
    const Py_ssize_t given = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(given) > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given", sig.function, n,
                     given, given == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) slots[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::size_t index = n;
            if (PyUnicode_Check(key)) {
                for (std::size_t i = 0; i < n; ++i) {
                    if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) {
                        index = i;
                        break;
                    }
                }
            }
            if (index == n) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.function, key);
                return false;
            }
            if (slots[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function,
                             sig.params[index].name);
                return false;
            }
            slots[index] = value;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < n; ++i)
        if (slots[i] == nullptr) missing.push_back(sig.params[i].name);
    if (!missing.empty()) {
        raise_missing(sig, missing);
        return false;
    }

    for (std::size_t i = 0; i < n; ++i) {
        if (!convert(slots[i], sig.params[i], out.values_[i])) {
            prefix_type_error(sig.params[i].name);
            return false;
        }
    }
    return true;
}

const Value& Args::value(std::string_view name, Kind kind, bool optional) const {
    if (signature_ != nullptr) {
        const auto& params = signature_->params;
        for (std::size_t i = 0; i < params.size(); ++i)
            if (name == params[i].name && params[i].kind == kind && params[i].optional == optional)
                return values_[i];
    }
    fault("binding: no parameter '" + std::string(name) + "' of the kind read");
}

std::optional<float> Args::optional_real(std::string_view name) const {
    const Value& v = value(name, Kind::Real, true);
    if (!v.present) return std::nullopt;
    return v.real;
}

std::optional<std::uint64_t> Args::optional_count(std::string_view name) const {
    const Value& v = value(name, Kind::Count, true);
    if (!v.present) return std::nullopt;
    return v.count;
}

std::optional<std::string> Args::optional_text(std::string_view name) const {
    const Value& v = value(name, Kind::Text, true);
    if (!v.present) return std::nullopt;
    return v.text;
}

PyObject* Args::optional_tuple(std::string_view name) const {
    const Value& v = value(name, Kind::Tuple, true);
    return v.present ? v.object.get() : nullptr;
}

namespace {

template <class T, std::size_t D>
View<T, D> view_of(PyObject* o) {
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    View<T, D> v;
    v.data = static_cast<const std::byte*>(PyArray_DATA(a));
    for (std::size_t d = 0; d < D; ++d) {
        v.shape[d] = static_cast<std::size_t>(PyArray_DIM(a, static_cast<int>(d)));
        v.strides[d] = PyArray_STRIDE(a, static_cast<int>(d));
    }
    return v;
}

}  // namespace

Matrix Args::matrix(std::string_view name) const {
    return view_of<float, 2>(value(name, Kind::Matrix, false).object.get());
}
Volume Args::volume(std::string_view name) const {
    return view_of<float, 3>(value(name, Kind::Volume, false).object.get());
}
IndexVector Args::index_vector(std::string_view name) const {
    return view_of<std::int32_t, 1>(value(name, Kind::IndexVector, false).object.get());
}

std::vector<Matrix> Args::matrices(std::string_view name) const {
    const Value& v = value(name, Kind::MatrixList, false);
    std::vector<Matrix> out;
    out.reserve(v.items.size());
    for (const Ref& item : v.items) out.push_back(view_of<float, 2>(item.get()));
    return out;
}

float tuple_real(PyObject* tuple, std::size_t index) {
    if (index >= static_cast<std::size_t>(PyTuple_GET_SIZE(tuple))) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        throw PythonError{};
    }
    const double d = PyFloat_AsDouble(PyTuple_GET_ITEM(tuple, static_cast<Py_ssize_t>(index)));
    if (d == -1.0 && PyErr_Occurred()) throw PythonError{};
    return static_cast<float>(d);
}

}  // namespace sonaloc::py
