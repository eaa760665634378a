#include "nodes/class_reads.hpp"

#include "core/names.hpp"
#include "nodes/markers.hpp"

namespace norv::symbolic::ops {

namespace {

PyObject *name_of(ClassReads::Name name)
{
    // In the order of `ClassReads::Name`.
    static constexpr PyObject *(*const NAMES[ClassReads::COUNT])() = {
        &interned<"sym_jsonify">,
        &interned<"__serialization_key__">,
        &interned<"__schema__">,
        &interned<"__sym_options__">,
        &interned<"__slot_field_names__">,
        &interned<"__slot_symbolic_field_names__">,
        &interned<"sym_fields">,
        &interned<"_non_symbolic_fields">,
        &interned<"_sym_post_init_is_noop">,
        &interned<"__slot_reserved__">,
        &interned<"__slot_field_offsets__">,
        &interned<"__slot_storage__">,
    };
    return NAMES[name]();
}

// Whether `type(obj).<name>` is what one lookup along the MRO of `tp` finds
// (nullptr: nothing), with no code run, so that the version tag vouches for
// it; the found value, when so. A plain function read from its class is
// itself.
bool plain_lookup(PyTypeObject *tp, PyObject *name, PyObject **found) noexcept
{
    if (!Py_IS_TYPE(tp, &PyType_Type) || _PyType_Lookup(&PyType_Type, name) != nullptr) {
        return false;
    }
    *found = _PyType_Lookup(tp, name);
    return *found == nullptr || Py_TYPE(*found)->tp_descr_get == nullptr ||
           Py_IS_TYPE(*found, &PyFunction_Type);
}

std::size_t index_of(const PyTypeObject *tp) noexcept
{
    return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(tp) * 0x9E3779B97F4A7C15ULL) >> 61);
}

}  // namespace

ClassReads::Entry *ClassReads::current(PyTypeObject *tp) noexcept
{
    Entry &e = entries_[index_of(tp)];
    return e.type == tp && e.version != 0 && e.version == tp->tp_version_tag ? &e : nullptr;
}

ClassReads::Entry &ClassReads::claim(PyTypeObject *tp, unsigned int version) noexcept
{
    Entry &e = entries_[index_of(tp)];
    if (e.type != tp || e.version != version) {
        e = Entry{.type = tp, .version = version};
    }
    return e;
}

ClassReads &record_class_reads() noexcept
{
    static ClassReads reads;
    return reads;
}

void ClassReads::remember(PyTypeObject *tp, Name name, PyObject *value) noexcept
{
    PyObject *found = nullptr;
    if (value != nullptr && plain_lookup(tp, name_of(name), &found) && found == value &&
        tp->tp_version_tag != 0) {
        claim(tp, tp->tp_version_tag).values[name] = found;
    }
}

Ref ClassReads::read_class(PyTypeObject *tp, Name name)
{
    if (Entry *e = current(tp); e != nullptr && e->values[name] != nullptr) {
        return Ref::borrow(e->values[name]);
    }
    Ref value = getattr(reinterpret_cast<PyObject *>(tp), name_of(name));
    remember(tp, name, value.get());
    return value;
}

Maybe<Ref> ClassReads::read_class_optional(PyTypeObject *tp, Name name)
{
    if (Entry *e = current(tp); e != nullptr && e->values[name] != nullptr) {
        return Ref::borrow(e->values[name]);
    }
    PyObject *found = nullptr;
    if (PyObject_GetOptionalAttr(reinterpret_cast<PyObject *>(tp), name_of(name), &found) < 0) {
        return error;
    }
    Ref value = Ref::steal(found);
    remember(tp, name, value.get());
    return value;
}

Maybe<bool> ClassReads::is_inferential(PyObject *value)
{
    PyTypeObject *tp = Py_TYPE(value);
    if (Entry *e = current(tp); e != nullptr && e->not_inferential) {
        return false;
    }
    const Maybe<bool> inferential = markers::is_inferential(value);
    PyObject *found = nullptr;
    if (inferential && !*inferential && plain_lookup(tp, interned<"infer">(), &found) && found == nullptr &&
        tp->tp_version_tag != 0) {
        claim(tp, tp->tp_version_tag).not_inferential = true;
    }
    return inferential;
}

}  // namespace norv::symbolic::ops
