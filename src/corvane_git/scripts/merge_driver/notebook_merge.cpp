// merge_files: read three notebooks, pair their cells by component id, decide, write the result.
#include <memory>
#include <new>
#include <vector>
#include "cell_table.hpp"
#include "speed/merges_ahead.hpp"
#include "binding/saved_error.hpp"
#include "lines.hpp"
#include "notebook.hpp"
#include "platform/platform.hpp"
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

namespace line = lines::merge_files;

namespace {

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
    binding::raise(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment",
                   name);
}

// The working state of one call; everything dies with it.
struct MergeState {
    At& at;
    PyObject* file_path;
    Ref current, base, incoming;                    // the parsed notebooks
    Ref current_cells, base_cells, incoming_cells;  // component id -> Cell
    CellTable* merged_cells = nullptr;              // and comp_names, which it keeps
    Ref g;                                          // git.cmd.Git(), made once per call
    PyObject* labels = nullptr;      // merge_notebooks: the conflict blocks' labels, or null
    PyObject* conflicted = nullptr;  // merge_notebooks: gets the sources git found conflicts in
};

Ref read_notebook(At& at, lines::merge_files::Read line, PyObject* path, const char* variable) {
    at(line.open);
    Ref file = call_kw(binding::state().open, {path, names::r}, {{names::encoding, names::utf_8}});
    Ref notebook;
    with_block(at, line.open, file.get(), [&](PyObject* fp) {
        at(line.parse);
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
        Ref key = getitem(getitem(getitem(cell.get(), names::metadata).get(), names::canvas).get(),
                          names::id);
        if (has_key(table.get(), key.get())) {
            Ref text = Ref::steal(PyObject_Str(key.get()));
            binding::raise(PyExc_ValueError, "duplicate component id '%U' in %s notebook",
                           text.get(), side_text);
        }
        Ref wrapped = make_cell(cell.get(), side);
        check(PyDict_SetItem(table.get(), key.get(), wrapped.get()));
    }
    if (PyErr_Occurred()) throw HostError{};
    return table;
}

// Cell(their_cell.data.copy(), file_type="incoming"): a new top-level map sharing the nested
// values with their notebook, so marks and the new link_id land in their canvas map as well.
Ref incoming_copy(PyObject* their_cell) {
    Ref data = getattr(their_cell, names::data);
    Ref copy = call_method(data.get(), names::copy);
    return make_cell(copy.get(), names::incoming);
}

// str(uuid.uuid4())
Ref fresh_id() {
    Ref uuid4 = getattr(global(names::uuid).get(), names::uuid4);
    Ref value = call(uuid4.get());
    return Ref::steal(PyObject_Str(value.get()));
}

// An incoming copy of their version with a fresh link_id, then a fresh cell_id. A cell without
// a top-level "id" (nbformat before 4.5, where the key is not allowed) gets none.
Ref incoming_copy_with_fresh_ids(At& at, lines::merge_files::FreshCopy line, PyObject* their_cell) {
    at(line.copy);
    Ref new_cell = incoming_copy(their_cell);
    at(line.link_id);
    setattr(new_cell.get(), names::link_id, fresh_id().get());
    at(line.cell_id);
    if (contains(getattr(new_cell.get(), names::data).get(), names::id))
        setattr(new_cell.get(), names::cell_id, fresh_id().get());
    return new_cell;
}

// add_conflict_mark on a cell not in merged_cells yet; inserting it records the change.
void mark_new(PyObject* cell) { call_method(cell, names::add_conflict_mark); }

Ref cell_changed(PyObject* cell0, PyObject* cell1) {
    Ref function = global(names::_cell_changed);
    return call(function.get(), {cell0, cell1});
}

// The diff with its "outputs" entry dropped.
Ref cell_changed_without_outputs(At& at, lines::merge_files::WithoutOutputs line, PyObject* cell0,
                                 PyObject* cell1) {
    Ref diff = cell_changed(cell0, cell1);
    at(line.test);
    if (contains(diff.get(), names::outputs)) {
        at(line.drop);
        call_method(diff.get(), names::pop, {names::outputs});
    }
    return diff;
}

Ref with_suffix(PyObject* path, PyObject* suffix) {
    Ref text = Ref::steal(PyObject_Str(path));
    return Ref::steal(PyUnicode_Concat(text.get(), suffix));
}

// merged_cells[id].source = _merge_source(g, ours.source, base.source, theirs.source,
// current_name=f"{file_path}-current", incoming_name=f"{file_path}-incoming"); the merged entry
// is still our version's wrapper, so the lines land in our cell dict.
void merge_decided_source(MergeState& s, lines::merge_files::SourceMerge line, PyObject* cell_id) {
    At& at = s.at;
    at(line.call);
    Ref merge_source = global(names::_merge_source);
    at(line.ours);
    Ref ours = getattr(dict_item(s.current_cells.get(), cell_id).get(), names::source);
    at(line.base);
    Ref base = getattr(dict_item(s.base_cells.get(), cell_id).get(), names::source);
    at(line.theirs);
    Ref theirs = getattr(dict_item(s.incoming_cells.get(), cell_id).get(), names::source);
    at(line.labels);
    Ref current_name = with_suffix(s.file_path, names::suffix_current);
    Ref incoming_name = with_suffix(s.file_path, names::suffix_incoming);
    at(line.call);
    Ref merged = call_kw(
        merge_source.get(), {s.g.get(), ours.get(), base.get(), theirs.get()},
        {{names::current_name, current_name.get()}, {names::incoming_name, incoming_name.get()}});
    setattr(s.merged_cells->get(cell_id).get(), names::source, merged.get());
}

// new_cell goes right after the entry of cell_id, under its own (fresh) link_id.
void insert_after(MergeState& s, int line, PyObject* cell_id, PyObject* new_cell) {
    s.at(line);
    Ref new_key = getattr(new_cell, names::link_id);
    s.merged_cells->insert_after(cell_id, new_key.get(), new_cell);
}

// Ids that base holds and our side does not, in base order (b = base, t = theirs):
//   (1) t deleted too          no entry       deleted on both sides
//   (2) t == b                 no entry       our deletion stands; outputs count as a change
//   (3) t != b                 theirs         incoming copy appended, marked ">>> "
void merge_cells_we_deleted(MergeState& s) {
    At& at = s.at;
    Py_ssize_t pos = 0;
    PyObject *cell_id, *base_cell;
    at(line::deleted_each);
    while (PyDict_Next(s.base_cells.get(), &pos, &cell_id, &base_cell)) {
        Ref id = Ref::borrow(cell_id), base_version = Ref::borrow(base_cell);
        at(line::deleted_each);
        if (has_key(s.current_cells.get(), id.get())) continue;
        at(line::deleted_theirs_held);
        if (!has_key(s.incoming_cells.get(), id.get())) continue;  // (1)
        at(line::deleted_their_diff);
        Ref diff =
            cell_changed(base_version.get(), dict_item(s.incoming_cells.get(), id.get()).get());
        if (!truthy(diff.get())) continue;  // (2)
        at(line::deleted_take_theirs);
        s.merged_cells->store(
            id.get(), incoming_copy(dict_item(s.incoming_cells.get(), id.get()).get()).get());
        at(line::deleted_mark_theirs);
        s.merged_cells->mark(id.get());  // (3)
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
    at(line::added_each);
    while (PyDict_Next(s.incoming_cells.get(), &pos, &cell_id, &their_cell)) {
        Ref id = Ref::borrow(cell_id), theirs = Ref::borrow(their_cell);
        at(line::added_each);
        if (has_key(s.base_cells.get(), id.get())) continue;
        at(line::added_ours_held);
        if (has_key(s.current_cells.get(), id.get())) {
            Ref ours = dict_item(s.current_cells.get(), id.get());
            Ref diff =
                cell_changed_without_outputs(at, line::added_outputs, ours.get(), theirs.get());
            at(line::added_ours_held);
            if (!truthy(diff.get())) continue;  // (1)
            Ref our_name = getattr(ours.get(), names::name);
            Ref their_name = getattr(theirs.get(), names::name);
            Ref new_cell = incoming_copy_with_fresh_ids(at, line::added_fresh_copy, theirs.get());
            at(line::added_ours_held);
            if (truthy(our_name.get()) && truthy(their_name.get())) {
                s.merged_cells->mark(id.get());
                mark_new(new_cell.get());
            }
            insert_after(s, line::added_ours_held, id.get(), new_cell.get());  // (2)
            continue;
        }
        at(line::added_their_name);
        Ref incoming_comp_name = getattr(theirs.get(), names::name);
        at(line::added_name_held);
        if (has_key(s.merged_cells->comp_names(), incoming_comp_name.get())) {
            at(line::added_take_theirs);
            s.merged_cells->store(id.get(), incoming_copy(theirs.get()).get());
            at(line::added_mark_holder);
            Ref holder = dict_item(s.merged_cells->comp_names(), incoming_comp_name.get());
            s.merged_cells->mark(holder.get());
            at(line::added_mark_theirs);
            s.merged_cells->mark(id.get());  // (3)
        } else {
            at(line::added_append_theirs);
            s.merged_cells->store(id.get(), incoming_copy(theirs.get()).get());  // (4)
        }
    }
}

// `value in comments` for a list of comments in constant time per lookup. Each comment made of
// exact JSON values (maps with string keys, arrays, strings, numbers, booleans, null) gets a
// hashable key that equals another's exactly when the comments are equal: a map becomes a
// frozenset of (key, value's key) pairs, an array a tuple of its items' keys, and no JSON value
// is a tuple or a frozenset itself. A comment with anything else in it, or a list other than an
// exact list, is looked up the host's way.
class CommentIndex {
public:
    // Indexes `comments` when it is an exact list whose items all have keys; else stays empty.
    explicit CommentIndex(PyObject* comments) : list_(comments) {
        if (!PyList_CheckExact(comments)) return;
        Ref keys = Ref::steal(PySet_New(nullptr));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(comments); ++i) {
            Ref key = key_of(PyList_GET_ITEM(comments, i));
            if (!key) return;
            check(PySet_Add(keys.get(), key.get()));
        }
        keys_ = std::move(keys);
        size_ = PyList_GET_SIZE(comments);
    }

    // Whether this index answers for `comments` as it is now (the same list, not changed since).
    bool covers(PyObject* comments) const {
        return keys_ && comments == list_ && PyList_GET_SIZE(comments) == size_;
    }

    // `comment in comments`, from the index when it covers them, else by the host.
    bool contains(PyObject* comments, PyObject* comment) const {
        if (covers(comments)) {
            Ref key = key_of(comment);
            if (key) return check(PySet_Contains(keys_.get(), key.get())) != 0;
        }
        return binding::contains(comments, comment);
    }

    // After `comment` was appended to the indexed list: the index follows it, or gives up.
    void appended(PyObject* comments, PyObject* comment) {
        if (!keys_ || comments != list_ || PyList_GET_SIZE(comments) != size_ + 1 ||
            PyList_GET_ITEM(comments, size_) != comment) {
            keys_ = Ref();
            return;
        }
        Ref key = key_of(comment);
        if (!key) {
            keys_ = Ref();
            return;
        }
        check(PySet_Add(keys_.get(), key.get()));
        ++size_;
    }

private:
    // The key of a value, or null (no error set) for a value that is not exact JSON.
    static Ref key_of(PyObject* value) {
        if (value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value) ||
            PyFloat_CheckExact(value) || PyBool_Check(value))
            return Ref::borrow(value);
        if (Py_EnterRecursiveCall(" while indexing comments")) throw HostError{};
        struct Leave {
            ~Leave() { Py_LeaveRecursiveCall(); }
        } leave;
        if (PyList_CheckExact(value)) {
            Ref items = Ref::steal(PyTuple_New(PyList_GET_SIZE(value)));
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
                Ref item = key_of(PyList_GET_ITEM(value, i));
                if (!item) return Ref();
                PyTuple_SET_ITEM(items.get(), i, item.release());
            }
            return items;
        }
        if (PyDict_CheckExact(value)) {
            Ref items = Ref::steal(PyList_New(0));
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(value, &pos, &k, &v)) {
                if (!PyUnicode_CheckExact(k)) return Ref();
                Ref item = key_of(v);
                if (!item) return Ref();
                Ref pair = Ref::steal(PyTuple_Pack(2, k, item.get()));
                check(PyList_Append(items.get(), pair.get()));
            }
            return Ref::steal(PyFrozenSet_New(items.get()));
        }
        return Ref();
    }

    PyObject* list_;  // borrowed: the list indexed, compared by identity only
    Ref keys_;
    Py_ssize_t size_ = 0;
};

// Their version's comments that neither base nor the merged entry holds, appended in their order.
void take_their_comments(MergeState& s, PyObject* cell_id) {
    At& at = s.at;
    at(line::comment_each);
    Ref theirs = getattr(dict_item(s.incoming_cells.get(), cell_id).get(), names::comments);
    Ref base_canvas = getattr(dict_item(s.base_cells.get(), cell_id).get(), names::meta_data);
    Ref base_comments;  // none when base's canvas map has no (or a null) "comments"
    if (contains(base_canvas.get(), names::comments)) {
        base_comments = getitem(base_canvas.get(), names::comments);
        if (base_comments.get() == Py_None) base_comments = Ref();
    }
    const CommentIndex in_base(base_comments ? base_comments.get() : Py_None);
    Ref merged_comments;  // the list the index below was made for, kept alive with it
    std::unique_ptr<CommentIndex> in_merged;
    Ref it = Ref::steal(PyObject_GetIter(theirs.get()));
    while (Ref comment = Ref::steal_or_null(PyIter_Next(it.get()))) {
        at(line::comment_in_base);
        if (base_comments && in_base.contains(base_comments.get(), comment.get())) continue;
        at(line::comment_in_merged);
        Ref merged = s.merged_cells->get(cell_id);
        Ref comments = getattr(merged.get(), names::comments);
        if (!in_merged || !in_merged->covers(comments.get())) {
            merged_comments = comments;
            in_merged = std::make_unique<CommentIndex>(comments.get());
        }
        if (in_merged->contains(comments.get(), comment.get())) continue;
        at(line::comment_add);
        call_method(merged.get(), names::add_comment, {comment.get()});
        in_merged->appended(comments.get(), comment.get());
        at(line::comment_each);
    }
    if (PyErr_Occurred()) throw HostError{};
}

// Our side left the cell as base has it (cases (1) to (4) of merge_cells_both_hold).
void merge_cell_we_kept(MergeState& s, PyObject* cell_id) {
    At& at = s.at;
    at(line::kept_theirs_held);
    if (!has_key(s.incoming_cells.get(), cell_id)) {
        at(line::kept_names_before_removal);
        s.merged_cells->refresh_names();
        at(line::kept_removed_name);
        Ref pop_comp_name = getattr(s.merged_cells->get(cell_id).get(), names::name);
        at(line::kept_name_is_text);
        if (PyUnicode_Check(pop_comp_name.get())) {
            Ref comp_name = Ref::steal(PyNumber_Add(names::mark_theirs, pop_comp_name.get()));
            at(line::kept_conflict_named);
            if (has_key(s.merged_cells->comp_names(), comp_name.get())) {
                at(line::kept_conflict_id);
                Ref comp_id = dict_item(s.merged_cells->comp_names(), comp_name.get());
                at(line::kept_rename_conflict);
                s.merged_cells->rename(comp_id.get(), pop_comp_name.get());
            }
        }
        at(line::kept_remove);
        s.merged_cells->remove(cell_id);  // (1)
        return;
    }
    at(line::kept_names_before_theirs);
    s.merged_cells->refresh_names();
    at(line::kept_their_diff);
    Ref base_version = dict_item(s.base_cells.get(), cell_id);
    Ref theirs = dict_item(s.incoming_cells.get(), cell_id);
    Ref incoming_cell_diff = cell_changed_without_outputs(at, line::kept_their_outputs,
                                                          base_version.get(), theirs.get());
    at(line::kept_they_changed);
    if (!truthy(incoming_cell_diff.get())) return;  // (2)
    at(line::kept_their_name);
    Ref incoming_comp_name = getattr(theirs.get(), names::name);
    at(line::kept_name_held);
    if (has_key(s.merged_cells->comp_names(), incoming_comp_name.get()) &&
        differ(dict_item(s.merged_cells->comp_names(), incoming_comp_name.get()).get(), cell_id)) {
        at(line::kept_take_theirs);
        s.merged_cells->store(cell_id, incoming_copy(theirs.get()).get());
        at(line::kept_mark_holder);
        Ref holder = dict_item(s.merged_cells->comp_names(), incoming_comp_name.get());
        s.merged_cells->mark(holder.get());
        at(line::kept_mark_theirs);
        s.merged_cells->mark(cell_id);  // (3)
        return;
    }
    at(line::kept_replace_with_theirs);
    s.merged_cells->store(cell_id, incoming_copy(theirs.get()).get());  // (4)
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
    at(line::changed_theirs_held);
    if (!has_key(s.incoming_cells.get(), cell_id)) {
        at(line::changed_ours_named);
        Ref merged = s.merged_cells->get(cell_id);
        if (truthy(getattr(merged.get(), names::name).get())) {
            at(line::changed_mark_ours);
            s.merged_cells->mark(cell_id);
        }
        return;  // (5)
    }
    at(line::changed_their_diff);
    Ref base_version = dict_item(s.base_cells.get(), cell_id);
    Ref theirs = dict_item(s.incoming_cells.get(), cell_id);
    Ref incoming_cell_diff = cell_changed_without_outputs(at, line::changed_their_outputs,
                                                          base_version.get(), theirs.get());
    at(line::changed_they_changed);
    if (!truthy(incoming_cell_diff.get())) return;  // (6)
    at(line::changed_our_name);
    Ref current_comp_name = getattr(dict_item(s.current_cells.get(), cell_id).get(), names::name);
    at(line::changed_their_name);
    Ref incoming_comp_name = getattr(theirs.get(), names::name);
    bool ours_named, theirs_named;

    at(line::changed_canvas);
    bool canvas_changed =
        contains(incoming_cell_diff.get(), names::metadata) &&
        contains(getitem(incoming_cell_diff.get(), names::metadata).get(), names::canvas);
    if (canvas_changed) {
        at(line::changed_only_header);
        Ref canvas =
            getitem(getitem(incoming_cell_diff.get(), names::metadata).get(), names::canvas);
        Ref keys = call_method(canvas.get(), names::keys);
        Ref changed_keys = Ref::steal(PySet_New(keys.get()));
        if (canvas_keys_are(changed_keys.get(), {names::headerColor}, true)) {
            at(line::changed_header_source);
            if (contains(incoming_cell_diff.get(), names::source))
                merge_decided_source(s, line::header_source_merge, cell_id);  // (7)
            return;
        }
        at(line::changed_comments_header);
        if (canvas_keys_are(changed_keys.get(), {names::comments, names::headerColor}, false)) {
            take_their_comments(s, cell_id);
            at(line::changed_comments_source);
            if (contains(incoming_cell_diff.get(), names::source))
                merge_decided_source(s, line::comments_source_merge, cell_id);  // (8)
            return;
        }
        at(line::changed_neither_named);
        if (!truthy(current_comp_name.get()) && !truthy(incoming_comp_name.get())) {
            merge_decided_source(s, line::unnamed_source_merge, cell_id);  // (9)
            return;
        }
        Ref new_cell = incoming_copy_with_fresh_ids(at, line::canvas_fresh_copy, theirs.get());
        at(line::canvas_both_named);
        if (truthy(current_comp_name.get()) && truthy(incoming_comp_name.get())) {
            at(line::canvas_mark_ours);
            s.merged_cells->mark(cell_id);
            at(line::canvas_mark_theirs);
            mark_new(new_cell.get());
        }
        insert_after(s, line::canvas_insert_theirs, cell_id, new_cell.get());  // (10)
        return;
    }
    at(line::changed_ours_named_flag);
    ours_named = truthy(current_comp_name.get());
    at(line::changed_theirs_named_flag);
    theirs_named = truthy(incoming_comp_name.get());
    if (ours_named != theirs_named) {
        Ref new_cell = incoming_copy_with_fresh_ids(at, line::named_once_fresh_copy, theirs.get());
        insert_after(s, line::named_once_insert_theirs, cell_id, new_cell.get());  // (11)
        return;
    }
    merge_decided_source(s, line::both_source_merge, cell_id);  // (12)
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
    at(line::both_each);
    while (PyDict_Next(s.current_cells.get(), &pos, &cell_id, &our_cell)) {
        Ref id = Ref::borrow(cell_id), ours = Ref::borrow(our_cell);
        at(line::both_each);
        if (!has_key(s.base_cells.get(), id.get())) continue;
        at(line::both_base_version);
        Ref base_version = dict_item(s.base_cells.get(), id.get());
        Ref current_cell_diff = cell_changed_without_outputs(at, line::both_our_outputs,
                                                             base_version.get(), ours.get());
        at(line::both_we_changed);
        if (truthy(current_cell_diff.get()))
            merge_cell_we_changed(s, id.get());
        else
            merge_cell_we_kept(s, id.get());
    }
}

// Components keep only parents that are components after the merge, each as {"id": ...}.
void filter_parents(MergeState& s) {
    At& at = s.at;
    at(line::comp_ids);
    std::vector<Ref> components;
    Ref comp_ids = Ref::steal(PySet_New(nullptr));
    s.merged_cells->each([&](PyObject* key, PyObject* cell) {
        Ref name = getattr(cell, names::name);
        if (!truthy(name.get())) return;
        components.push_back(Ref::borrow(cell));
        check(PySet_Add(comp_ids.get(), key));
    });
    for (const Ref& component : components) {
        at(line::new_parents);
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
        at(line::set_parents);
        setattr(component.get(), names::parents, new_parents.get());
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
// The three parameter tables and the merged one, which starts as a copy of ours.
struct ParameterTables {
    Ref current, base, incoming, merged;
};

// Names that base and ours both hold, in base order: (1) to (7).
void merge_parameters_both_hold(At& at, ParameterTables& t) {
    PyObject* merged_parameters = t.merged.get();
    Py_ssize_t pos = 0;
    PyObject *name_key, *base_value;
    at(line::both_names);
    while (PyDict_Next(t.base.get(), &pos, &name_key, &base_value)) {
        Ref name = Ref::borrow(name_key), base_map = Ref::borrow(base_value);
        at(line::both_names);
        if (!has_key(t.current.get(), name.get())) continue;
        Ref ours = dict_item(t.current.get(), name.get());
        at(line::ours_changed);
        if (differ(base_map.get(), ours.get())) {
            at(line::their_deleted);
            if (!has_key(t.incoming.get(), name.get())) {
                at(line::mark_ours_deleted);
                store_marked(merged_parameters, names::mark_ours, name.get(),
                             dict_item(merged_parameters, name.get()).get());
                at(line::drop_ours_deleted);
                check(PyDict_DelItem(merged_parameters, name.get()));  // (1)
                continue;
            }
            Ref theirs = dict_item(t.incoming.get(), name.get());
            at(line::theirs_as_base);
            if (equal(base_map.get(), theirs.get())) continue;  // (2)
            at(line::theirs_as_ours);
            if (equal(ours.get(), theirs.get())) continue;  // (3)
            at(line::conflict_mark_ours);
            store_marked(merged_parameters, names::mark_ours, name.get(),
                         dict_item(merged_parameters, name.get()).get());
            at(line::conflict_mark_theirs);
            store_marked(merged_parameters, names::mark_theirs, name.get(), theirs.get());
            at(line::conflict_drop);
            check(PyDict_DelItem(merged_parameters, name.get()));  // (4)
            continue;
        }
        at(line::kept_their_deleted);
        if (!has_key(t.incoming.get(), name.get())) {
            at(line::kept_drop);
            check(PyDict_DelItem(merged_parameters, name.get()));  // (5)
            continue;
        }
        Ref theirs = dict_item(t.incoming.get(), name.get());
        at(line::kept_theirs_as_base);
        if (equal(base_map.get(), theirs.get())) continue;  // (6)
        at(line::kept_take_their_parameter);
        setitem(merged_parameters, name.get(), theirs.get());  // (7)
    }
}

// Names that base holds and ours does not, in base order: (8) and (9).
void merge_parameters_we_deleted(At& at, ParameterTables& t) {
    Py_ssize_t pos = 0;
    PyObject *name_key, *base_value;
    at(line::we_deleted_names);
    while (PyDict_Next(t.base.get(), &pos, &name_key, &base_value)) {
        Ref name = Ref::borrow(name_key), base_map = Ref::borrow(base_value);
        at(line::we_deleted_names);
        if (has_key(t.current.get(), name.get())) continue;
        at(line::we_deleted_theirs_held);
        if (!has_key(t.incoming.get(), name.get())) continue;  // (8)
        Ref theirs = dict_item(t.incoming.get(), name.get());
        at(line::we_deleted_they_changed);
        if (differ(theirs.get(), base_map.get())) {
            at(line::we_deleted_mark_theirs);
            store_marked(t.merged.get(), names::mark_theirs, name.get(), theirs.get());  // (9)
        }
    }
}

// Names that theirs holds and base does not, in their order: (10) to (12).
void merge_parameters_they_added(At& at, ParameterTables& t) {
    PyObject* merged_parameters = t.merged.get();
    Py_ssize_t pos = 0;
    PyObject *name_key, *their_value;
    at(line::they_added_names);
    while (PyDict_Next(t.incoming.get(), &pos, &name_key, &their_value)) {
        Ref name = Ref::borrow(name_key), theirs = Ref::borrow(their_value);
        at(line::they_added_names);
        if (has_key(t.base.get(), name.get())) continue;
        at(line::they_added_ours_held);
        if (has_key(t.current.get(), name.get())) {
            Ref ours = dict_item(t.current.get(), name.get());
            at(line::added_equal);
            if (equal(ours.get(), theirs.get())) continue;  // (10)
            at(line::added_differ);
            if (differ(ours.get(), theirs.get())) {
                at(line::added_mark_ours);
                store_marked(merged_parameters, names::mark_ours, name.get(),
                             dict_item(merged_parameters, name.get()).get());
                at(line::added_mark_theirs_parameter);
                store_marked(merged_parameters, names::mark_theirs, name.get(), theirs.get());
                at(line::added_drop);
                check(PyDict_DelItem(merged_parameters, name.get()));  // (11)
            }
            continue;
        }
        at(line::added_take_theirs_parameter);
        setitem(merged_parameters, name.get(), theirs.get());  // (12)
    }
}

Ref merge_parameters(MergeState& s) {
    At& at = s.at;
    ParameterTables t;
    at(line::current_parameters);
    t.current = parameter_table(s.current.get());
    at(line::base_parameters);
    t.base = parameter_table(s.base.get());
    at(line::incoming_parameters);
    t.incoming = parameter_table(s.incoming.get());
    at(line::merged_parameters);
    t.merged = Ref::steal(PyDict_Copy(t.current.get()));
    merge_parameters_both_hold(at, t);
    merge_parameters_we_deleted(at, t);
    merge_parameters_they_added(at, t);
    return std::move(t.merged);
}

// The notebook goes to a temporary file beside the file that current_file_path names, which then
// replaces that file in one step: a failure on the way leaves it as it was and removes the temporary
// one. A symbolic link is resolved first, so that the link stays and its target gets the notebook.
void write_notebook(At& at, PyObject* merged, PyObject* current_file_path) {
    at(line::open_output);
    Ref os = global(names::os);
    Ref os_path = getattr(os.get(), names::path);
    Ref target = call(getattr(os_path.get(), names::realpath).get(), {current_file_path});
    Ref directory = call(getattr(os_path.get(), names::dirname).get(), {target.get()});
    Ref made = made_temporary(directory.get(), names::temp_prefix);
    Ref fd = Ref::steal(PySequence_GetItem(made.get(), 0));
    Ref temp_path = Ref::steal(PySequence_GetItem(made.get(), 1));
    try {
        call(getattr(global(names::os).get(), names::close).get(), {fd.get()});
        Ref file = call_kw(binding::state().open, {temp_path.get()},
                           {{names::mode, names::w}, {names::encoding, names::utf_8}});
        with_block(at, line::open_output, file.get(), [&](PyObject* fp) {
            at(line::write_output);
            Ref dump = getattr(global(names::json).get(), names::dump);
            call(dump.get(), {merged, fp});
        });
        at(line::write_output);
        Ref os_now = global(names::os);
        Ref stat = call(getattr(os_now.get(), names::stat_).get(), {target.get()});
        Ref mode = getattr(stat.get(), names::st_mode);
        Ref mask = Ref::steal(PyLong_FromLong(07777));
        Ref bits = Ref::steal(PyNumber_And(mode.get(), mask.get()));
        replace_with_temporary(temp_path.get(), target.get(), bits.get());
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

namespace {

// The merge of the three notebooks in `s`: pairs, decisions, parents, parameters. Returns the
// merged notebook: a copy of our top-level map holding the merged cells, whose canvas map (our
// notebook's own) gets the merged parameters.
Ref merge_parsed(MergeState& s) {
    At& at = s.at;
    at(line::current_cells);
    s.current_cells = cell_table(s.current.get(), names::current, "current");
    at(line::merged_cells);
    CellTable merged_cells(cell_table(s.current.get(), names::current, "current").get());
    s.merged_cells = &merged_cells;
    at(line::base_cells);
    s.base_cells = cell_table(s.base.get(), names::base, "base");
    at(line::incoming_cells);
    s.incoming_cells = cell_table(s.incoming.get(), names::incoming, "incoming");

    merge_cells_we_deleted(s);
    at(line::names_before_added);
    s.merged_cells->refresh_names();
    merge_cells_they_added(s);
    // The handle runs git merge-file itself rather than through git.cmd.Git, whose command
    // wrapper costs more than the process it starts.
    at(line::git_handle);
    s.g = make_git_command();
    set_source_merge_options(s.g.get(), s.labels, s.conflicted);
    merge_cells_both_hold(s);
    filter_parents(s);
    Ref merged_parameters = merge_parameters(s);

    at(line::copy_current);
    Ref merged = call_method(s.current.get(), names::copy);
    at(line::output_cells);
    Ref cells = Ref::steal(PyList_New(0));
    merged_cells.each([&](PyObject*, PyObject* cell) {
        check(PyList_Append(cells.get(), getattr(cell, names::data).get()));
    });
    setitem(merged.get(), names::cells, cells.get());
    at(line::output_parameters);
    Ref values = Ref::steal(PyDict_Values(merged_parameters.get()));
    Ref canvas = getitem(getitem(merged.get(), names::metadata).get(), names::canvas);
    setitem(canvas.get(), names::parameters, values.get());
    s.merged_cells = nullptr;
    return merged;
}

}  // namespace

Ref merge_files_body(At& at, PyObject* const* args) {
    PyObject *base_file_path = args[0], *current_file_path = args[1];
    PyObject *incoming_file_path = args[2], *file_path = args[3];
    binding::GcPause gc_pause;
    MergeState s{at, file_path};

    s.current = read_notebook(at, line::read_current, current_file_path, "current");
    s.base = read_notebook(at, line::read_base, base_file_path, "base");
    s.incoming = read_notebook(at, line::read_incoming, incoming_file_path, "incoming");
    Ref merged = merge_parsed(s);
    write_notebook(at, merged.get(), current_file_path);
    return binding::none();
}

// The same merge from notebooks already parsed, with the result kept in memory: for a caller that
// reads the files once and writes the merged notebook in a layout of its own. `labels` (args[4])
// label the source merges' conflict blocks, the base's too; `source_conflicts` (args[5]), a list,
// gets each merged source list in which git found conflicts.
Ref merge_notebooks_body(At& at, PyObject* const* args) {
    binding::GcPause gc_pause;
    MergeState s{at, args[3]};
    s.labels = checked_labels(args[4], "merge_notebooks");
    if (args[5] != Py_None && !PyList_CheckExact(args[5]))
        binding::raise(PyExc_TypeError,
                       "merge_notebooks(): source_conflicts must be None or a list");
    s.conflicted = args[5] == Py_None ? nullptr : args[5];
    s.base = Ref::borrow(args[0]);
    s.current = Ref::borrow(args[1]);
    s.incoming = Ref::borrow(args[2]);
    return merge_parsed(s);
}

}  // namespace merge_driver
