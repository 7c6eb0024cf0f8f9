// Calls with keyword arguments; the test for a method not overridden; UTF-8 forms.
#include "support/call.hpp"

#include <vector>

namespace threads_main {

Ref call_kw(PyObject* f, std::initializer_list<PyObject*> positional,
            std::initializer_list<std::pair<PyObject*, PyObject*>> keywords)
{
    std::vector<PyObject*> argv;
    argv.reserve(1 + positional.size() + keywords.size());
    argv.push_back(nullptr);
    argv.insert(argv.end(), positional.begin(), positional.end());
    Ref kwnames;
    if (keywords.size()) {
        kwnames = require(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
        Py_ssize_t i = 0;
        for (const auto& [key, value] : keywords) {
            PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(key));
            argv.push_back(value);
        }
    }
    return require(PyObject_Vectorcall(f, argv.data() + 1, positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       kwnames.get()));
}

bool calls_own(PyObject* obj, PyObject* name, PyObject* own)
{
    PyTypeObject* type = Py_TYPE(obj);
    if (!own || type->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(type, name) != own) {
        return false;
    }
    Ref dict = require(PyObject_GenericGetDict(obj, nullptr));
    return !require_int(PyDict_Contains(dict.get(), name));
}

std::string utf8_form(PyObject* text, const char* errors)
{
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    Ref escaped;
    if (!utf8) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            throw PyErrSet{};
        }
        PyErr_Clear();
        escaped = require(PyUnicode_AsEncodedString(text, "utf-8", errors));
        utf8 = PyBytes_AS_STRING(escaped.get());
        size = PyBytes_GET_SIZE(escaped.get());
    }
    return std::string(utf8, static_cast<size_t>(size));
}

}  // namespace threads_main
