// _cell_changed: the cell diff of a base cell against another side's version of it.
#include "notebook.hpp"

namespace merge_driver {

using binding::call;
using binding::call_method;
using binding::getattr;
using binding::global;

// cell0 is the base version; cell1 the current or incoming one. Parent names are dropped from
// both cells' own parent maps first (and stay dropped): they only echo the parents' cell names.
Ref cell_changed_body(At& at, PyObject* const* args) {
    PyObject *cell0 = args[0], *cell1 = args[1];

    at(173);
    // A new list holding both parent arrays; the arrays themselves stay as they are.
    Ref parents0 = getattr(cell0, names::parents);
    Ref parents1 = getattr(cell1, names::parents);
    Ref all_parents = Ref::steal(PyNumber_Add(parents0.get(), parents1.get()));
    Ref parents = Ref::steal(PyObject_GetIter(all_parents.get()));
    while (Ref parent = Ref::steal_or_null(PyIter_Next(parents.get()))) {
        at(174); call_method(parent.get(), names::pop, {names::name, Py_None});
        at(173);
    }
    if (PyErr_Occurred()) throw HostError{};

    at(176);
    Ref diff = getattr(global(names::jsondiff).get(), names::diff);
    Ref data0 = getattr(cell0, names::data);
    Ref data1 = getattr(cell1, names::data);
    Ref cell_diff = call(diff.get(), {data0.get(), data1.get()});
    at(177); call_method(cell_diff.get(), names::pop, {names::execution_count, Py_None});
    at(178);
    Ref debug = getattr(global(names::logging).get(), names::debug);
    call(debug.get(), {cell_diff.get()});
    at(179); return cell_diff;
}

}  // namespace merge_driver
