// Owned host reference: one strong reference, released when the Ref dies.
#pragma once
#include <Python.h>
#include <utility>
#include "errors.hpp"

namespace merge_driver::binding {

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(check(p)); }  // new reference from an API call
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    static Ref steal_or_null(PyObject* p) { return Ref(p); }  // may be null, error not implied
    Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }                        // borrowed while *this lives
    PyObject* release() { return std::exchange(p_, nullptr); }  // hand to the host
    explicit operator bool() const { return p_ != nullptr; }
private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

inline Ref none() { return Ref::borrow(Py_None); }

}  // namespace merge_driver::binding
