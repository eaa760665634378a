#include "kernel/gc.hpp"

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "kernel/layout.hpp"

namespace norv::kernel::gc {

namespace {

// Runs `step` on every cell the kernel owns in `obj`, in increasing order,
// until one answers nonzero: from the root region start up to the basic size
// of the most-derived kernel type, the weak-reference head left out (CPython
// owns it). Member slots a Python subclass adds lie past that size; the
// interpreter's subclass slots visit and clear them, and visiting them here
// too would count their references twice.
template <class Step>
int sweep(PyObject *obj, Step &&step)
{
    PyTypeObject *kt = kernel_type_of(Py_TYPE(obj));
    if (kt == nullptr) {
        return 0;  // only ever installed in kernel types
    }
    const auto end = static_cast<std::size_t>(kt->tp_basicsize);
    const Py_ssize_t weak = kt->tp_weaklistoffset;
    for (std::size_t offset = root_region_start(); offset < end; offset += CELL) {
        if (weak > 0 && offset == static_cast<std::size_t>(weak)) {
            continue;
        }
        if (const int r = step(cell_at(obj, offset))) {
            return r;
        }
    }
    return 0;
}

int always_stop(PyObject *, void *)
{
    return 1;
}

int count_visit(PyObject *, void *arg)
{
    ++*static_cast<std::size_t *>(arg);
    return 0;
}

traverseproc traverse_slot(PyObject *obj)
{
    traverseproc t = Py_TYPE(obj)->tp_traverse;
    if (t == nullptr) {
        panic("Record types set tp_traverse");
    }
    // A static type object has the metatype's traverse slot, which aborts
    // the interpreter on it: only objects the collector tracks may be swept.
    if (!PyObject_IS_GC(obj)) {
        panic("Record instances are garbage-collected objects");
    }
    return t;
}

const Signature SHORT_CIRCUIT_SIG{"_kernel_probe_short_circuit", {arg("obj")}};
const Signature VISITS_SIG{"_kernel_probe_traverse_visits", {arg("obj")}};

Ref probe_short_circuit(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(SHORT_CIRCUIT_SIG.bind(a, b))) {
        return error;
    }
    return new_int(traverse_slot(b[0])(b[0], always_stop, nullptr));
}

Ref probe_traverse_visits(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(VISITS_SIG.bind(a, b))) {
        return error;
    }
    std::size_t visits = 0;
    (void)traverse_slot(b[0])(b[0], count_visit, &visits);
    return Ref::steal(PyLong_FromSize_t(visits));
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef PROBE_SHORT_CIRCUIT_DEF = method<probe_short_circuit>(
    "_kernel_probe_short_circuit",
    "_kernel_probe_short_circuit($module, /, obj)\n--\n\n"
    "Run the traverse slot of type(obj) with a visit that stops at once; its result.");
PyMethodDef PROBE_TRAVERSE_VISITS_DEF =
    method<probe_traverse_visits>("_kernel_probe_traverse_visits",
                                  "_kernel_probe_traverse_visits($module, /, obj)\n--\n\n"
                                  "Run the traverse slot of type(obj) and count the objects it visits.");

int traverse(PyObject *obj, visitproc visit, void *arg)
{
    // A heap type's instances report their type.
    Py_VISIT(Py_TYPE(obj));
    return sweep(obj, [&](PyObject *cell) { return cell != nullptr ? visit(cell, arg) : 0; });
}

int clear(PyObject *obj)
{
    // Empty first: a release may run code that reads the instance again.
    (void)sweep(obj, [](PyObject *&cell) {
        Py_CLEAR(cell);
        return 0;
    });
    return 0;
}

void release_cells(PyObject *obj) noexcept
{
    PyTypeObject *kt = kernel_type_of(Py_TYPE(obj));
    if (kt != nullptr && kt->tp_weaklistoffset > 0 &&
        cell_at(obj, static_cast<std::size_t>(kt->tp_weaklistoffset)) != nullptr) {
        PyObject_ClearWeakRefs(obj);
    }
    (void)clear(obj);
}

}  // namespace norv::kernel::gc
