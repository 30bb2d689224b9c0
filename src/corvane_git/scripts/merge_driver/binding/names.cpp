// The interned names of the frame, made once per process and kept for its lifetime.
#include "names.hpp"
#include "errors.hpp"

namespace merge_driver::binding {

PyObject* intern(const char* text) {
    PyObject* name = check(PyUnicode_InternFromString(text));
    if (PyObject_Hash(name) == -1) {
        Py_DECREF(name);
        throw HostError{};
    }
    return name;
}

namespace names {
#define MERGE_IPYNB_DEFINE(c, text) PyObject* c = nullptr;
MERGE_IPYNB_FRAME_NAMES(MERGE_IPYNB_DEFINE)
#undef MERGE_IPYNB_DEFINE

void create() {
#define MERGE_IPYNB_MAKE(c, text)                                                                  \
    if (!c) c = intern(text);
    MERGE_IPYNB_FRAME_NAMES(MERGE_IPYNB_MAKE)
#undef MERGE_IPYNB_MAKE
}
}  // namespace names
}  // namespace merge_driver::binding
