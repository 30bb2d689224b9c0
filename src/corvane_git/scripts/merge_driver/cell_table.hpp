// merged_cells: the cell table a merge builds, with the index of its component names.
#pragma once
#include <Python.h>
#include <cstdint>
#include <set>
#include <vector>
#include "notebook.hpp"

namespace merge_driver {

// d[key] raised as the host's dict raises it: KeyError(key).
[[noreturn]] void raise_key_error(PyObject* key);

// A cell table (component id -> Cell, in order) whose entries are replaced, appended, removed and
// inserted after others, kept as a linked list with a key index so that an insertion does not
// rebuild it; order and values are those of a host dict rebuilt from the pairs at each insertion.
//
// It owns comp_names, the map from component name to the id of the last entry in table order
// whose Cell holds that name (a true one). comp_names is a snapshot: refresh_names brings it up
// to date with the entries as they are, and nothing else changes it. Every change of an entry or
// of its name goes through the table (store, remove, insert_after, mark, rename), which records
// the key, so a refresh reads again the names of those keys only, and each step of it costs O(1)
// amortised plus O(log k) in an ordered set of the k entries that share one name.
class CellTable {
public:
    explicit CellTable(PyObject* table);
    CellTable(const CellTable&) = delete;
    CellTable& operator=(const CellTable&) = delete;

    // merged_cells[key]: KeyError when the table has no such key.
    Ref get(PyObject* key) const;

    // merged_cells[key] = cell: replaced where it stands, or appended when new.
    void store(PyObject* key, PyObject* cell);

    // del merged_cells[key]
    void remove(PyObject* key);

    // (new_key, cell) placed right after the pair of `key`. new_key is a fresh id: one that the
    // table holds already (a broken uuid4) raises ValueError.
    void insert_after(PyObject* key, PyObject* new_key, PyObject* cell);

    // merged_cells[key].add_conflict_mark()
    void mark(PyObject* key);

    // merged_cells[key].name = name
    void rename(PyObject* key, PyObject* name);

    // comp_names as of the last refresh (borrowed; null before the first).
    PyObject* comp_names() const { return comp_names_.get(); }

    // Brings comp_names up to date: the first time from every entry in order, later from the
    // entries changed since. Reads each of their names through the Cell (host code).
    void refresh_names();

    // f(key, cell) for each entry in table order; f must not change the table.
    template <class F>
    void each(F&& f) const {
        for (Py_ssize_t n = head_; n >= 0; n = nodes_[n].next)
            f(nodes_[n].key.get(), nodes_[n].cell.get());
    }

private:
    struct Node {
        Ref key, cell;
        Py_ssize_t prev = -1, next = -1;
        std::uint64_t label = 0;  // grows along the list; compared, never shown
        Ref counted;              // the name comp_names counts this entry under, if any
        Py_ssize_t group = -1;    // its holders set in groups_
        bool in_group = false;
    };
    struct LaterFirst {
        const std::vector<Node>* nodes;
        bool operator()(Py_ssize_t a, Py_ssize_t b) const {
            return (*nodes)[a].label > (*nodes)[b].label;
        }
    };
    using Holders = std::set<Py_ssize_t, LaterFirst>;  // the entries holding one name, last first

    Py_ssize_t find(PyObject* key) const;
    Py_ssize_t node_of(PyObject* key) const;
    Py_ssize_t add_node(PyObject* key, PyObject* cell);
    void link_after(Py_ssize_t before, Py_ssize_t node);
    void unlink(Py_ssize_t node);
    void relabel();
    void changed(PyObject* key);
    void leave_group(Py_ssize_t node);
    void forget_name(PyObject* key);
    void count_name(PyObject* key);
    void point_at_last(PyObject* name, Py_ssize_t group);

    std::vector<Node> nodes_;  // removed nodes stay, unlinked and empty
    Py_ssize_t head_ = -1, tail_ = -1;
    Ref index_;  // key -> position in nodes_

    Ref comp_names_;  // name -> key of the last entry holding it, as of the last refresh
    Ref counted_;     // key -> position in nodes_ of the entry counted under a name
    Ref groups_of_;   // name -> position in groups_
    std::vector<Holders> groups_;
    std::vector<Py_ssize_t> free_groups_;
    std::vector<Ref> dirty_;  // keys whose entry or name changed since the last refresh
};

}  // namespace merge_driver
