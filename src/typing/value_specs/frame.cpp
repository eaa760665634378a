#include "typing/value_specs/frame.hpp"

#include <cstring>

#include "core/registry.hpp"
#include "typing/bridge/bridge.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::frame {

Ref default_arg(const Bound &b, std::size_t i)
{
    return b.has(i) ? Ref::borrow(b[i]) : util::missing_default();
}

bool bool_param(const Bound &b, std::size_t i, const char *name, bool dflt)
{
    if (!b.has(i)) {
        return dflt;
    }
    return legacy::convert_arg(name, [&] { return legacy::to_bool(b[i]); }, ArgCause::ConversionCause);
}

std::uint8_t strict_param(const Bound &b, std::size_t i)
{
    if (!b.has(i) || b[i] == Py_None) {
        return STRICT_UNSET;
    }
    return legacy::convert_arg(
               "strict", [&] { return legacy::to_bool(b[i]); }, ArgCause::ConversionCause)
               ? STRICT_TRUE
               : STRICT_FALSE;
}

Ref json_field(PyObject *json, const char *key, PyObject *kwargs)
{
    Ref k = legacy::new_str(key);
    PyObject *found = nullptr;
    if (legacy::require(PyDict_GetItemRef(json, k.get(), &found)) == 0) {
        return Ref();
    }
    Ref value = Ref::steal(found);
    Ref args = legacy::checked(PyTuple_Pack(1, value.get()));
    return legacy::checked(PyObject_Call(bridge::get().from_json, args.get(), kwargs));
}

namespace {

bool json_bool(PyObject *json, const char *key, bool *present)
{
    PyObject *found = nullptr;
    if (legacy::require(PyDict_GetItemRef(json, legacy::new_str(key).get(), &found)) == 0) {
        *present = false;
        return false;
    }
    Ref value = Ref::steal(found);
    *present = true;
    return legacy::to_bool(value.get());
}

}  // namespace

JsonCommon read_json_common(PyObject *json, PyObject *kwargs)
{
    if (!PyDict_Check(json)) {
        legacy::raise_not_instance(json, "dict");
    }
    JsonCommon c;
    c.default_value = json_field(json, "default", kwargs);
    if (!c.default_value) {
        c.default_value = util::missing_default();
    }
    bool present = false;
    c.is_noneable = json_bool(json, "is_noneable", &present);
    c.frozen = json_bool(json, "frozen", &present);
    const bool strict = json_bool(json, "strict", &present);
    c.strict = present ? (strict ? STRICT_TRUE : STRICT_FALSE) : STRICT_UNSET;
    return c;
}

namespace {

SpecEngine &read_engine(PyObject *self)
{
    return *base::as_spec(self)->engine;
}

}  // namespace

Ref spec_copy(PyObject *self)
{
    legacy::SharedBorrow b(base::as_spec(self)->borrow);
    return base::wrap(Py_TYPE(self), read_engine(self).shallow_clone(true));
}

Ref spec_deepcopy(PyObject *self, FastArgs a)
{
    static const Signature sig{"__deepcopy__", {arg("_memo")}, {.method = true}};
    sig.bind(a);
    legacy::SharedBorrow b(base::as_spec(self)->borrow);
    return base::wrap(Py_TYPE(self), read_engine(self).deep_clone());
}

PyObject *skip_user_transform(PyObject *self, void *)
{
    return guard([&] {
        legacy::SharedBorrow b(base::as_spec(self)->borrow);
        SpecEngine &e = read_engine(self);
        if (!e.transform) {
            return Ref::borrow(self);
        }
        return base::wrap(Py_TYPE(self), e.shallow_clone(false));
    });
}

void init_class(PyTypeObject *tp)
{
    const char *dot = std::strrchr(tp->tp_name, '.');
    Ref key = legacy::checked(PyUnicode_FromFormat("norv.typing.%s", dot ? dot + 1 : tp->tp_name));
    legacy::set_class_attr(tp, "__serialization_key__", key.get());
}

PyObject *spec_base_bases()
{
    static ObjectCell BASES;
    return BASES.get_or_init([] {
        return legacy::checked(PyTuple_Pack(1, reinterpret_cast<PyObject *>(legacy::require(base::type()))));
    });
}

}  // namespace norv::typing::frame
