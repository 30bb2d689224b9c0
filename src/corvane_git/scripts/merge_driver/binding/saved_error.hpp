// A host error taken out of the pending state and owned until it is put back or dropped.
#pragma once
#include <Python.h>
#include "compat.hpp"
#include "ref.hpp"

namespace merge_driver::binding {

// Takes the pending error (if any) on construction, as one exception instance carrying its
// traceback. Unless it was dropped, the destructor clears anything raised meanwhile and sets it
// pending again (no error when none was pending): work done while an error is saved never
// replaces it.
class SavedError {
public:
    SavedError() : exception_(Ref::steal_or_null(compat::take_raised_exception())) {}
    ~SavedError() {
        if (dropped_) return;
        PyErr_Clear();
        compat::set_raised_exception(exception_.release());
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

    explicit operator bool() const { return static_cast<bool>(exception_); }
    PyObject* value() const { return exception_.get(); }  // the exception instance, or null
    PyObject* type() const {
        return exception_ ? reinterpret_cast<PyObject*>(Py_TYPE(exception_.get())) : nullptr;
    }
    Ref traceback() const {  // its traceback, or null
        return exception_ ? Ref::steal_or_null(PyException_GetTraceback(exception_.get())) : Ref();
    }
    // Gives the exception up: nothing is set pending again.
    Ref drop() {
        dropped_ = true;
        return std::move(exception_);
    }

private:
    Ref exception_;
    bool dropped_ = false;
};

}  // namespace merge_driver::binding
