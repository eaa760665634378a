// The class attributes read for every node a tree walk meets, or for every
// record constructed, remembered for the classes read.
//
// For a class whose metaclass is exactly `type`, `type.__getattribute__`
// answers a name that `type` itself does not define with the value found
// along the class's MRO, unless that value is a descriptor (whose `__get__`
// would run). The class's version tag changes whenever any class of that MRO
// is modified, so while it stays the same a plain value read once is still
// the answer, and still held by its class; so is the absence of a name.
// Anything else is read anew every time, through the normal protocol.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

#include "core/error.hpp"
#include "core/ref.hpp"

namespace norv::symbolic::ops {

class ClassReads {
public:
    enum Name : unsigned char {
        SymJsonify,
        SerializationKey,
        Schema,
        SymOptions,
        SlotFieldNames,
        SlotSymbolicFieldNames,
        SymFields,
        NonSymbolicFields,
        PostInitIsNoop,
        SlotReserved,
        SlotFieldOffsets,
        SlotStorage,
        COUNT
    };

    // `type(obj).<name>`.
    Ref read(PyObject *obj, Name name) { return read_class(Py_TYPE(obj), name); }
    // `tp.<name>`.
    Ref read_class(PyTypeObject *tp, Name name);
    // `tp.<name>`, an empty Ref when there is no such attribute.
    Maybe<Ref> read_class_optional(PyTypeObject *tp, Name name);

    // `markers::is_inferential(value)`.
    Maybe<bool> is_inferential(PyObject *value);

private:
    struct Entry {
        const PyTypeObject *type = nullptr;
        unsigned int version = 0;
        bool not_inferential = false;
        std::array<PyObject *, COUNT> values{};  // borrowed from the class; nullptr: not read
    };

    // The entry of `tp`, when it holds reads made under its current version.
    Entry *current(PyTypeObject *tp) noexcept;
    // The entry `tp` takes, emptied when it held another class or version.
    Entry &claim(PyTypeObject *tp, unsigned int version) noexcept;
    // Keeps `value`, just read as `tp.<name>`, when the version tag vouches for it.
    void remember(PyTypeObject *tp, Name name, PyObject *value) noexcept;

    std::array<Entry, 8> entries_{};
};

// The reads every record construction makes, shared by all of them: the
// entries only borrow from their classes, so nothing is released at exit.
ClassReads &record_class_reads() noexcept;

}  // namespace norv::symbolic::ops
