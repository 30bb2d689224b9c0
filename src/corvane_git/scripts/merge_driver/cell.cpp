// Cell: one cell dict and its side; path accessors into the dict and the conflict marks.
#include "binding/compat.hpp"
#include "binding/function.hpp"
#include "lines.hpp"
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
        binding::raise(PyExc_TypeError, "Expected %s, got %.200s", "unicode",
                       Py_TYPE(value.get())->tp_name);
    return value;
}

// The module's own __init__ when `cls` makes its instances as the class Cell defined here does:
// a class of the type `type` on `object` alone, abstract in nothing, whose instances object's
// __new__ allocates and whose own __init__ is the module's. Null for anything else.
binding::FunctionInfo* own_init(PyObject* cls) {
    if (Py_TYPE(cls) != &PyType_Type) return nullptr;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) ||
        type->tp_new != PyBaseObject_Type.tp_new)
        return nullptr;
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) != 2 ||
        PyTuple_GET_ITEM(mro, 0) != cls ||
        PyTuple_GET_ITEM(mro, 1) != reinterpret_cast<PyObject*>(&PyBaseObject_Type))
        return nullptr;
    PyObject* init = PyDict_GetItemWithError(type->tp_dict, names::__init__);
    if (!init) {
        if (PyErr_Occurred()) throw HostError{};
        return nullptr;
    }
    binding::FunctionInfo* info = binding::function_info(init);
    return info && info->body == cell_init_body ? info : nullptr;
}

}  // namespace

// The host would make the instance with object's __new__ and call __init__ on it; so does this,
// without the arguments' tuple and keyword map and the host's lookups in between.
Ref make_cell(PyObject* cell, PyObject* side) {
    Ref cls = global(names::Cell);
    if (binding::FunctionInfo* init = own_init(cls.get())) {
        PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls.get());
        binding::compat::ClassCallLevels
            levels;  // the recursion levels the host's call would count
        Ref no_args = Ref::steal(PyTuple_New(0));
        Ref self = Ref::steal(type->tp_new(type, no_args.get(), nullptr));
        PyObject* const args[] = {self.get(), cell, side};
        Ref done = Ref::steal(binding::call_function(*init, args, 3));
        return self;
    }
    return binding::call_kw(cls.get(), {cell}, {{names::file_type, side}});
}

Ref cell_init_body(At& at, PyObject* const* a) {
    PyObject *self = a[0], *cell = a[1], *file_type = a[2];
    at(lines::cell_init::store_data);
    setattr(self, names::_data, cell);
    at(lines::cell_init::check_side);
    if (binding::state().assertions) {
        Ref cls = global(names::Cell);
        bool known = equals(file_type, getattr(cls.get(), names::BASE).get()) ||
                     equals(file_type, getattr(cls.get(), names::CURRENT).get()) ||
                     equals(file_type, getattr(cls.get(), names::INCOMING).get());
        if (!known) binding::raise_assertion();
    }
    at(lines::cell_init::store_file_type);
    setattr(self, names::_file_type, file_type);
    return binding::none();
}

Ref cell_file_type_get_body(At& at, PyObject* const* a) {
    PyObject* self = a[0];
    at(lines::cell_file_type::is_current);
    if (equals(getattr(self, names::_file_type).get(), names::current)) {
        at(lines::cell_file_type::current);
        return class_constant(names::CURRENT);
    }
    at(lines::cell_file_type::is_incoming);
    if (equals(getattr(self, names::_file_type).get(), names::incoming)) {
        at(lines::cell_file_type::incoming);
        return class_constant(names::INCOMING);
    }
    at(lines::cell_file_type::base);
    return class_constant(names::BASE);
}

Ref cell_data_get_body(At& at, PyObject* const* a) {
    at(lines::cell_data_get::body);
    return getattr(a[0], names::_data);
}
Ref cell_data_set_body(At& at, PyObject* const* a) {
    at(lines::cell_data_set::body);
    setattr(a[0], names::_data, a[1]);
    return binding::none();
}

Ref cell_cell_id_get_body(At& at, PyObject* const* a) {
    at(lines::cell_cell_id_get::body);
    return path_get(a[0], {names::id});
}
Ref cell_cell_id_set_body(At& at, PyObject* const* a) {
    at(lines::cell_cell_id_set::body);
    return path_set(a[0], {names::id}, a[1]);
}

Ref cell_source_get_body(At& at, PyObject* const* a) {
    at(lines::cell_source_get::body);
    return path_get(a[0], {names::source});
}
Ref cell_source_set_body(At& at, PyObject* const* a) {
    at(lines::cell_source_set::body);
    return path_set(a[0], {names::source}, a[1]);
}

Ref cell_meta_data_get_body(At& at, PyObject* const* a) {
    at(lines::cell_meta_data::body);
    return path_get(a[0], {names::metadata, names::canvas});
}

Ref cell_link_id_get_body(At& at, PyObject* const* a) {
    at(lines::cell_link_id_get::body);
    return path_get(a[0], {names::metadata, names::canvas, names::id});
}
Ref cell_link_id_set_body(At& at, PyObject* const* a) {
    at(lines::cell_link_id_set::body);
    return path_set(a[0], {names::metadata, names::canvas, names::id}, a[1]);
}

Ref cell_name_get_body(At& at, PyObject* const* a) {
    at(lines::cell_name_get::body);
    return path_get(a[0], {names::metadata, names::canvas, names::name});
}
Ref cell_name_set_body(At& at, PyObject* const* a) {
    at(lines::cell_name_set::body);
    return path_set(a[0], {names::metadata, names::canvas, names::name}, a[1]);
}

Ref cell_parents_get_body(At& at, PyObject* const* a) {
    at(lines::cell_parents_get::body);
    return path_get(a[0], {names::metadata, names::canvas, names::parents});
}
Ref cell_parents_set_body(At& at, PyObject* const* a) {
    at(lines::cell_parents_set::body);
    return path_set(a[0], {names::metadata, names::canvas, names::parents}, a[1]);
}

Ref cell_comments_get_body(At& at, PyObject* const* a) {
    at(lines::cell_comments::body);
    return path_get(a[0], {names::metadata, names::canvas, names::comments});
}

Ref cell_add_comment_body(At& at, PyObject* const* a) {
    at(lines::cell_add_comment::body);
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
    at(lines::cell_add_conflict_mark::is_named);
    if (!truthy(getattr(self, names::name).get())) return binding::none();
    struct Side {
        int compare_line, test_line, assign_line;
        PyObject* constant;
        PyObject* prefix;
    };
    namespace line = lines::cell_add_conflict_mark;
    const Side sides[] = {{line::is_current, line::current_marked, line::mark_current,
                           names::CURRENT, names::mark_ours},
                          {line::is_incoming, line::incoming_marked, line::mark_incoming,
                           names::INCOMING, names::mark_theirs}};
    for (const Side& side : sides) {
        at(side.compare_line);
        Ref file_type = getattr(self, names::file_type);
        if (!equals(file_type.get(), getattr(global(names::Cell).get(), side.constant).get()))
            continue;
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
