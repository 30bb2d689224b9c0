// A file replaced in one step through a temporary file beside it: merge_files's write of the
// merged notebook, and merge_core.replace_file, the driver's. The only place that knows how.
#include <new>
#include "binding/saved_error.hpp"
#include "lines.hpp"
#include "notebook.hpp"
#include "platform/platform.hpp"

namespace merge_driver {

using binding::call;
using binding::call_kw;
using binding::call_method;
using binding::getattr;
using binding::global;
using binding::truthy;

void replace_with_temporary(PyObject* temp_path, PyObject* target, PyObject* bits) {
    Ref os = global(names::os);
    Ref chmod = getattr(os.get(), names::chmod_);
    // Where a read-only file can be neither replaced nor removed (Windows), the temporary file
    // stays writable, the target's mark is lifted for the replace (and put back when that
    // fails), and the new file gets the mark after it.
    Ref writable = Ref::steal(PyLong_FromLong(0200));
    Ref lifted;
    if (platform::replace_refuses_read_only &&
        !truthy(Ref::steal(PyNumber_And(bits, writable.get())).get())) {
        lifted = Ref::steal(PyNumber_Or(bits, writable.get()));
        call(chmod.get(), {target, lifted.get()});
    } else {
        call(chmod.get(), {temp_path, bits});
    }
    try {
        call(getattr(os.get(), names::replace).get(), {temp_path, target});
    } catch (const HostError&) {
        if (lifted) {
            binding::SavedError failure;  // the replace's failure is the one to report
            Ref::steal_or_null(PyObject_CallFunctionObjArgs(chmod.get(), target, bits, nullptr));
        }
        throw;
    }
    if (lifted) call(chmod.get(), {target, bits});
}

void remove_temporary(PyObject* temp_path) {
    binding::SavedError first;  // a file already gone or not removable: the first failure counts
    Ref os = Ref::borrow(PyDict_GetItemWithError(binding::state().dict, names::os));
    if (!os) return;
    Ref unlink = Ref::steal_or_null(PyObject_GetAttr(os.get(), names::unlink_));
    if (unlink) Ref::steal_or_null(PyObject_CallFunctionObjArgs(unlink.get(), temp_path, nullptr));
}

Ref made_temporary(PyObject* directory, PyObject* prefix) {
    Ref mkstemp = getattr(global(names::tempfile).get(), names::mkstemp_);
    // The maker's tag in the name lets a later run remove the file if this process is killed.
    Ref tagged = Ref::steal(PyUnicode_FromFormat("%U%s-", prefix, platform::process_tag().c_str()));
    return call_kw(mkstemp.get(), {},
                   {{names::dir, directory},
                    {names::prefix, tagged.get()},
                    {names::suffix, names::temp_suffix}});
}

namespace {

// bytes(data) written to the open descriptor `fd`, which is closed on every way out.
void write_to(PyObject* fd, PyObject* data) {
    Ref file = Ref::steal_or_null(
        PyObject_CallFunctionObjArgs(binding::state().open, fd, names::wb, nullptr));
    if (!file) {
        binding::SavedError failure;
        Ref::steal_or_null(PyObject_CallFunctionObjArgs(
            getattr(global(names::os).get(), names::close).get(), fd, nullptr));
        throw HostError{};
    }
    try {
        call_method(file.get(), names::write, {data});
    } catch (const HostError&) {
        binding::SavedError failure;
        Ref::steal_or_null(PyObject_CallMethodObjArgs(file.get(), names::close, nullptr));
        throw;
    }
    call_method(file.get(), names::close);
}

}  // namespace

// replace_file(path, data): the file at `path` (a symbolic link: its target) replaced by the
// bytes `data` in one step, keeping its permission bits; a failure leaves it as it was and no
// temporary file behind.
Ref replace_file_body(At& at, PyObject* const* args) {
    PyObject *path = args[0], *data = args[1];
    at(lines::core_load::frame);
    if (!PyBytes_Check(data)) binding::raise(PyExc_TypeError, "replace_file(): data must be bytes");
    Ref os = global(names::os);
    Ref os_path = getattr(os.get(), names::path);
    Ref target = call(getattr(os_path.get(), names::realpath).get(), {path});
    Ref stat = call(getattr(os.get(), names::stat_).get(), {target.get()});
    Ref mask = Ref::steal(PyLong_FromLong(07777));
    Ref bits = Ref::steal(PyNumber_And(getattr(stat.get(), names::st_mode).get(), mask.get()));
    Ref directory = call(getattr(os_path.get(), names::dirname).get(), {target.get()});
    Ref made = made_temporary(directory.get(), names::laid_out_prefix);
    Ref fd = Ref::steal(PySequence_GetItem(made.get(), 0));
    Ref temp_path = Ref::steal(PySequence_GetItem(made.get(), 1));
    try {
        write_to(fd.get(), data);
        replace_with_temporary(temp_path.get(), target.get(), bits.get());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        remove_temporary(temp_path.get());
        throw HostError{};
    } catch (const HostError&) {
        remove_temporary(temp_path.get());
        throw;
    }
    return binding::none();
}

// process_tag(): what names this process in the names of its temporary files.
Ref process_tag_body(At& at, PyObject* const*) {
    at(lines::core_load::frame);
    const std::string tag = platform::process_tag();
    return Ref::steal(PyUnicode_FromStringAndSize(tag.data(), static_cast<Py_ssize_t>(tag.size())));
}

}  // namespace merge_driver
