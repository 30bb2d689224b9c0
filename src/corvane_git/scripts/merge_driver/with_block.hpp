// The host's `with` statement for the bodies: __exit__ runs on every way out of the block.
#pragma once
#include <new>
#include "binding/saved_error.hpp"
#include "notebook.hpp"

namespace merge_driver {

// Raises a new exception while `context` is being handled: the new one gets it as __context__,
// as the host does for an exception raised inside an except clause or __exit__.
inline void chain_context(Ref context) {
    binding::SavedError raised;
    if (raised && context && raised.value() != context.get())
        PyException_SetContext(raised.value(), context.release());
}

// The failure path of with_block, entered with the host's error set; rethrows unless suppressed.
inline bool with_block_failed(binding::At& at, int line, PyObject* exit) {
    bool suppress;
    {
        binding::SavedError failure;
        Ref trace = failure.traceback();
        Ref answer = Ref::steal_or_null(PyObject_CallFunctionObjArgs(
            exit, failure.type(), failure.value() ? failure.value() : Py_None,
            trace ? trace.get() : Py_None, nullptr));
        int truth = answer ? PyObject_IsTrue(answer.get()) : -1;
        if (truth < 0) {
            at(line);
            chain_context(failure.drop());
            throw HostError{};
        }
        suppress = truth != 0;
        if (suppress) failure.drop();
    }  // not suppressed: the failure is pending again
    if (suppress) return false;
    throw HostError{};
}

// `with manager as entered: block(entered)`. On a failure inside the block, __exit__ receives the
// exception; if __exit__ answers true the failure is dropped and false is returned (what the block
// should have assigned is then unset). A failing __exit__ reports `line`, the line of the `with`.
template <class Block>
bool with_block(binding::At& at, int line, PyObject* manager, Block&& block) {
    Ref enter = binding::getattr(manager, names::__enter__);
    Ref exit = binding::getattr(manager, names::__exit__);
    Ref entered = binding::call(enter.get());
    try {
        block(entered.get());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return with_block_failed(at, line, exit.get());
    } catch (const HostError&) { return with_block_failed(at, line, exit.get()); }
    at(line);
    binding::call(exit.get(), {Py_None, Py_None, Py_None});
    return true;
}

}  // namespace merge_driver
