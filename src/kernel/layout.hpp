// The instance layout of inline-slot Records.
//
// A Record is a heap type built at run time whose instances carry no
// instance dict: every piece of state is a pointer-sized cell after the
// object header, holding one strong reference or nothing. Each type of a
// hierarchy adds one region (its reserved cells, then one cell per own
// field); the root's region starts at `object`'s basic size, a subtype's at
// its base's. The first eight cells of the root region are the node-state
// roles; a root reserving nine or more gives its ninth cell to CPython as the
// weak-reference list head.
//
// The class attributes the host reads (`__slot_reserved__`,
// `__slot_field_offsets__`) stay writable, so nothing here trusts them: the
// kernel knows its own types by their traverse slot and keeps each type's
// region in a record reached from its getset table.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace norv::kernel {

inline constexpr std::size_t CELL = sizeof(PyObject *);
static_assert(CELL == 8, "Records are laid out in 8-byte cells");

namespace node_state {
// Roles 0..7: parent, path, sealed, allow_partial, accessor_writable,
// origin, the materialised attribute view, the host's derived caches.
inline constexpr std::size_t COUNT = 8;
inline constexpr std::size_t PATH = 1;
inline constexpr std::size_t VIEW = 6;
}  // namespace node_state

// The reserved count of a production Record: the roles and the weak-reference head.
inline constexpr std::size_t TOPOLOGY_RESERVED = 9;

// Where the root region starts: `object.__basicsize__` of the running interpreter.
inline std::size_t root_region_start() noexcept
{
    return static_cast<std::size_t>(PyBaseObject_Type.tp_basicsize);
}

// What a field read may expect of its instance, from the hierarchy's total
// reserved count: none (Bare), some (Partial), the full node-state region
// (Full).
enum class Topology : std::uint8_t { Bare = 0, Partial = 1, Full = 2 };

inline Topology topology_of(std::size_t total_reserved) noexcept
{
    if (total_reserved == 0) {
        return Topology::Bare;
    }
    return total_reserved < TOPOLOGY_RESERVED ? Topology::Partial : Topology::Full;
}

// The plan of one type's region.
struct Layout {
    std::size_t region_start;
    std::size_t reserved;
    std::size_t field_count;

    static Layout root(std::size_t reserved, std::size_t field_count) noexcept
    {
        return {root_region_start(), reserved, field_count};
    }
    static Layout for_base(PyTypeObject *base, std::size_t reserved, std::size_t field_count) noexcept
    {
        return {static_cast<std::size_t>(base->tp_basicsize), reserved, field_count};
    }

    std::size_t basic_size() const noexcept { return region_start + CELL * (reserved + field_count); }
    std::size_t field_offset(std::size_t position) const noexcept
    {
        return region_start + CELL * (reserved + position);
    }
    // Whether `offset` is one of this region's field cells.
    bool holds_field(std::size_t offset) const noexcept
    {
        return offset >= field_offset(0) && offset < basic_size() && (offset - region_start) % CELL == 0;
    }
};

// What the kernel keeps of each type it built, for the life of the process.
struct TypeRecord {
    Layout layout;
    // The reserved cells of the hierarchy's root region, where the
    // node-state roles live whatever the instance's type.
    std::size_t root_reserved;
};

// The most-derived kernel-built type on `tp`'s chain of bases: `tp` itself,
// the type a Python subclass extends, or nullptr for any other type.
PyTypeObject *kernel_type_of(PyTypeObject *tp) noexcept;

// The record of a kernel-built type (as `kernel_type_of` answers it).
const TypeRecord &record_of(PyTypeObject *kernel_type) noexcept;

// The cell at `offset` bytes into `inst`. Only for offsets the kernel checked
// against the instance's layout.
inline PyObject *&cell_at(PyObject *inst, std::size_t offset) noexcept
{
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(inst) + offset);
}

}  // namespace norv::kernel
