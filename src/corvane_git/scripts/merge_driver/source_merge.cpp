// _merge_source: one cell's source lines merged three ways by git merge-file in a private directory.
#include "notebook.hpp"
#include "with_block.hpp"

namespace merge_driver {

using binding::call;
using binding::call_kw;
using binding::call_method;
using binding::getattr;
using binding::global;
using binding::truthy;

namespace {

// open(path, mode, encoding="utf-8") through the builtin cached at load.
Ref open_text(PyObject* path, PyObject* mode) {
    return call_kw(binding::cached_open(), {path, mode}, {{names::encoding, names::utf_8}});
}

void write_joined(PyObject* file, PyObject* lines) {
    Ref text = Ref::steal(PyUnicode_Join(names::empty, lines));
    call_method(file, names::write, {text.get()});
}

// git merge-file exits with the number of conflicts, at most 127; a status above that (255 when
// it refuses a binary file, for one) or a failure to run it is a real error. Entered with the
// error of merge_file set: clears it for a conflict, else leaves it set and throws. Only a failure
// to find git.GitCommandError reports the line of the except clause.
void drop_conflict_status(At& at) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb) PyException_SetTraceback(v, tb);
    Ref type = Ref::steal_or_null(t), value = Ref::steal_or_null(v), trace = Ref::steal_or_null(tb);
    auto rethrow = [&]() {
        PyErr_Restore(type.release(), value.release(), trace.release());
        throw HostError{};
    };
    Ref command_error;
    try {
        command_error = getattr(global(names::git).get(), names::GitCommandError);
    } catch (const HostError&) {
        at(42);
        chain_context(value);  // as the host does when the except clause itself fails
        throw;
    }
    int matches = PyErr_GivenExceptionMatches(type.get(), command_error.get());
    if (!matches) rethrow();
    Ref status = Ref::steal_or_null(PyObject_GetAttr(value.get(), names::status));
    if (!status) {
        PyErr_Clear();  // no status: not the tool's exit, so not a conflict
        rethrow();
    }
    if (!PyLong_Check(status.get()) || PyBool_Check(status.get())) rethrow();
    int overflow = 0;
    long code = PyLong_AsLongAndOverflow(status.get(), &overflow);
    if (overflow || code < 1 || code > 127) rethrow();
}

}  // namespace

Ref merge_source_body(At& at, PyObject* const* args) {
    PyObject *g = args[0], *current = args[1], *base = args[2], *incoming = args[3];
    PyObject *current_name = args[4], *incoming_name = args[5];
    Ref lines;

    at(30);
    Ref directory = call(getattr(global(names::tempfile).get(), names::TemporaryDirectory).get());
    bool completed = with_block(at, 30, directory.get(), [&](PyObject* tempdir) {
        auto join = [&](PyObject* file_name) {
            Ref join = getattr(getattr(global(names::os).get(), names::path).get(), names::join);
            return call(join.get(), {tempdir, file_name});
        };
        at(31); Ref current_path = join(names::current);
        at(32); Ref base_path = join(names::base);
        at(33); Ref incoming_path = join(names::incoming);

        // All three files are closed (incoming first) before the tool reads them.
        at(34); Ref current_file = open_text(current_path.get(), names::w);
        with_block(at, 34, current_file.get(), [&](PyObject* current_out) {
            at(35); Ref base_file = open_text(base_path.get(), names::w);
            with_block(at, 35, base_file.get(), [&](PyObject* base_out) {
                at(36); Ref incoming_file = open_text(incoming_path.get(), names::w);
                with_block(at, 36, incoming_file.get(), [&](PyObject* incoming_out) {
                    at(37); write_joined(current_out, current);
                    at(38); write_joined(base_out, base);
                    at(39); write_joined(incoming_out, incoming);
                });
            });
        });

        at(41);
        Ref merge_file = getattr(g, names::merge_file);
        Ref merged = Ref::steal_or_null(PyObject_CallFunctionObjArgs(
            merge_file.get(), current_path.get(), base_path.get(), incoming_path.get(), nullptr));
        if (!merged) drop_conflict_status(at);

        at(46); Ref fp = open_text(current_path.get(), names::r);
        with_block(at, 46, fp.get(), [&](PyObject* in) {
            at(47); lines = Ref::steal(PyList_New(0));
            at(48);
            Ref read = call_method(in, names::readlines);
            Ref it = Ref::steal(PyObject_GetIter(read.get()));
            while (Ref line = Ref::steal_or_null(PyIter_Next(it.get()))) {
                at(49);
                if (truthy(current_name)) {
                    at(50); line = call_method(line.get(), names::replace, {current_path.get(), current_name});
                }
                at(51);
                if (truthy(incoming_name)) {
                    at(52); line = call_method(line.get(), names::replace, {incoming_path.get(), incoming_name});
                }
                at(53); binding::check(PyList_Append(lines.get(), line.get()));
                at(48);
            }
            if (PyErr_Occurred()) throw HostError{};
        });
    });
    at(54);
    (void)completed;  // a suppressed failure shows only as `lines` left unset
    if (!lines)
        binding::raise(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", "lines");
    return lines;
}

}  // namespace merge_driver
