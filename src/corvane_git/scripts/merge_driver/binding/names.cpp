// The interned names, made once per process and kept for its lifetime.
#include "names.hpp"
#include "errors.hpp"

namespace merge_driver::binding::names {
#define MERGE_IPYNB_DEFINE(c, text) PyObject* c = nullptr;
MERGE_IPYNB_NAMES(MERGE_IPYNB_DEFINE)
#undef MERGE_IPYNB_DEFINE

void create() {
#define MERGE_IPYNB_MAKE(c, text)                          \
    if (!c) {                                              \
        c = check(PyUnicode_InternFromString(text));       \
        if (PyObject_Hash(c) == -1) throw HostError{};     \
    }
    MERGE_IPYNB_NAMES(MERGE_IPYNB_MAKE)
#undef MERGE_IPYNB_MAKE
}
}  // namespace merge_driver::binding::names
