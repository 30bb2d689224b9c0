// merged_cells and its component-name index.
#include "cell_table.hpp"
#include <limits>

namespace merge_driver {

using binding::call_method;
using binding::check;
using binding::getattr;
using binding::setattr;
using binding::setitem;
using binding::truthy;

namespace {

// Labels leave this much room between neighbours when assigned afresh, so that many insertions
// between two entries go by before the table has to be labelled again.
constexpr std::uint64_t spacing = std::uint64_t{1} << 32;

Ref position_of(Py_ssize_t node) { return Ref::steal(PyLong_FromSsize_t(node)); }

}  // namespace

void raise_key_error(PyObject* key) {
    // As the host's dict does: a tuple key is wrapped, so that it is not taken as the arguments.
    Ref arg = PyTuple_Check(key) ? Ref::steal(PyTuple_Pack(1, key)) : Ref::borrow(key);
    PyErr_SetObject(PyExc_KeyError, arg.get());
    throw HostError{};
}

CellTable::CellTable(PyObject* table) : index_(Ref::steal(PyDict_New())) {
    Py_ssize_t pos = 0;
    PyObject *key, *cell;
    while (PyDict_Next(table, &pos, &key, &cell)) store(key, cell);
    dirty_.clear();
}

Ref CellTable::get(PyObject* key) const { return Ref::borrow(nodes_[node_of(key)].cell.get()); }

void CellTable::store(PyObject* key, PyObject* cell) {
    Py_ssize_t node = find(key);
    if (node >= 0) {
        nodes_[node].cell = Ref::borrow(cell);
    } else {
        node = add_node(key, cell);
        link_after(tail_, node);
    }
    changed(key);
}

void CellTable::remove(PyObject* key) {
    Py_ssize_t node = node_of(key);
    check(PyDict_DelItem(index_.get(), key));
    leave_group(node);  // its label is about to mean nothing; comp_names still names it
    unlink(node);
    nodes_[node].key = Ref();
    nodes_[node].cell = Ref();
    changed(key);
}

void CellTable::insert_after(PyObject* key, PyObject* new_key, PyObject* cell) {
    Py_ssize_t anchor = node_of(key);
    if (find(new_key) >= 0)
        binding::raise(PyExc_ValueError, "fresh id '%S' is already in the merged notebook",
                       new_key);
    Py_ssize_t node = add_node(new_key, cell);
    link_after(anchor, node);
    changed(new_key);
}

void CellTable::mark(PyObject* key) {
    call_method(get(key).get(), names::add_conflict_mark);
    changed(key);
}

void CellTable::rename(PyObject* key, PyObject* name) {
    setattr(get(key).get(), names::name, name);
    changed(key);
}

void CellTable::refresh_names() {
    if (!comp_names_) {
        comp_names_ = Ref::steal(PyDict_New());
        counted_ = Ref::steal(PyDict_New());
        groups_of_ = Ref::steal(PyDict_New());
        dirty_.clear();
        for (Py_ssize_t n = head_; n >= 0; n = nodes_[n].next) count_name(nodes_[n].key.get());
        return;
    }
    std::vector<Ref> dirty;
    dirty.swap(dirty_);
    for (const Ref& key : dirty) {
        forget_name(key.get());
        count_name(key.get());
    }
}

Py_ssize_t CellTable::find(PyObject* key) const {
    PyObject* position = PyDict_GetItemWithError(index_.get(), key);
    if (!position) {
        if (PyErr_Occurred()) throw HostError{};
        return -1;
    }
    return PyLong_AsSsize_t(position);
}

Py_ssize_t CellTable::node_of(PyObject* key) const {
    Py_ssize_t node = find(key);
    if (node < 0) raise_key_error(key);
    return node;
}

Py_ssize_t CellTable::add_node(PyObject* key, PyObject* cell) {
    Py_ssize_t node = static_cast<Py_ssize_t>(nodes_.size());
    check(PyDict_SetItem(index_.get(), key, position_of(node).get()));
    nodes_.push_back(Node{Ref::borrow(key), Ref::borrow(cell)});
    return node;
}

// Links `node` after `before` (-1: at the head) with a label between its neighbours'.
void CellTable::link_after(Py_ssize_t before, Py_ssize_t node) {
    for (;;) {
        Py_ssize_t after = before >= 0 ? nodes_[before].next : head_;
        const std::uint64_t low = before >= 0 ? nodes_[before].label : 0;
        const std::uint64_t high =
            after >= 0 ? nodes_[after].label : std::numeric_limits<std::uint64_t>::max();
        if (high - low >= 2) {
            nodes_[node].label =
                after >= 0 || high - low <= spacing ? low + (high - low) / 2 : low + spacing;
            nodes_[node].prev = before;
            nodes_[node].next = after;
            (before >= 0 ? nodes_[before].next : head_) = node;
            (after >= 0 ? nodes_[after].prev : tail_) = node;
            return;
        }
        relabel();
    }
}

void CellTable::unlink(Py_ssize_t node) {
    Py_ssize_t before = nodes_[node].prev, after = nodes_[node].next;
    (before >= 0 ? nodes_[before].next : head_) = after;
    (after >= 0 ? nodes_[after].prev : tail_) = before;
}

// Spreads the labels again. The order stays, so the holder sets stay sorted.
void CellTable::relabel() {
    std::uint64_t label = 0;
    for (Py_ssize_t n = head_; n >= 0; n = nodes_[n].next) nodes_[n].label = label += spacing;
}

void CellTable::changed(PyObject* key) { dirty_.push_back(Ref::borrow(key)); }

void CellTable::leave_group(Py_ssize_t node) {
    if (!nodes_[node].in_group) return;
    groups_[nodes_[node].group].erase(node);
    nodes_[node].in_group = false;
}

// Takes `key` out of the name it was counted under; comp_names then names the last entry still
// holding that name, or loses the name.
void CellTable::forget_name(PyObject* key) {
    PyObject* position = PyDict_GetItemWithError(counted_.get(), key);
    if (!position) {
        if (PyErr_Occurred()) throw HostError{};
        return;
    }
    const Py_ssize_t node = PyLong_AsSsize_t(position);
    check(PyDict_DelItem(counted_.get(), key));
    Ref name = std::move(nodes_[node].counted);
    const Py_ssize_t group = nodes_[node].group;
    leave_group(node);
    nodes_[node].group = -1;
    if (groups_[group].empty()) {
        check(PyDict_DelItem(groups_of_.get(), name.get()));
        check(PyDict_DelItem(comp_names_.get(), name.get()));
        free_groups_.push_back(group);
    } else {
        point_at_last(name.get(), group);
    }
}

// Counts `key` under its entry's name when the table holds it and that name is true.
void CellTable::count_name(PyObject* key) {
    const Py_ssize_t node = find(key);
    if (node < 0) return;
    Ref name = getattr(nodes_[node].cell.get(), names::name);
    if (!truthy(name.get())) return;
    PyObject* found = PyDict_GetItemWithError(groups_of_.get(), name.get());
    if (!found && PyErr_Occurred()) throw HostError{};
    Py_ssize_t group;
    if (found) {
        group = PyLong_AsSsize_t(found);
    } else {
        if (free_groups_.empty()) {
            group = static_cast<Py_ssize_t>(groups_.size());
            groups_.emplace_back(LaterFirst{&nodes_});
        } else {
            group = free_groups_.back();
            free_groups_.pop_back();
        }
        setitem(groups_of_.get(), name.get(), position_of(group).get());
    }
    groups_[group].insert(node);
    nodes_[node].in_group = true;
    nodes_[node].group = group;
    nodes_[node].counted = name;
    setitem(counted_.get(), key, position_of(node).get());
    point_at_last(name.get(), group);
}

void CellTable::point_at_last(PyObject* name, Py_ssize_t group) {
    setitem(comp_names_.get(), name, nodes_[*groups_[group].begin()].key.get());
}

}  // namespace merge_driver
