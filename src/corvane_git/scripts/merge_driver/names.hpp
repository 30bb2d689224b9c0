// The module's interned names, made once at load: every identifier and literal the bodies use.
#pragma once
#include <Python.h>

// X(c_name, "text"): names::c_name is the interned string "text".
// clang-format off: the names in rows, as written
#define MERGE_IPYNB_NAMES(X)                                                                       \
    /* modules and module-level names */                                                           \
    X(json, "json") X(logging, "logging") X(os, "os") X(tempfile, "tempfile") X(uuid, "uuid")      \
    X(typing, "typing") X(Any, "Any") X(Dict, "Dict") X(List, "List") X(Optional, "Optional")     \
    X(git, "git") X(jsondiff, "jsondiff") X(Cell, "Cell") X(_merge_source, "_merge_source")       \
    X(_cell_changed, "_cell_changed") X(__test__, "__test__")                                      \
    /* Cell */                                                                                     \
    X(BASE, "BASE") X(CURRENT, "CURRENT") X(INCOMING, "INCOMING")                                 \
    X(_data, "_data") X(_file_type, "_file_type") X(file_type, "file_type") X(data, "data")       \
    X(cell_id, "cell_id") X(source, "source") X(meta_data, "meta_data") X(link_id, "link_id")     \
    X(name, "name") X(parents, "parents") X(comments, "comments")                                 \
    X(add_comment, "add_comment") X(add_conflict_mark, "add_conflict_mark")                       \
    X(startswith, "startswith") X(append, "append")                                               \
    /* keyword parameters the merge passes */                                                      \
    X(current_name, "current_name") X(incoming_name, "incoming_name")                             \
    /* host calls */                                                                               \
    X(load, "load") X(dump, "dump") X(merge_file, "merge_file")                                   \
    X(GitCommandError, "GitCommandError") X(GitCommandNotFound, "GitCommandNotFound")             \
    X(status, "status") X(TemporaryDirectory, "TemporaryDirectory") X(gettempdir, "gettempdir")   \
    X(__enter__, "__enter__") X(__exit__, "__exit__") X(__init__, "__init__") X(path, "path")     \
    X(join, "join")                                                                               \
    X(write, "write") X(readlines, "readlines") X(replace, "replace") X(close, "close")           \
    X(pop, "pop") X(diff, "diff") X(debug, "debug") X(uuid4, "uuid4") X(copy, "copy")             \
    X(encoding, "encoding") X(mode, "mode") X(keys, "keys")                                       \
    /* writing the merged notebook through a temporary file */                                     \
    X(dirname, "dirname") X(mkstemp_, "mkstemp") X(dir, "dir") X(prefix, "prefix")                \
    X(suffix, "suffix") X(stat_, "stat") X(st_mode, "st_mode") X(chmod_, "chmod")                 \
    X(unlink_, "unlink") X(temp_prefix, ".merge_ipynb-") X(temp_suffix, ".tmp")                   \
    X(realpath, "realpath") X(wb, "wb") X(laid_out_prefix, ".corvane-merge-")                     \
    /* notebook keys and literals */                                                               \
    X(metadata, "metadata") X(canvas, "canvas") X(id, "id") X(outputs, "outputs")                 \
    X(execution_count, "execution_count") X(cells, "cells") X(parameters, "parameters")           \
    X(headerColor, "headerColor") X(mark_ours, "<<< ") X(mark_theirs, ">>> ")                     \
    X(current, "current") X(base, "base") X(incoming, "incoming")                                 \
    X(r, "r") X(w, "w") X(utf_8, "utf-8") X(suffix_current, "-current")                           \
    X(suffix_incoming, "-incoming") X(empty, "") X(newline, "newline") X(line_feed, "\n")
// clang-format on

namespace merge_driver::names {
#define MERGE_IPYNB_DECLARE(c, text) extern PyObject* c;
MERGE_IPYNB_NAMES(MERGE_IPYNB_DECLARE)
#undef MERGE_IPYNB_DECLARE

// Makes every name once per process; later calls do nothing. Throws HostError on failure.
void create();
}  // namespace merge_driver::names
