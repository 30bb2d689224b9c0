// Edits that lie apart: the merge git merge-file gives them, known without running it.
//
// git merge-file compares the base with each side line by line (a line ends with a line end, or
// is the text after the last one). It sets aside the lines the two share at the start and at the
// end, and diffs the stretches left between. When those two stretches share no line (or one of
// them is empty), every line of them is changed, whatever the diff. git then slides a stretch of
// changed lines along lines that repeat it, but only where the line before it equals its last
// line or the line after it equals its first; where neither holds, it stays. Two sides whose
// changed stretches of the base have an unchanged base line between them merge without conflict:
// each side's lines take the place of its stretch, and every other line is the base's. A side
// that changed nothing gives the other side's text, and two sides that made the same change give
// that change.
//
// Under exactly those conditions the merge is made here from the lines themselves; anything else
// is git's to make (see source_merge.cpp). The result is what reading git's output back gives,
// line by line.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>
#include "binding/compat.hpp"
#include "notebook.hpp"

namespace merge_driver {

namespace {

// git refuses a file larger than this; a side whose UTF-8 may be that large is left to it.
constexpr size_t largest_file = size_t(1023) << 20;

// One side's lines, borrowed from its list.
struct Lines {
    PyObject** items = nullptr;
    Py_ssize_t count = 0;
    PyObject* operator[](Py_ssize_t i) const { return items[i]; }
};

bool breaks_a_line(unsigned c) { return c == '\n' || c == '\r' || c == 0; }

// Whether the n > 0 characters `s` are one whole line: no line end, CR or NUL before the last
// character, no CR or NUL as the last, no surrogate, and a line end at the end unless `last`.
template <typename Char>
bool whole_line(const Char* s, Py_ssize_t n, bool last) {
    const unsigned end = s[n - 1];
    if (end == '\r' || end == 0 || (!last && end != '\n')) return false;
    Py_ssize_t i = 0;
    if constexpr (sizeof(Char) == 1) {
        // Eight characters at a time: a word with no byte below 14 holds none of the three.
        constexpr std::uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
        for (; i + 8 <= n - 1; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if (((word - 14 * ones) & ~word & highs) == 0) continue;
            for (int k = 0; k < 8; ++k)
                if (breaks_a_line(s[i + k])) return false;
        }
    }
    for (; i < n - 1; ++i)
        if (breaks_a_line(s[i])) return false;
    if constexpr (sizeof(Char) > 1)
        for (i = 0; i < n; ++i)
            if (s[i] >= 0xD800 && s[i] <= 0xDFFF) return false;
    return true;
}

// Whether `list` is a list of exact strings, none empty, whose characters can be read in place.
bool strings_in_place(PyObject* list) {
    if (!PyList_CheckExact(list)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* line = PyList_GET_ITEM(list, i);
        if (!PyUnicode_CheckExact(line) || !binding::compat::text_in_place(line) ||
            PyUnicode_GET_LENGTH(line) == 0)
            return false;
    }
    return true;
}

Lines lines_of(PyObject* list) {
    return {reinterpret_cast<PyListObject*>(list)->ob_item, PyList_GET_SIZE(list)};
}

// Whether the strings are the very lines git reads from the text a source merge writes (the
// items joined) and that reading its output back splits again: each one whole line. A CR would
// be read back as a line end, a NUL makes git refuse the file as binary, and a lone surrogate
// cannot be written.
bool git_lines(Lines lines) {
    size_t most = 0;  // the UTF-8 size at most
    for (Py_ssize_t i = 0; i < lines.count; ++i) {
        PyObject* line = lines[i];
        const Py_ssize_t length = PyUnicode_GET_LENGTH(line);
        const bool last = i + 1 == lines.count;
        bool whole;
        switch (PyUnicode_KIND(line)) {
        case PyUnicode_1BYTE_KIND:
            whole = whole_line(PyUnicode_1BYTE_DATA(line), length, last);
            most += size_t(length) * (PyUnicode_IS_ASCII(line) ? 1 : 2);
            break;
        case PyUnicode_2BYTE_KIND:
            whole = whole_line(PyUnicode_2BYTE_DATA(line), length, last);
            most += size_t(length) * 3;
            break;
        default:
            whole = whole_line(PyUnicode_4BYTE_DATA(line), length, last);
            most += size_t(length) * 4;
        }
        if (!whole || most > largest_file) return false;
    }
    return true;
}

// Equal texts; equal strings of the host have the same kind.
bool same(PyObject* a, PyObject* b) {
    if (a == b) return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), size_t(n) * PyUnicode_KIND(a)) == 0;
}

bool identical(Lines a, Lines b) {
    if (a.count != b.count) return false;
    for (Py_ssize_t i = 0; i < a.count; ++i)
        if (!same(a[i], b[i])) return false;
    return true;
}

// What one side changed of the base, as git finds it before its diff: the lines both share at the
// start (up to `start`) and at the end, and between them the base's stretch [start, base_end)
// that became the side's [start, side_end).
struct Edit {
    Py_ssize_t start = 0, base_end = 0, side_end = 0;
    bool none() const { return start == base_end && start == side_end; }
};

Edit edit_of(Lines base, Lines side) {
    Edit edit;
    const Py_ssize_t shorter = std::min(base.count, side.count);
    while (edit.start < shorter && same(base[edit.start], side[edit.start])) ++edit.start;
    Py_ssize_t shared_end = 0;
    while (shared_end < shorter - edit.start &&
           same(base[base.count - 1 - shared_end], side[side.count - 1 - shared_end]))
        ++shared_end;
    edit.base_end = base.count - shared_end;
    edit.side_end = side.count - shared_end;
    return edit;
}

// Whether a[a0, a1) and b[b0, b1) hold an equal line.
bool share_a_line(Lines a, Py_ssize_t a0, Py_ssize_t a1, Lines b, Py_ssize_t b0, Py_ssize_t b1) {
    if ((a1 - a0) * (b1 - b0) <= 64) {
        for (Py_ssize_t i = a0; i < a1; ++i)
            for (Py_ssize_t j = b0; j < b1; ++j)
                if (same(a[i], b[j])) return true;
        return false;
    }
    if (a1 - a0 > b1 - b0) {
        std::swap(a, b);
        std::swap(a0, b0);
        std::swap(a1, b1);
    }
    std::vector<std::pair<Py_hash_t, PyObject*>> hashed;  // the shorter stretch, by hash
    hashed.reserve(size_t(a1 - a0));
    for (Py_ssize_t i = a0; i < a1; ++i) {
        const Py_hash_t hash = PyObject_Hash(a[i]);  // a string's: cannot fail
        hashed.emplace_back(hash, a[i]);
    }
    auto by_hash = [](const std::pair<Py_hash_t, PyObject*>& x,
                      const std::pair<Py_hash_t, PyObject*>& y) { return x.first < y.first; };
    std::sort(hashed.begin(), hashed.end(), by_hash);
    for (Py_ssize_t j = b0; j < b1; ++j) {
        const Py_hash_t hash = PyObject_Hash(b[j]);
        auto at =
            std::lower_bound(hashed.begin(), hashed.end(), std::make_pair(hash, b[j]), by_hash);
        for (; at != hashed.end() && at->first == hash; ++at)
            if (same(at->second, b[j])) return true;
    }
    return false;
}

// Whether git leaves the changed lines [from, to) of `lines` where they are.
bool stays(Lines lines, Py_ssize_t from, Py_ssize_t to) {
    if (from == to) return true;
    if (from > 0 && same(lines[from - 1], lines[to - 1])) return false;
    if (to < lines.count && same(lines[from], lines[to])) return false;
    return true;
}

// Whether git's comparison of the base and a side changes exactly the edit's stretches.
bool certain(Lines base, Lines side, const Edit& edit) {
    const bool both = edit.base_end > edit.start && edit.side_end > edit.start;
    return !(both &&
             share_a_line(base, edit.start, edit.base_end, side, edit.start, edit.side_end)) &&
           stays(base, edit.start, edit.base_end) && stays(side, edit.start, edit.side_end);
}

// The merged lines as stretches of the sides' lists, in order.
struct Plan {
    struct Part {
        Lines lines;
        Py_ssize_t from, to;
    } parts[5];
    int count = 0;
    void add(Lines lines, Py_ssize_t from, Py_ssize_t to) {
        if (to > from) parts[count++] = {lines, from, to};
    }
};

bool plan_merge(PyObject* current, PyObject* base, PyObject* incoming, Plan& plan) noexcept {
    try {
        // What git would make is decided first from the lines as they compare; that they are
        // git's lines is checked last, when the answer is yes.
        if (!strings_in_place(current) || !strings_in_place(base) || !strings_in_place(incoming))
            return false;
        const Lines ours = lines_of(current), lines = lines_of(base), theirs = lines_of(incoming);
        auto all_git_lines = [&] {
            return git_lines(ours) && git_lines(lines) && git_lines(theirs);
        };
        const Edit our_edit = edit_of(lines, ours), their_edit = edit_of(lines, theirs);
        if (our_edit.none()) {
            plan.add(theirs, 0, theirs.count);
            return all_git_lines();
        }
        if (their_edit.none() || identical(ours, theirs)) {
            plan.add(ours, 0, ours.count);
            return all_git_lines();
        }
        if (!certain(lines, ours, our_edit) || !certain(lines, theirs, their_edit)) return false;
        const Edit *first = &our_edit, *second = &their_edit;
        Lines first_side = ours, second_side = theirs;
        if (first->base_end >= second->start) {
            if (second->base_end >= first->start) return false;  // they meet: git decides
            std::swap(first, second);
            std::swap(first_side, second_side);
        }
        plan.add(lines, 0, first->start);
        plan.add(first_side, first->start, first->side_end);
        plan.add(lines, first->base_end, second->start);
        plan.add(second_side, second->start, second->side_end);
        plan.add(lines, second->base_end, lines.count);
        return all_git_lines();
    } catch (const std::bad_alloc&) { return false; }
}

}  // namespace

bool merge_apart_is_certain(PyObject* current, PyObject* base, PyObject* incoming) {
    Plan plan;
    return plan_merge(current, base, incoming, plan);
}

Ref merged_apart(PyObject* current, PyObject* base, PyObject* incoming) {
    Plan plan;
    if (!plan_merge(current, base, incoming, plan)) return Ref();
    // The lines are held before the list is made: making it may collect garbage, which runs host
    // code that could change the sides' lists.
    std::vector<Ref> held;
    Py_ssize_t total = 0;
    for (int k = 0; k < plan.count; ++k) total += plan.parts[k].to - plan.parts[k].from;
    held.reserve(size_t(total));
    for (int k = 0; k < plan.count; ++k)
        for (Py_ssize_t i = plan.parts[k].from; i < plan.parts[k].to; ++i)
            held.push_back(Ref::borrow(plan.parts[k].lines[i]));
    Ref merged = Ref::steal(PyList_New(total));
    for (Py_ssize_t i = 0; i < total; ++i)
        PyList_SET_ITEM(merged.get(), i, held[size_t(i)].release());
    return merged;
}

}  // namespace merge_driver
