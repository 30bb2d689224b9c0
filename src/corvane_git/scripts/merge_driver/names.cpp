// The module's interned names, made once per process and kept for its lifetime.
#include "names.hpp"
#include "binding/names.hpp"

namespace merge_driver::names {
#define MERGE_IPYNB_DEFINE(c, text) PyObject* c = nullptr;
MERGE_IPYNB_NAMES(MERGE_IPYNB_DEFINE)
#undef MERGE_IPYNB_DEFINE

void create() {
#define MERGE_IPYNB_MAKE(c, text)                                                                  \
    if (!c) c = binding::intern(text);
    MERGE_IPYNB_NAMES(MERGE_IPYNB_MAKE)
#undef MERGE_IPYNB_MAKE
}
}  // namespace merge_driver::names
