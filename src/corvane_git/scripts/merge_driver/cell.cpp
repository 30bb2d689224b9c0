// Cell: one cell dict and its side; path accessors into the dict and the conflict marks.
#include "notebook.hpp"

namespace merge_driver {

using binding::getattr;
using binding::getitem;
using binding::global;
using binding::setattr;
using binding::setitem;
using binding::truthy;

namespace {

// self._data[k0][k1]...: KeyError (or the host's indexing error) at the first missing key.
Ref path_get(PyObject* self, std::initializer_list<PyObject*> keys) {
    Ref value = getattr(self, names::_data);
    for (PyObject* key : keys) value = getitem(value.get(), key);
    return value;
}

// self._data[k0]...[last] = value; every key but the last must be present.
Ref path_set(PyObject* self, std::initializer_list<PyObject*> keys, PyObject* value) {
    Ref target = getattr(self, names::_data);
    const PyObject* const* last = keys.end() - 1;
    for (const PyObject* const* k = keys.begin(); k != last; ++k)
        target = getitem(target.get(), const_cast<PyObject*>(*k));
    setitem(target.get(), const_cast<PyObject*>(*last), value);
    return binding::none();
}

bool equals(PyObject* a, PyObject* b) { return binding::equal(a, b); }

// A constant read back from the class, as a string or None.
Ref class_constant(PyObject* name) {
    Ref value = getattr(global(names::Cell).get(), name);
    if (!binding::is_str_or_none(value.get()))
        binding::raise(PyExc_TypeError, "Expected %s, got %.200s", "unicode", Py_TYPE(value.get())->tp_name);
    return value;
}

}  // namespace

Ref cell_init_body(At& at, PyObject* const* a) {
    PyObject *self = a[0], *cell = a[1], *file_type = a[2];
    at(70); setattr(self, names::_data, cell);
    at(71);
    if (binding::state().assertions) {
        Ref cls = global(names::Cell);
        bool known = equals(file_type, getattr(cls.get(), names::BASE).get()) ||
                     equals(file_type, getattr(cls.get(), names::CURRENT).get()) ||
                     equals(file_type, getattr(cls.get(), names::INCOMING).get());
        if (!known) binding::raise_assertion();
    }
    at(72); setattr(self, names::_file_type, file_type);
    return binding::none();
}

Ref cell_file_type_get_body(At& at, PyObject* const* a) {
    PyObject* self = a[0];
    at(77);
    if (equals(getattr(self, names::_file_type).get(), names::current)) {
        at(78); return class_constant(names::CURRENT);
    }
    at(79);
    if (equals(getattr(self, names::_file_type).get(), names::incoming)) {
        at(80); return class_constant(names::INCOMING);
    }
    at(81); return class_constant(names::BASE);
}

Ref cell_data_get_body(At& at, PyObject* const* a) { at(86); return getattr(a[0], names::_data); }
Ref cell_data_set_body(At& at, PyObject* const* a) {
    at(91); setattr(a[0], names::_data, a[1]);
    return binding::none();
}

Ref cell_cell_id_get_body(At& at, PyObject* const* a) { at(96); return path_get(a[0], {names::id}); }
Ref cell_cell_id_set_body(At& at, PyObject* const* a) { at(101); return path_set(a[0], {names::id}, a[1]); }

Ref cell_source_get_body(At& at, PyObject* const* a) { at(106); return path_get(a[0], {names::source}); }
Ref cell_source_set_body(At& at, PyObject* const* a) { at(111); return path_set(a[0], {names::source}, a[1]); }

Ref cell_meta_data_get_body(At& at, PyObject* const* a) {
    at(116); return path_get(a[0], {names::metadata, names::canvas});
}

Ref cell_link_id_get_body(At& at, PyObject* const* a) {
    at(121); return path_get(a[0], {names::metadata, names::canvas, names::id});
}
Ref cell_link_id_set_body(At& at, PyObject* const* a) {
    at(126); return path_set(a[0], {names::metadata, names::canvas, names::id}, a[1]);
}

Ref cell_name_get_body(At& at, PyObject* const* a) {
    at(131); return path_get(a[0], {names::metadata, names::canvas, names::name});
}
Ref cell_name_set_body(At& at, PyObject* const* a) {
    at(136); return path_set(a[0], {names::metadata, names::canvas, names::name}, a[1]);
}

Ref cell_parents_get_body(At& at, PyObject* const* a) {
    at(141); return path_get(a[0], {names::metadata, names::canvas, names::parents});
}
Ref cell_parents_set_body(At& at, PyObject* const* a) {
    at(146); return path_set(a[0], {names::metadata, names::canvas, names::parents}, a[1]);
}

Ref cell_comments_get_body(At& at, PyObject* const* a) {
    at(151); return path_get(a[0], {names::metadata, names::canvas, names::comments});
}

Ref cell_add_comment_body(At& at, PyObject* const* a) {
    at(155);
    Ref comments = path_get(a[0], {names::metadata, names::canvas, names::comments});
    if (PyList_CheckExact(comments.get()))
        binding::check(PyList_Append(comments.get(), a[1]));
    else
        binding::call_method(comments.get(), names::append, {a[1]});
    return binding::none();
}

// Marks the name with the side's prefix ("<<< " ours, ">>> " theirs) unless it already has it;
// an unnamed cell and a base cell stay as they are.
Ref cell_add_conflict_mark_body(At& at, PyObject* const* a) {
    PyObject* self = a[0];
    at(161);
    if (!truthy(getattr(self, names::name).get())) return binding::none();
    struct Side { int compare_line, test_line, assign_line; PyObject* constant; PyObject* prefix; };
    const Side sides[] = {{163, 164, 165, names::CURRENT, names::mark_ours},
                          {166, 167, 168, names::INCOMING, names::mark_theirs}};
    for (const Side& side : sides) {
        at(side.compare_line);
        Ref file_type = getattr(self, names::file_type);
        if (!equals(file_type.get(), getattr(global(names::Cell).get(), side.constant).get())) continue;
        at(side.test_line);
        Ref name = getattr(self, names::name);
        Ref marked = binding::call_method(name.get(), names::startswith, {side.prefix});
        if (truthy(marked.get())) return binding::none();
        at(side.assign_line);
        name = getattr(self, names::name);
        Ref prefixed = Ref::steal(PyNumber_Add(side.prefix, name.get()));
        setattr(self, names::name, prefixed.get());
        return binding::none();
    }
    return binding::none();
}

}  // namespace merge_driver
