// _cell_changed: the cell diff of a base cell against another side's version of it.
#include "lines.hpp"
#include "notebook.hpp"

namespace merge_driver {

using binding::call;
using binding::call_method;
using binding::getattr;
using binding::global;

namespace {

// Arrays the diff library compares element by element: its table grows with the product of the
// two lengths, and every pair of elements is diffed in turn, so only short arrays of plain values
// go through it. Measured: 0.14 ms for two 16-line sources, 7 ms at 128 lines, 30 ms at 256.
constexpr Py_ssize_t long_array = 16;

bool plain_value(PyObject* o) {
    return o == Py_None || PyUnicode_Check(o) || PyLong_Check(o) || PyFloat_Check(o);
}

bool library_compares(PyObject* a, PyObject* b) {
    if (PyList_GET_SIZE(a) > long_array || PyList_GET_SIZE(b) > long_array) return false;
    for (PyObject* list : {a, b})
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
            if (!plain_value(PyList_GET_ITEM(list, i))) return false;
    return true;
}

struct Prepared {
    Ref first, second;
};

// Two values that differ, rewritten for the diff library so that it does linear work and gives
// the entries it would give the originals: inside maps, every value equal on both sides is handed
// over as one and the same object (the library answers at once for identical objects), and an
// array it should not compare element by element is replaced by None on the first side, so that
// the library reports the second side's array as the entry, as it does for a replaced array.
Prepared prepare(PyObject* a, PyObject* b) {
    if (PyList_Check(a) && PyList_Check(b)) {
        if (library_compares(a, b)) return {Ref::borrow(a), Ref::borrow(b)};
        return {binding::none(), Ref::borrow(b)};
    }
    if (!PyDict_Check(a) || !PyDict_Check(b)) return {Ref::borrow(a), Ref::borrow(b)};
    if (Py_EnterRecursiveCall(" while comparing cells")) throw HostError{};
    struct Leave { ~Leave() { Py_LeaveRecursiveCall(); } } leave;
    Ref first = Ref::steal(PyDict_New());
    Ref second_values = Ref::steal(PyDict_New());  // what the second map holds for common keys
    Py_ssize_t pos = 0;
    PyObject *key, *va;
    while (PyDict_Next(a, &pos, &key, &va)) {
        Ref key_ref = Ref::borrow(key), va_ref = Ref::borrow(va);
        PyObject* vb = PyDict_GetItemWithError(b, key);
        if (!vb) {
            if (PyErr_Occurred()) throw HostError{};
            binding::check(PyDict_SetItem(first.get(), key, va));
            continue;
        }
        Ref vb_ref = Ref::borrow(vb);
        if (binding::equal(va, vb)) {
            binding::check(PyDict_SetItem(first.get(), key, va));
            binding::check(PyDict_SetItem(second_values.get(), key, va));
        } else {
            Prepared inner = prepare(va, vb);
            binding::check(PyDict_SetItem(first.get(), key, inner.first.get()));
            binding::check(PyDict_SetItem(second_values.get(), key, inner.second.get()));
        }
    }
    Ref second = Ref::steal(PyDict_New());
    pos = 0;
    PyObject* vb;
    while (PyDict_Next(b, &pos, &key, &vb)) {
        PyObject* prepared = PyDict_GetItemWithError(second_values.get(), key);
        if (!prepared && PyErr_Occurred()) throw HostError{};
        binding::check(PyDict_SetItem(second.get(), key, prepared ? prepared : vb));
    }
    return {std::move(first), std::move(second)};
}

// The diff library's answer for two cell dicts, in time linear in their size: equal cells give a
// new empty map without the library; other pairs are prepared first.
Ref structural_diff(PyObject* data0, PyObject* data1) {
    if (binding::equal(data0, data1)) return Ref::steal(PyDict_New());
    Ref diff = getattr(global(names::jsondiff).get(), names::diff);
    if (!PyDict_Check(data0) || !PyDict_Check(data1)) return call(diff.get(), {data0, data1});
    Prepared prepared = prepare(data0, data1);
    return call(diff.get(), {prepared.first.get(), prepared.second.get()});
}

}  // namespace

// cell0 is the base version; cell1 the current or incoming one. Parent names are dropped from
// both cells' own parent maps first (and stay dropped): they only echo the parents' cell names.
Ref cell_changed_body(At& at, PyObject* const* args) {
    PyObject *cell0 = args[0], *cell1 = args[1];

    at(lines::cell_changed::each_parent);
    // A new list holding both parent arrays; the arrays themselves stay as they are.
    Ref parents0 = getattr(cell0, names::parents);
    Ref parents1 = getattr(cell1, names::parents);
    Ref all_parents = Ref::steal(PyNumber_Add(parents0.get(), parents1.get()));
    Ref parents = Ref::steal(PyObject_GetIter(all_parents.get()));
    while (Ref parent = Ref::steal_or_null(PyIter_Next(parents.get()))) {
        at(lines::cell_changed::drop_parent_name);
        call_method(parent.get(), names::pop, {names::name, Py_None});
        at(lines::cell_changed::each_parent);
    }
    if (PyErr_Occurred()) throw HostError{};

    at(lines::cell_changed::diff);
    Ref data0 = getattr(cell0, names::data);
    Ref data1 = getattr(cell1, names::data);
    Ref cell_diff = structural_diff(data0.get(), data1.get());
    at(lines::cell_changed::drop_execution_count);
    call_method(cell_diff.get(), names::pop, {names::execution_count, Py_None});
    at(lines::cell_changed::log);
    Ref debug = getattr(global(names::logging).get(), names::debug);
    call(debug.get(), {cell_diff.get()});
    at(lines::cell_changed::result); return cell_diff;
}

}  // namespace merge_driver
