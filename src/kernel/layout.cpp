#include "kernel/layout.hpp"

#include "kernel/gc.hpp"

namespace norv::kernel {

PyTypeObject *kernel_type_of(PyTypeObject *tp) noexcept
{
    // Only the kernel installs its traverse; a Python subclass has the
    // interpreter's own, which defers to the kernel type it extends.
    for (; tp != nullptr; tp = tp->tp_base) {
        if (tp->tp_traverse == &gc::traverse) {
            return tp;
        }
    }
    return nullptr;
}

const TypeRecord &record_of(PyTypeObject *kernel_type) noexcept
{
    // The table's hidden first entry, just before the one the type points
    // at, leads to the record (see heap_type.cpp).
    return *static_cast<const TypeRecord *>(kernel_type->tp_getset[-1].closure);
}

}  // namespace norv::kernel
