// Interned host strings, made once at load, for the names the module frame itself uses.
#pragma once
#include <Python.h>

namespace merge_driver::binding {

// `text` as an interned host string with its hash computed; made once and kept for the process.
// Throws HostError on failure.
PyObject* intern(const char* text);

}  // namespace merge_driver::binding

// X(c_name, "text"): names::c_name is the interned string "text".
// clang-format off: the names in rows, as written
#define MERGE_IPYNB_FRAME_NAMES(X)                                                                 \
    X(__builtins__, "__builtins__") X(__module__, "__module__") X(__qualname__, "__qualname__")   \
    X(__doc__, "__doc__") X(__spec__, "__spec__") X(_initializing, "_initializing")               \
    X(property, "property") X(setter, "setter") X(return_, "return") X(optimize, "optimize")      \
    X(open, "open") X(AssertionError, "AssertionError")
// clang-format on

namespace merge_driver::binding::names {
#define MERGE_IPYNB_DECLARE(c, text) extern PyObject* c;
MERGE_IPYNB_FRAME_NAMES(MERGE_IPYNB_DECLARE)
#undef MERGE_IPYNB_DECLARE

// Makes every frame name once per process; later calls do nothing. Throws HostError on failure.
void create();
}  // namespace merge_driver::binding::names
