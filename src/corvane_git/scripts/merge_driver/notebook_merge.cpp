// merge_files: read three notebooks, pair their cells by component id, decide, write the result.
#include <new>
#include <vector>
#include "merges_ahead.hpp"
#include "notebook.hpp"
#include "platform.hpp"
#include "with_block.hpp"

namespace merge_driver {

using binding::call;
using binding::call_kw;
using binding::call_method;
using binding::check;
using binding::contains;
using binding::equal;
using binding::getattr;
using binding::getitem;
using binding::global;
using binding::setattr;
using binding::setitem;
using binding::truthy;

namespace {

[[noreturn]] void raise_key_error(PyObject* key) {
    // As the host's dict does: a tuple key is wrapped, so that it is not taken as the arguments.
    Ref arg = PyTuple_Check(key) ? Ref::steal(PyTuple_Pack(1, key)) : Ref::borrow(key);
    PyErr_SetObject(PyExc_KeyError, arg.get());
    throw HostError{};
}

// d[key] for a dict of this call.
Ref dict_item(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value) {
        if (PyErr_Occurred()) throw HostError{};
        raise_key_error(key);
    }
    return Ref::borrow(value);
}

bool has_key(PyObject* dict, PyObject* key) { return check(PyDict_Contains(dict, key)) != 0; }

bool differ(PyObject* a, PyObject* b) {
    Ref r = Ref::steal(PyObject_RichCompare(a, b, Py_NE));
    return truthy(r.get());
}

[[noreturn]] void raise_unbound(const char* name) {
    binding::raise(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", name);
}

// merged_cells: a cell table whose entries are replaced, appended, removed and inserted after
// others. Kept as a linked list with a key index so that an insertion does not rebuild the table;
// the order and the values are those of a host dict rebuilt from the pairs at each insertion.
class CellTable {
public:
    explicit CellTable(PyObject* table) : index_(Ref::steal(PyDict_New())) {
        Py_ssize_t pos = 0;
        PyObject *key, *cell;
        while (PyDict_Next(table, &pos, &key, &cell)) store(key, cell);
    }

    Ref get(PyObject* key) const { return Ref::borrow(nodes_[node_of(key)].cell.get()); }

    // The entry of `key`, or an empty Ref when the table has none.
    Ref find_cell(PyObject* key) const {
        Py_ssize_t node = find(key);
        return node < 0 ? Ref() : Ref::borrow(nodes_[node].cell.get());
    }

    // The key, among those of the list `keys`, whose entry comes last in table order.
    Ref last_key_in(PyObject* keys) const {
        for (Py_ssize_t n = tail_; n >= 0; n = nodes_[n].prev)
            if (contains(keys, nodes_[n].key.get())) return nodes_[n].key;
        binding::raise(PyExc_SystemError, "merged cell table lost a key");
    }

    // merged_cells[key] = cell: replaced where it stands, or appended when new.
    void store(PyObject* key, PyObject* cell) {
        Py_ssize_t node = find(key);
        if (node >= 0) {
            nodes_[node].cell = Ref::borrow(cell);
            return;
        }
        node = add_node(key, cell);
        link_after(tail_, node);
    }

    void remove(PyObject* key) {
        Py_ssize_t node = node_of(key);
        check(PyDict_DelItem(index_.get(), key));
        unlink(node);
        nodes_[node].key = Ref();
        nodes_[node].cell = Ref();
    }

    // The table rebuilt from its pairs with (new_key, cell) placed right after the pair of `key`.
    // A rebuilt dict keeps a repeated key at its first position with its last value; fresh ids
    // never repeat a key, but the rule is kept for a host that makes them so.
    void insert_after(PyObject* key, PyObject* new_key, PyObject* cell) {
        Py_ssize_t anchor = node_of(key);
        Py_ssize_t existing = find(new_key);
        if (existing < 0) {
            Py_ssize_t node = add_node(new_key, cell);
            link_after(anchor, node);
            return;
        }
        bool existing_first = existing == anchor;
        for (Py_ssize_t n = head_; n != anchor && !existing_first; n = nodes_[n].next)
            existing_first = n == existing;
        if (existing_first) {
            nodes_[existing].cell = Ref::borrow(cell);
        } else {
            unlink(existing);
            link_after(anchor, existing);
        }
    }

    // f(key, cell) for each entry in table order; f must not change the table.
    template <class F>
    void each(F&& f) const {
        for (Py_ssize_t n = head_; n >= 0; n = nodes_[n].next) f(nodes_[n].key.get(), nodes_[n].cell.get());
    }

private:
    struct Node {
        Ref key, cell;
        Py_ssize_t prev = -1, next = -1;
    };

    Py_ssize_t find(PyObject* key) const {
        PyObject* position = PyDict_GetItemWithError(index_.get(), key);
        if (!position) {
            if (PyErr_Occurred()) throw HostError{};
            return -1;
        }
        return PyLong_AsSsize_t(position);
    }
    Py_ssize_t node_of(PyObject* key) const {
        Py_ssize_t node = find(key);
        if (node < 0) raise_key_error(key);
        return node;
    }
    Py_ssize_t add_node(PyObject* key, PyObject* cell) {
        Py_ssize_t node = static_cast<Py_ssize_t>(nodes_.size());
        Ref position = Ref::steal(PyLong_FromSsize_t(node));
        check(PyDict_SetItem(index_.get(), key, position.get()));
        nodes_.push_back(Node{Ref::borrow(key), Ref::borrow(cell)});
        return node;
    }
    // Links `node` after `before`; before = -1 makes it the head.
    void link_after(Py_ssize_t before, Py_ssize_t node) {
        Py_ssize_t after = before >= 0 ? nodes_[before].next : head_;
        nodes_[node].prev = before;
        nodes_[node].next = after;
        (before >= 0 ? nodes_[before].next : head_) = node;
        (after >= 0 ? nodes_[after].prev : tail_) = node;
    }
    void unlink(Py_ssize_t node) {
        Py_ssize_t before = nodes_[node].prev, after = nodes_[node].next;
        (before >= 0 ? nodes_[before].next : head_) = after;
        (after >= 0 ? nodes_[after].prev : tail_) = before;
    }

    std::vector<Node> nodes_;  // removed nodes stay, unlinked and empty
    Py_ssize_t head_ = -1, tail_ = -1;
    Ref index_;                // key -> position in nodes_
};

// The working state of one call; everything dies with it.
struct MergeState {
    At& at;
    PyObject* file_path;
    Ref current, base, incoming;                     // the parsed notebooks
    Ref current_cells, base_cells, incoming_cells;   // component id -> Cell
    CellTable* merged_cells = nullptr;
    // Component name -> id of the last merged entry holding it, as a rebuild from merged_cells
    // gives it. After the first full build it is brought up to date from `dirty`, the keys whose
    // entry was stored, removed, inserted, marked or renamed since, so a rebuild costs what changed.
    Ref comp_names;
    bool comp_names_stale = true;
    Ref name_of;   // key -> its entry's true name, for the keys counted in comp_names
    Ref holders;   // name -> list of the keys whose entries hold it
    std::vector<Ref> dirty;
    Ref g;                                           // git.cmd.Git(), made once per call
};

Ref read_notebook(At& at, int line, PyObject* path, const char* variable) {
    at(line);
    Ref file = call_kw(binding::cached_open(), {path, names::r}, {{names::encoding, names::utf_8}});
    Ref notebook;
    with_block(at, line, file.get(), [&](PyObject* fp) {
        at(line + 1);
        Ref load = getattr(global(names::json).get(), names::load);
        notebook = call(load.get(), {fp});
    });
    if (!notebook) raise_unbound(variable);
    return notebook;
}

// {cell["metadata"]["canvas"]["id"]: Cell(cell, file_type=side) for cell in notebook["cells"]}
Ref cell_table(PyObject* notebook, PyObject* side, const char* side_text) {
    Ref table = Ref::steal(PyDict_New());
    Ref cells = getitem(notebook, names::cells);
    Ref it = Ref::steal(PyObject_GetIter(cells.get()));
    while (Ref cell = Ref::steal_or_null(PyIter_Next(it.get()))) {
        Ref key = getitem(getitem(getitem(cell.get(), names::metadata).get(), names::canvas).get(), names::id);
        if (has_key(table.get(), key.get())) {
            Ref text = Ref::steal(PyObject_Str(key.get()));
            binding::raise(PyExc_ValueError, "duplicate component id '%U' in %s notebook", text.get(), side_text);
        }
        Ref cls = global(names::Cell);
        Ref wrapped = call_kw(cls.get(), {cell.get()}, {{names::file_type, side}});
        check(PyDict_SetItem(table.get(), key.get(), wrapped.get()));
    }
    if (PyErr_Occurred()) throw HostError{};
    return table;
}

// Cell(their_cell.data.copy(), file_type="incoming"): a new top-level map sharing the nested
// values with their notebook, so marks and the new link_id land in their canvas map as well.
Ref incoming_copy(PyObject* their_cell) {
    Ref cls = global(names::Cell);
    Ref data = getattr(their_cell, names::data);
    Ref copy = call_method(data.get(), names::copy);
    return call_kw(cls.get(), {copy.get()}, {{names::file_type, names::incoming}});
}

// str(uuid.uuid4())
Ref fresh_id() {
    Ref uuid4 = getattr(global(names::uuid).get(), names::uuid4);
    Ref value = call(uuid4.get());
    return Ref::steal(PyObject_Str(value.get()));
}

// An incoming copy of their version with a fresh link_id, then a fresh cell_id.
Ref incoming_copy_with_fresh_ids(At& at, int line, PyObject* their_cell) {
    at(line); Ref new_cell = incoming_copy(their_cell);
    at(line + 1); setattr(new_cell.get(), names::link_id, fresh_id().get());
    at(line + 2); setattr(new_cell.get(), names::cell_id, fresh_id().get());
    return new_cell;
}

// Records that the entry of `key` (or its absence) may no longer match comp_names.
void changed(MergeState& s, PyObject* key) { s.dirty.push_back(Ref::borrow(key)); }

// add_conflict_mark on the merged entry of `key`.
void mark(MergeState& s, PyObject* key) {
    call_method(s.merged_cells->get(key).get(), names::add_conflict_mark);
    changed(s, key);
}

// add_conflict_mark on a cell not in merged_cells yet; inserting it records the change.
void mark_new(PyObject* cell) { call_method(cell, names::add_conflict_mark); }

// comp_names[name] = key of the last entry in table order holding name, among `keys`.
void point_at_last(MergeState& s, PyObject* name, PyObject* keys) {
    Ref last = PyList_GET_SIZE(keys) == 1 ? Ref::borrow(PyList_GET_ITEM(keys, 0))
                                          : s.merged_cells->last_key_in(keys);
    setitem(s.comp_names.get(), name, last.get());
}

// Takes `key` out of the name it was counted under.
void forget_name(MergeState& s, PyObject* key) {
    PyObject* old = PyDict_GetItemWithError(s.name_of.get(), key);
    if (!old) {
        if (PyErr_Occurred()) throw HostError{};
        return;
    }
    Ref name = Ref::borrow(old);
    check(PyDict_DelItem(s.name_of.get(), key));
    Ref keys = dict_item(s.holders.get(), name.get());
    Ref position = call_method(keys.get(), names::index, {key});
    check(PySequence_DelItem(keys.get(), PyLong_AsSsize_t(position.get())));
    if (PyList_GET_SIZE(keys.get()) == 0) {
        check(PyDict_DelItem(s.holders.get(), name.get()));
        check(PyDict_DelItem(s.comp_names.get(), name.get()));
    } else {
        point_at_last(s, name.get(), keys.get());
    }
}

// Counts `key` under its entry's name when that name is true.
void count_name(MergeState& s, PyObject* key, PyObject* cell) {
    Ref name = getattr(cell, names::name);
    if (!truthy(name.get())) return;
    PyObject* found = PyDict_GetItemWithError(s.holders.get(), name.get());
    if (!found && PyErr_Occurred()) throw HostError{};
    Ref keys = found ? Ref::borrow(found) : Ref::steal(PyList_New(0));
    if (!found) setitem(s.holders.get(), name.get(), keys.get());
    check(PyList_Append(keys.get(), key));
    setitem(s.name_of.get(), key, name.get());
    point_at_last(s, name.get(), keys.get());
}

void refresh_comp_names(MergeState& s) {
    if (s.comp_names_stale) {
        s.comp_names = Ref::steal(PyDict_New());
        s.name_of = Ref::steal(PyDict_New());
        s.holders = Ref::steal(PyDict_New());
        s.merged_cells->each([&](PyObject* key, PyObject* cell) { count_name(s, key, cell); });
        s.comp_names_stale = false;
        s.dirty.clear();
        return;
    }
    std::vector<Ref> dirty;
    dirty.swap(s.dirty);
    for (const Ref& key : dirty) {
        forget_name(s, key.get());
        if (Ref cell = s.merged_cells->find_cell(key.get())) count_name(s, key.get(), cell.get());
    }
}

Ref cell_changed(PyObject* cell0, PyObject* cell1) {
    Ref function = global(names::_cell_changed);
    return call(function.get(), {cell0, cell1});
}

// The diff with its "outputs" entry dropped; `line` tests for it, line + 1 drops it.
Ref cell_changed_without_outputs(At& at, int line, PyObject* cell0, PyObject* cell1) {
    Ref diff = cell_changed(cell0, cell1);
    at(line);
    if (contains(diff.get(), names::outputs)) {
        at(line + 1); call_method(diff.get(), names::pop, {names::outputs});
    }
    return diff;
}

Ref with_suffix(PyObject* path, PyObject* suffix) {
    Ref text = Ref::steal(PyObject_Str(path));
    return Ref::steal(PyUnicode_Concat(text.get(), suffix));
}

// merged_cells[id].source = _merge_source(g, ours.source, base.source, theirs.source,
// current_name=f"{file_path}-current", incoming_name=f"{file_path}-incoming"); the merged entry
// is still our version's wrapper, so the lines land in our cell dict. Reports `line` for the call.
void merge_decided_source(MergeState& s, int line, PyObject* cell_id) {
    At& at = s.at;
    at(line); Ref merge_source = global(names::_merge_source);
    at(line + 1); Ref ours = getattr(dict_item(s.current_cells.get(), cell_id).get(), names::source);
    at(line + 2); Ref base = getattr(dict_item(s.base_cells.get(), cell_id).get(), names::source);
    at(line + 3); Ref theirs = getattr(dict_item(s.incoming_cells.get(), cell_id).get(), names::source);
    at(line + 4);
    Ref current_name = with_suffix(s.file_path, names::suffix_current);
    Ref incoming_name = with_suffix(s.file_path, names::suffix_incoming);
    at(line);
    Ref lines = call_kw(merge_source.get(), {s.g.get(), ours.get(), base.get(), theirs.get()},
                        {{names::current_name, current_name.get()}, {names::incoming_name, incoming_name.get()}});
    setattr(s.merged_cells->get(cell_id).get(), names::source, lines.get());
}

// new_cell goes right after the entry of cell_id, under its own (fresh) link_id.
void insert_after(MergeState& s, int line, PyObject* cell_id, PyObject* new_cell) {
    s.at(line);
    Ref new_key = getattr(new_cell, names::link_id);
    s.merged_cells->insert_after(cell_id, new_key.get(), new_cell);
    changed(s, new_key.get());
}

// Ids that base holds and our side does not, in base order (b = base, t = theirs):
//   (1) t deleted too          no entry       deleted on both sides
//   (2) t == b                 no entry       our deletion stands; outputs count as a change
//   (3) t != b                 theirs         incoming copy appended, marked ">>> "
void merge_cells_we_deleted(MergeState& s) {
    At& at = s.at;
    Py_ssize_t pos = 0;
    PyObject *cell_id, *base_cell;
    at(229);
    while (PyDict_Next(s.base_cells.get(), &pos, &cell_id, &base_cell)) {
        Ref id = Ref::borrow(cell_id), base_version = Ref::borrow(base_cell);
        at(229);
        if (has_key(s.current_cells.get(), id.get())) continue;
        at(230);
        if (!has_key(s.incoming_cells.get(), id.get())) continue;                         // (1)
        at(233);
        Ref diff = cell_changed(base_version.get(), dict_item(s.incoming_cells.get(), id.get()).get());
        if (!truthy(diff.get())) continue;                                                 // (2)
        at(237);
        s.merged_cells->store(id.get(), incoming_copy(dict_item(s.incoming_cells.get(), id.get()).get()).get());
        changed(s, id.get());
        at(238); mark(s, id.get());                           // (3)
    }
}

// Ids that their side holds and base does not, in their order (o = ours, t = theirs; names are
// the canvas names, true when non-empty; comp_names as built before this loop):
//   (1) o holds the id too, t == o apart from outputs   ours
//   (2) o holds the id too, t != o    ours, then theirs with fresh ids right after it; when both
//                                     are named, ours marked "<<< " and theirs ">>> "
//   (3) t's name in comp_names        theirs appended, marked ">>> "; the cell holding the name
//                                     marked by its own side
//   (4) otherwise                     theirs appended
void merge_cells_they_added(MergeState& s) {
    At& at = s.at;
    Py_ssize_t pos = 0;
    PyObject *cell_id, *their_cell;
    at(242);
    while (PyDict_Next(s.incoming_cells.get(), &pos, &cell_id, &their_cell)) {
        Ref id = Ref::borrow(cell_id), theirs = Ref::borrow(their_cell);
        at(242);
        if (has_key(s.base_cells.get(), id.get())) continue;
        at(244);
        if (has_key(s.current_cells.get(), id.get())) {
            Ref ours = dict_item(s.current_cells.get(), id.get());
            Ref diff = cell_changed_without_outputs(at, 244, ours.get(), theirs.get());
            at(244);
            if (!truthy(diff.get())) continue;                                             // (1)
            Ref our_name = getattr(ours.get(), names::name);
            Ref their_name = getattr(theirs.get(), names::name);
            Ref new_cell = incoming_copy_with_fresh_ids(at, 244, theirs.get());
            at(244);
            if (truthy(our_name.get()) && truthy(their_name.get())) {
                mark(s, id.get());
                mark_new(new_cell.get());
            }
            insert_after(s, 244, id.get(), new_cell.get());                                // (2)
            continue;
        }
        at(245); Ref incoming_comp_name = getattr(theirs.get(), names::name);
        at(246);
        if (has_key(s.comp_names.get(), incoming_comp_name.get())) {
            at(247); s.merged_cells->store(id.get(), incoming_copy(theirs.get()).get());
            changed(s, id.get());
            at(248);
            Ref holder = dict_item(s.comp_names.get(), incoming_comp_name.get());
            mark(s, holder.get());
            at(249); mark(s, id.get());                        // (3)
        } else {
            at(253); s.merged_cells->store(id.get(), incoming_copy(theirs.get()).get());   // (4)
            changed(s, id.get());
        }
    }
}

// Their version's comments that neither base nor the merged entry holds, appended in their order.
void take_their_comments(MergeState& s, PyObject* cell_id) {
    At& at = s.at;
    at(295);
    Ref theirs = getattr(dict_item(s.incoming_cells.get(), cell_id).get(), names::comments);
    Ref base_canvas = getattr(dict_item(s.base_cells.get(), cell_id).get(), names::meta_data);
    Ref base_comments;  // none when base's canvas map has no (or a null) "comments"
    if (contains(base_canvas.get(), names::comments)) {
        base_comments = getitem(base_canvas.get(), names::comments);
        if (base_comments.get() == Py_None) base_comments = Ref();
    }
    Ref it = Ref::steal(PyObject_GetIter(theirs.get()));
    while (Ref comment = Ref::steal_or_null(PyIter_Next(it.get()))) {
        at(296);
        if (base_comments && contains(base_comments.get(), comment.get())) continue;
        at(297);
        Ref merged = s.merged_cells->get(cell_id);
        if (contains(getattr(merged.get(), names::comments).get(), comment.get())) continue;
        at(299); call_method(merged.get(), names::add_comment, {comment.get()});
        at(295);
    }
    if (PyErr_Occurred()) throw HostError{};
}

// Our side left the cell as base has it (cases (1) to (4) of merge_cells_both_hold).
void merge_cell_we_kept(MergeState& s, PyObject* cell_id) {
    At& at = s.at;
    at(365);
    if (!has_key(s.incoming_cells.get(), cell_id)) {
        at(369); refresh_comp_names(s);
        at(372); Ref pop_comp_name = getattr(s.merged_cells->get(cell_id).get(), names::name);
        at(373);
        if (PyUnicode_Check(pop_comp_name.get())) {
            Ref comp_name = Ref::steal(PyNumber_Add(names::mark_theirs, pop_comp_name.get()));
            at(374);
            if (has_key(s.comp_names.get(), comp_name.get())) {
                at(375); Ref comp_id = dict_item(s.comp_names.get(), comp_name.get());
                at(377); setattr(s.merged_cells->get(comp_id.get()).get(), names::name, pop_comp_name.get());
                changed(s, comp_id.get());
            }
        }
        at(379); s.merged_cells->remove(cell_id);                                          // (1)
        changed(s, cell_id);
        return;
    }
    at(381); refresh_comp_names(s);
    at(385);
    Ref base_version = dict_item(s.base_cells.get(), cell_id);
    Ref theirs = dict_item(s.incoming_cells.get(), cell_id);
    Ref incoming_cell_diff = cell_changed_without_outputs(at, 386, base_version.get(), theirs.get());
    at(389);
    if (!truthy(incoming_cell_diff.get())) return;                                         // (2)
    at(392); Ref incoming_comp_name = getattr(theirs.get(), names::name);
    at(393);
    if (has_key(s.comp_names.get(), incoming_comp_name.get()) &&
        differ(dict_item(s.comp_names.get(), incoming_comp_name.get()).get(), cell_id)) {
        at(395); s.merged_cells->store(cell_id, incoming_copy(theirs.get()).get());
        changed(s, cell_id);
        at(396);
        Ref holder = dict_item(s.comp_names.get(), incoming_comp_name.get());
        mark(s, holder.get());
        at(397); mark(s, cell_id);                              // (3)
        return;
    }
    at(401); s.merged_cells->store(cell_id, incoming_copy(theirs.get()).get());           // (4)
    changed(s, cell_id);
}

bool canvas_keys_are(PyObject* keys, std::initializer_list<PyObject*> allowed, bool exactly) {
    Ref allowed_set = Ref::steal(PySet_New(nullptr));
    for (PyObject* key : allowed) check(PySet_Add(allowed_set.get(), key));
    Ref result = Ref::steal(PyObject_RichCompare(keys, allowed_set.get(), exactly ? Py_EQ : Py_LE));
    return truthy(result.get());
}

// Our side changed the cell (cases (5) to (12) of merge_cells_both_hold).
void merge_cell_we_changed(MergeState& s, PyObject* cell_id) {
    At& at = s.at;
    at(262);
    if (!has_key(s.incoming_cells.get(), cell_id)) {
        at(264);
        Ref merged = s.merged_cells->get(cell_id);
        if (truthy(getattr(merged.get(), names::name).get())) {
            at(266); mark(s, cell_id);
        }
        return;                                                                            // (5)
    }
    at(268);
    Ref base_version = dict_item(s.base_cells.get(), cell_id);
    Ref theirs = dict_item(s.incoming_cells.get(), cell_id);
    Ref incoming_cell_diff = cell_changed_without_outputs(at, 269, base_version.get(), theirs.get());
    at(271);
    if (!truthy(incoming_cell_diff.get())) return;                                         // (6)
    at(274); Ref current_comp_name = getattr(dict_item(s.current_cells.get(), cell_id).get(), names::name);
    at(275); Ref incoming_comp_name = getattr(theirs.get(), names::name);
    bool ours_named, theirs_named;

    at(277);
    bool canvas_changed = contains(incoming_cell_diff.get(), names::metadata) &&
        contains(getitem(incoming_cell_diff.get(), names::metadata).get(), names::canvas);
    if (canvas_changed) {
        at(281);
        Ref canvas = getitem(getitem(incoming_cell_diff.get(), names::metadata).get(), names::canvas);
        Ref keys = call_method(canvas.get(), names::keys);
        Ref changed_keys = Ref::steal(PySet_New(keys.get()));
        if (canvas_keys_are(changed_keys.get(), {names::headerColor}, true)) {
            at(283);
            if (contains(incoming_cell_diff.get(), names::source)) merge_decided_source(s, 285, cell_id);  // (7)
            return;
        }
        at(294);
        if (canvas_keys_are(changed_keys.get(), {names::comments, names::headerColor}, false)) {
            take_their_comments(s, cell_id);
            at(302);
            if (contains(incoming_cell_diff.get(), names::source)) merge_decided_source(s, 304, cell_id);  // (8)
            return;
        }
        at(312);
        if (!truthy(current_comp_name.get()) && !truthy(incoming_comp_name.get())) {
            merge_decided_source(s, 315, cell_id);                                         // (9)
            return;
        }
        Ref new_cell = incoming_copy_with_fresh_ids(at, 323, theirs.get());
        at(327);
        if (truthy(current_comp_name.get()) && truthy(incoming_comp_name.get())) {
            at(328); mark(s, cell_id);
            at(329); mark_new(new_cell.get());
        }
        insert_after(s, 332, cell_id, new_cell.get());                                    // (10)
        return;
    }
    at(339); ours_named = truthy(current_comp_name.get());
    at(340); theirs_named = truthy(incoming_comp_name.get());
    if (ours_named != theirs_named) {
        Ref new_cell = incoming_copy_with_fresh_ids(at, 342, theirs.get());
        insert_after(s, 347, cell_id, new_cell.get());                                    // (11)
        return;
    }
    merge_decided_source(s, 355, cell_id);                                                 // (12)
}

// Ids that base and our side both hold, in our order (b = base, o = ours, t = theirs; o and t are
// diffs against b without "outputs"; M = the merged entry; a name is true when non-empty):
//   (1)  o empty, t deleted          M removed; a cell named ">>> " + M's name (a string) gets it
//   (2)  o empty, t empty            ours
//   (3)  o empty, t changed, t's name held by another id in comp_names
//                                    theirs in M's place, marked ">>> "; that other cell marked
//   (4)  o empty, t changed          theirs in M's place
//   (5)  o changed, t deleted        ours, marked "<<< " when named
//   (6)  o changed, t empty          ours
//   (7)  t's canvas keys = {headerColor}            ours; merged source if t changed "source"
//   (8)  t's canvas keys in {comments, headerColor} ours plus their new comments; merged source
//                                                   if t changed "source"
//   (9)  other canvas change, neither name true     ours with merged source
//   (10) other canvas change, a name true           ours, then theirs with fresh ids right after
//                                                   it; both names true: "<<< " and ">>> "
//   (11) canvas untouched, exactly one name true    ours, then theirs with fresh ids, unmarked
//   (12) canvas untouched, otherwise                ours with merged source
void merge_cells_both_hold(MergeState& s) {
    At& at = s.at;
    MergesAheadScope ahead(s.g.get(), s.current.get(), s.base.get(), s.incoming.get());
    Py_ssize_t pos = 0;
    PyObject *cell_id, *our_cell;
    at(256);
    while (PyDict_Next(s.current_cells.get(), &pos, &cell_id, &our_cell)) {
        Ref id = Ref::borrow(cell_id), ours = Ref::borrow(our_cell);
        at(256);
        if (!has_key(s.base_cells.get(), id.get())) continue;
        at(257);
        Ref base_version = dict_item(s.base_cells.get(), id.get());
        Ref current_cell_diff = cell_changed_without_outputs(at, 258, base_version.get(), ours.get());
        at(260);
        if (truthy(current_cell_diff.get()))
            merge_cell_we_changed(s, id.get());
        else
            merge_cell_we_kept(s, id.get());
    }
}

// Components keep only parents that are components after the merge, each as {"id": ...}.
void filter_parents(MergeState& s) {
    At& at = s.at;
    at(404);
    std::vector<Ref> components;
    Ref comp_ids = Ref::steal(PySet_New(nullptr));
    s.merged_cells->each([&](PyObject* key, PyObject* cell) {
        Ref name = getattr(cell, names::name);
        if (!truthy(name.get())) return;
        components.push_back(Ref::borrow(cell));
        check(PySet_Add(comp_ids.get(), key));
    });
    for (const Ref& component : components) {
        at(406);
        Ref new_parents = Ref::steal(PyList_New(0));
        Ref parents = getattr(component.get(), names::parents);
        Ref it = Ref::steal(PyObject_GetIter(parents.get()));
        while (Ref parent = Ref::steal_or_null(PyIter_Next(it.get()))) {
            Ref parent_id = getitem(parent.get(), names::id);
            // Keys are hashable; a list or map id equals none of them.
            bool member = !PyList_Check(parent_id.get()) && !PyDict_Check(parent_id.get()) &&
                          check(PySet_Contains(comp_ids.get(), parent_id.get()));
            if (!member) continue;
            Ref entry = Ref::steal(PyDict_New());
            setitem(entry.get(), names::id, getitem(parent.get(), names::id).get());
            check(PyList_Append(new_parents.get(), entry.get()));
        }
        if (PyErr_Occurred()) throw HostError{};
        at(407); setattr(component.get(), names::parents, new_parents.get());
    }
}

// {p["name"]: p for p in notebook["metadata"]["canvas"]["parameters"]}
Ref parameter_table(PyObject* notebook) {
    Ref parameters = getitem(getitem(getitem(notebook, names::metadata).get(), names::canvas).get(),
                             names::parameters);
    Ref table = Ref::steal(PyDict_New());
    Ref it = Ref::steal(PyObject_GetIter(parameters.get()));
    while (Ref parameter = Ref::steal_or_null(PyIter_Next(it.get()))) {
        Ref name = getitem(parameter.get(), names::name);
        check(PyDict_SetItem(table.get(), name.get(), parameter.get()));
    }
    if (PyErr_Occurred()) throw HostError{};
    return table;
}

// merged[prefix + name] = parameter, whose own "name" becomes that prefixed text as well.
void store_marked(PyObject* merged, PyObject* prefix, PyObject* name, PyObject* parameter) {
    Ref marked = Ref::steal(PyNumber_Add(prefix, name));
    setitem(merged, marked.get(), parameter);
    setitem(parameter, names::name, marked.get());
}

// Parameters compared three ways by whole maps (b = base, o = ours, t = theirs):
//   base and ours hold it, in base order:
//     (1) o != b, t deleted      "<<< " ours, at the end
//     (2) o != b, t == b         ours
//     (3) o != b, t == o         ours
//     (4) o != b, t differs      "<<< " ours and ">>> " theirs, at the end
//     (5) o == b, t deleted      removed
//     (6) o == b, t == b         ours
//     (7) o == b, t != b         theirs, in place
//   base holds it, ours does not, in base order:
//     (8) t deleted or t == b    absent
//     (9) t != b                 ">>> " theirs, at the end
//   theirs holds it, base does not, in their order:
//     (10) o added, o == t       ours
//     (11) o added, o != t       "<<< " ours and ">>> " theirs, at the end
//     (12) only t added          theirs, at the end
Ref merge_parameters(MergeState& s) {
    At& at = s.at;
    at(421); Ref current_parameters = parameter_table(s.current.get());
    at(422); Ref base_parameters = parameter_table(s.base.get());
    at(423); Ref incoming_parameters = parameter_table(s.incoming.get());
    at(425); Ref merged = Ref::steal(PyDict_Copy(current_parameters.get()));
    PyObject* merged_parameters = merged.get();

    Py_ssize_t pos = 0;
    PyObject *name_key, *base_value;
    at(426);
    while (PyDict_Next(base_parameters.get(), &pos, &name_key, &base_value)) {
        Ref name = Ref::borrow(name_key), base_map = Ref::borrow(base_value);
        at(426);
        if (!has_key(current_parameters.get(), name.get())) continue;
        Ref ours = dict_item(current_parameters.get(), name.get());
        at(428);
        if (differ(base_map.get(), ours.get())) {
            at(430);
            if (!has_key(incoming_parameters.get(), name.get())) {
                at(431); store_marked(merged_parameters, names::mark_ours, name.get(),
                                      dict_item(merged_parameters, name.get()).get());
                at(433); check(PyDict_DelItem(merged_parameters, name.get()));             // (1)
                continue;
            }
            Ref theirs = dict_item(incoming_parameters.get(), name.get());
            at(435);
            if (equal(base_map.get(), theirs.get())) continue;                            // (2)
            at(438);
            if (equal(ours.get(), theirs.get())) continue;                                // (3)
            at(442); store_marked(merged_parameters, names::mark_ours, name.get(),
                                  dict_item(merged_parameters, name.get()).get());
            at(444); store_marked(merged_parameters, names::mark_theirs, name.get(), theirs.get());
            at(446); check(PyDict_DelItem(merged_parameters, name.get()));                 // (4)
            continue;
        }
        at(449);
        if (!has_key(incoming_parameters.get(), name.get())) {
            at(450); check(PyDict_DelItem(merged_parameters, name.get()));                 // (5)
            continue;
        }
        Ref theirs = dict_item(incoming_parameters.get(), name.get());
        at(452);
        if (equal(base_map.get(), theirs.get())) continue;                                // (6)
        at(455); setitem(merged_parameters, name.get(), theirs.get());                    // (7)
    }

    pos = 0;
    at(460);
    while (PyDict_Next(base_parameters.get(), &pos, &name_key, &base_value)) {
        Ref name = Ref::borrow(name_key), base_map = Ref::borrow(base_value);
        at(460);
        if (has_key(current_parameters.get(), name.get())) continue;
        at(461);
        if (!has_key(incoming_parameters.get(), name.get())) continue;                    // (8)
        Ref theirs = dict_item(incoming_parameters.get(), name.get());
        at(463);
        if (differ(theirs.get(), base_map.get())) {
            at(465); store_marked(merged_parameters, names::mark_theirs, name.get(), theirs.get());  // (9)
        }
    }

    pos = 0;
    PyObject* their_value;
    at(468);
    while (PyDict_Next(incoming_parameters.get(), &pos, &name_key, &their_value)) {
        Ref name = Ref::borrow(name_key), theirs = Ref::borrow(their_value);
        at(468);
        if (has_key(base_parameters.get(), name.get())) continue;
        at(470);
        if (has_key(current_parameters.get(), name.get())) {
            Ref ours = dict_item(current_parameters.get(), name.get());
            at(475);
            if (equal(ours.get(), theirs.get())) continue;                                // (10)
            at(476);
            if (differ(ours.get(), theirs.get())) {
                at(477); store_marked(merged_parameters, names::mark_ours, name.get(),
                                      dict_item(merged_parameters, name.get()).get());
                at(478); store_marked(merged_parameters, names::mark_theirs, name.get(), theirs.get());
                at(480); check(PyDict_DelItem(merged_parameters, name.get()));             // (11)
            }
            continue;
        }
        at(483); setitem(merged_parameters, name.get(), theirs.get());                    // (12)
    }
    return merged;
}

// Removes the temporary file after a failure, keeping that failure as the one reported.
void remove_temporary(PyObject* temp_path) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject* unlink = nullptr;
    PyObject* os = PyDict_GetItemWithError(binding::module_dict(), names::os);
    if (os) unlink = PyObject_GetAttr(os, names::unlink_);
    PyObject* result = unlink ? PyObject_CallFunctionObjArgs(unlink, temp_path, nullptr) : nullptr;
    Py_XDECREF(result);
    Py_XDECREF(unlink);
    PyErr_Clear();  // a file already gone or not removable: the first failure is what counts
    PyErr_Restore(t, v, tb);
}

// The notebook goes to a temporary file beside the file that current_file_path names, which then
// replaces that file in one step: a failure on the way leaves it as it was and removes the temporary
// one. A symbolic link is resolved first, so that the link stays and its target gets the notebook.
void write_notebook(At& at, PyObject* merged, PyObject* current_file_path) {
    at(488);
    Ref os = global(names::os);
    Ref os_path = getattr(os.get(), names::path);
    Ref target = call(getattr(os_path.get(), names::realpath).get(), {current_file_path});
    Ref directory = call(getattr(os_path.get(), names::dirname).get(), {target.get()});
    Ref mkstemp = getattr(global(names::tempfile).get(), names::mkstemp_);
    Ref made = call_kw(mkstemp.get(), {}, {{names::dir, directory.get()}, {names::prefix, names::temp_prefix},
                                          {names::suffix, names::temp_suffix}});
    Ref fd = Ref::steal(PySequence_GetItem(made.get(), 0));
    Ref temp_path = Ref::steal(PySequence_GetItem(made.get(), 1));
    try {
        call(getattr(global(names::os).get(), names::close).get(), {fd.get()});
        Ref file = call_kw(binding::cached_open(), {temp_path.get()},
                           {{names::mode, names::w}, {names::encoding, names::utf_8}});
        with_block(at, 488, file.get(), [&](PyObject* fp) {
            at(489);
            Ref dump = getattr(global(names::json).get(), names::dump);
            call(dump.get(), {merged, fp});
        });
        at(489);
        Ref os_now = global(names::os);
        Ref stat = call(getattr(os_now.get(), names::stat_).get(), {target.get()});
        Ref mode = getattr(stat.get(), names::st_mode);
        Ref mask = Ref::steal(PyLong_FromLong(07777));
        Ref bits = Ref::steal(PyNumber_And(mode.get(), mask.get()));
        Ref chmod = getattr(os_now.get(), names::chmod_);
        // Where a read-only file can be neither replaced nor removed (Windows), the temporary file
        // stays writable, the target's mark is lifted for the replace (and put back when that
        // fails), and the new file gets the mark after it.
        Ref writable = Ref::steal(PyLong_FromLong(0200));
        Ref lifted;
        if (platform::replace_refuses_read_only && !truthy(Ref::steal(PyNumber_And(bits.get(), writable.get())).get())) {
            lifted = Ref::steal(PyNumber_Or(bits.get(), writable.get()));
            call(chmod.get(), {target.get(), lifted.get()});
        } else {
            call(chmod.get(), {temp_path.get(), bits.get()});
        }
        try {
            call(getattr(os_now.get(), names::replace).get(), {temp_path.get(), target.get()});
        } catch (const HostError&) {
            if (lifted) {
                PyObject *t, *v, *tb;
                PyErr_Fetch(&t, &v, &tb);
                PyObject* done = PyObject_CallFunctionObjArgs(chmod.get(), target.get(), bits.get(), nullptr);
                Py_XDECREF(done);
                PyErr_Clear();  // the replace's failure is the one to report
                PyErr_Restore(t, v, tb);
            }
            throw;
        }
        if (lifted) call(chmod.get(), {target.get(), bits.get()});
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        remove_temporary(temp_path.get());
        throw HostError{};
    } catch (const HostError&) {
        remove_temporary(temp_path.get());
        throw;
    }
}

}  // namespace

Ref merge_files_body(At& at, PyObject* const* args) {
    PyObject *base_file_path = args[0], *current_file_path = args[1];
    PyObject *incoming_file_path = args[2], *file_path = args[3];
    binding::GcPause gc_pause;
    MergeState s{at, file_path};

    s.current = read_notebook(at, 216, current_file_path, "current");
    s.base = read_notebook(at, 218, base_file_path, "base");
    s.incoming = read_notebook(at, 220, incoming_file_path, "incoming");

    at(223); s.current_cells = cell_table(s.current.get(), names::current, "current");
    at(224); CellTable merged_cells(cell_table(s.current.get(), names::current, "current").get());
    s.merged_cells = &merged_cells;
    at(225); s.base_cells = cell_table(s.base.get(), names::base, "base");
    at(226); s.incoming_cells = cell_table(s.incoming.get(), names::incoming, "incoming");

    merge_cells_we_deleted(s);
    at(240); refresh_comp_names(s);
    merge_cells_they_added(s);
    // The handle runs git merge-file itself rather than through git.cmd.Git, whose command
    // wrapper costs more than the process it starts.
    at(255); s.g = make_git_command();
    merge_cells_both_hold(s);
    filter_parents(s);
    Ref merged_parameters = merge_parameters(s);

    at(485); Ref merged = call_method(s.current.get(), names::copy);
    at(486);
    Ref cells = Ref::steal(PyList_New(0));
    merged_cells.each([&](PyObject*, PyObject* cell) {
        check(PyList_Append(cells.get(), getattr(cell, names::data).get()));
    });
    setitem(merged.get(), names::cells, cells.get());
    at(487);
    Ref values = Ref::steal(PyDict_Values(merged_parameters.get()));
    Ref canvas = getitem(getitem(merged.get(), names::metadata).get(), names::canvas);
    setitem(canvas.get(), names::parameters, values.get());
    write_notebook(at, merged.get(), current_file_path);
    return binding::none();
}

}  // namespace merge_driver
