// Owning reference to an interpreter object.
#pragma once

#include <Python.h>

#include <utility>

namespace tarvel {

// Holds one strong reference and drops it when it goes out of scope.
// Construction from a raw pointer steals the reference, which matches the
// "new reference or null" convention of the C API calls that produce it.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* stolen) noexcept : obj_(stolen) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Replaces the held object by a newly produced one (stolen).
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = std::exchange(obj_, stolen);
        Py_XDECREF(old);
    }

    // As reset(), when an object is held: spares the null test in loops.
    void replace(PyObject* stolen) noexcept {
        PyObject* old = std::exchange(obj_, stolen);
        Py_DECREF(old);
    }

private:
    PyObject* obj_ = nullptr;
};

// A strong reference in static storage, kept for the life of the process.
// It has no destructor: at exit the interpreter is gone and nothing may be
// released any more. Replacing it hands back the old reference as a Ref, so
// that the caller drops it last, once its own state is consistent again (a
// dropped reference may run arbitrary code).
class KeptRef {
public:
    PyObject* get() const noexcept { return obj_; }
    [[nodiscard]] Ref exchange(PyObject* stolen) noexcept { return Ref(std::exchange(obj_, stolen)); }

private:
    PyObject* obj_ = nullptr;
};

}  // namespace tarvel
