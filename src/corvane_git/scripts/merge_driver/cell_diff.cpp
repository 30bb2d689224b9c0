// _cell_changed: the cell diff of a base cell against another side's version of it.
#include <cstring>
#include "binding/compat.hpp"
#include "lines.hpp"
#include "notebook.hpp"

namespace merge_driver {

using binding::call;
using binding::call_method;
using binding::getattr;
using binding::global;

namespace {

// Whether two strings hold the same text: what the host's string comparison concludes.
bool same_text(PyObject* a, PyObject* b) {
    if (!binding::compat::text_in_place(a) || !binding::compat::text_in_place(b)) {
        const int order = PyUnicode_Compare(a, b);
        if (order == -1 && PyErr_Occurred()) throw HostError{};
        return order == 0;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

bool same_value(PyObject* a, PyObject* b);

// dict[key], borrowed, or null when the dict lacks the key; a failing lookup raises.
PyObject* entry(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value && PyErr_Occurred()) throw HostError{};
    return value;
}

// A map whose keys are all exact strings, held with its values (not an instance's attributes):
// looking one of its keys up in the other map hashes nothing anew (a string keeps its hash), and
// the host walks its entries in their order, as PyDict_Next does. Runs no host code.
bool keyed_by_text(PyObject* dict) {
    if (binding::compat::dict_is_split(dict)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

// a == b, then its truth, exactly as the host answers it, for the values of parsed notebooks:
// exact maps (`a` keyed by strings), exact arrays and exact strings are compared here as the host
// compares them (sizes first, then each entry of `a` in its order against `b`'s entry of that
// key, each element by `same_value`), without its generic comparison in between; everything else
// by the host. Each comparison counts one level of the host's recursion limit, as the host's own
// does.
bool equal_values(PyObject* a, PyObject* b) {
    const bool dicts = PyDict_CheckExact(a) && PyDict_CheckExact(b) && keyed_by_text(a);
    const bool lists = !dicts && PyList_CheckExact(a) && PyList_CheckExact(b);
    const bool texts = !dicts && !lists && PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b);
    if (!dicts && !lists && !texts) return binding::equal(a, b);
    if (Py_EnterRecursiveCall(" in comparison")) throw HostError{};
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    if (texts) return same_text(a, b);
    if (lists) {
        if (PyList_GET_SIZE(a) != PyList_GET_SIZE(b)) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(a) && i < PyList_GET_SIZE(b); ++i) {
            Ref x = Ref::borrow(PyList_GET_ITEM(a, i)), y = Ref::borrow(PyList_GET_ITEM(b, i));
            if (!same_value(x.get(), y.get())) return false;
        }
        return PyList_GET_SIZE(a) == PyList_GET_SIZE(b);
    }
    if (PyDict_GET_SIZE(a) != PyDict_GET_SIZE(b)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *va;
    while (PyDict_Next(a, &pos, &key, &va)) {
        Ref key_ref = Ref::borrow(key), va_ref = Ref::borrow(va);
        PyObject* vb = entry(b, key);
        if (!vb) return false;
        Ref vb_ref = Ref::borrow(vb);
        if (!same_value(va, vb)) return false;
    }
    return true;
}

// The host's comparison of two elements: identical objects are equal, others as by ==.
bool same_value(PyObject* a, PyObject* b) { return a == b || equal_values(a, b); }

// Arrays the diff library compares element by element: it fills a table with one entry per pair
// of elements, diffing every pair in turn (about 0.35 us a pair: 0.1 ms for two 16-line sources,
// 7 ms at 128 lines, 30 ms at 256), so only arrays of plain values whose table stays this small
// go through it; others are reported replaced. With 16 lines a side as the limit, a merge of a
// thousand cells where a tenth of the sources changed spent 8 ms in those tables alone.
constexpr Py_ssize_t small_table = 16;

bool plain_value(PyObject* o) {
    return o == Py_None || PyUnicode_Check(o) || PyLong_Check(o) || PyFloat_Check(o);
}

bool library_compares(PyObject* a, PyObject* b) {
    const Py_ssize_t na = PyList_GET_SIZE(a), nb = PyList_GET_SIZE(b);
    if (na > small_table || nb > small_table || na * nb > small_table) return false;
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
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    Ref first = Ref::steal(PyDict_New());
    Ref second_values = Ref::steal(PyDict_New());  // what the second map holds for common keys
    Py_ssize_t pos = 0;
    PyObject *key, *va;
    while (PyDict_Next(a, &pos, &key, &va)) {
        Ref key_ref = Ref::borrow(key), va_ref = Ref::borrow(va);
        PyObject* vb = entry(b, key);
        if (!vb) {
            binding::check(PyDict_SetItem(first.get(), key, va));
            continue;
        }
        Ref vb_ref = Ref::borrow(vb);
        if (equal_values(va, vb)) {
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
        PyObject* prepared = entry(second_values.get(), key);
        binding::check(PyDict_SetItem(second.get(), key, prepared ? prepared : vb));
    }
    return {std::move(first), std::move(second)};
}

// What the merge reads of the diff library's answer for two maps, found without the library: a
// map holding each key whose value differs or that `b` added, plus the key None when `a` holds
// keys that `b` lacks (the library lists those under a key of its own); at `depth` 0 (a cell)
// and 1 ("metadata") the entry "metadata", resp. "canvas", is summarised the same way when both
// values are maps. The merge tests the entries' presence and the keys of these two inner maps
// only. Null where the library answers in another form: not two maps, or two maps that share no
// key (the library then gives the whole second value), at any of the three levels.
// The library counts two values the same exactly when == does, for values as prepare hands
// them over (plain values, maps, and lists that it compares element by element only when short).
Ref summary(PyObject* a, PyObject* b, int depth) {
    if (!PyDict_Check(a) || !PyDict_Check(b)) return Ref();
    PyObject* inner_key = depth == 0 ? names::metadata : depth == 1 ? names::canvas : nullptr;
    Ref out = Ref::steal(PyDict_New());
    bool shared = false, removed = false;
    Py_ssize_t pos = 0;
    PyObject *key, *va;
    while (PyDict_Next(a, &pos, &key, &va)) {
        Ref key_ref = Ref::borrow(key), va_ref = Ref::borrow(va);
        PyObject* vb = entry(b, key);
        if (!vb) {
            removed = true;
            continue;
        }
        shared = true;
        Ref vb_ref = Ref::borrow(vb);
        if (va == vb || equal_values(va, vb)) continue;
        Ref entry = vb_ref;
        if (inner_key && PyUnicode_Check(key) && PyUnicode_Compare(key, inner_key) == 0) {
            entry = summary(va, vb, depth + 1);
            if (!entry) return Ref();
        }
        if (PyErr_Occurred()) throw HostError{};
        binding::check(PyDict_SetItem(out.get(), key, entry.get()));
    }
    pos = 0;
    PyObject* vb;
    while (PyDict_Next(b, &pos, &key, &vb)) {
        Ref key_ref = Ref::borrow(key), vb_ref = Ref::borrow(vb);
        if (binding::check(PyDict_Contains(a, key))) continue;
        binding::check(PyDict_SetItem(out.get(), key, vb));
    }
    if (!shared && (removed || PyDict_GET_SIZE(out.get()) > 0)) return Ref();
    if (removed) binding::check(PyDict_SetItem(out.get(), Py_None, Py_None));
    return out;
}

// The diff library's answer for two cell dicts, in time linear in their size: equal cells give a
// new empty map without the library; other pairs are prepared first. A module that uses the
// library only where the host has loaded it (merge_core) reads the pair by `summary` instead
// when it can.
Ref structural_diff(PyObject* data0, PyObject* data1) {
    if (equal_values(data0, data1)) return Ref::steal(PyDict_New());
    if (!binding::global_if_loaded(names::jsondiff)) {
        if (Ref read = summary(data0, data1, 0)) return read;
    }
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
    if (Ref logging = binding::global_if_loaded(names::logging)) {
        Ref debug = getattr(logging.get(), names::debug);
        call(debug.get(), {cell_diff.get()});
    }
    at(lines::cell_changed::result);
    return cell_diff;
}

}  // namespace merge_driver
