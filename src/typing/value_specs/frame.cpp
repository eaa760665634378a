#include "typing/value_specs/frame.hpp"

#include <cstring>

#include "core/borrow.hpp"
#include "core/registry.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::frame {

Ref default_arg(const Bound &b, std::size_t i)
{
    return b.has(i) ? Ref::borrow(b[i]) : util::missing_default();
}

Maybe<std::uint8_t> strict_param(const Bound &b, std::size_t i)
{
    Maybe<std::optional<bool>> strict = opt_bool_arg("strict", b[i], ArgCause::ConversionCause);
    if (!strict) {
        return error;
    }
    if (!*strict) {
        return std::uint8_t{STRICT_UNSET};
    }
    return std::uint8_t{**strict ? STRICT_TRUE : STRICT_FALSE};
}

Maybe<Ref> json_field(PyObject *json, const char *key, PyObject *kwargs)
{
    Ref k = new_str(key);
    if (!k) {
        return error;
    }
    PyObject *found = nullptr;
    const int rc = PyDict_GetItemRef(json, k.get(), &found);
    if (rc < 0) {
        return error;
    }
    if (rc == 0) {
        return Ref();
    }
    Ref value = Ref::steal(found);
    return util::some(bridge::call_from_json(value.get(), kwargs));
}

namespace {

// json[key] as a bool, nothing when the key is absent.
Maybe<std::optional<bool>> json_bool(PyObject *json, const char *key)
{
    Ref k = new_str(key);
    if (!k) {
        return error;
    }
    PyObject *found = nullptr;
    const int rc = PyDict_GetItemRef(json, k.get(), &found);
    if (rc < 0) {
        return error;
    }
    Ref value = Ref::steal(found);
    if (rc == 0) {
        return std::optional<bool>();
    }
    Maybe<bool> b = to_bool(value.get());
    if (!b) {
        return error;
    }
    return std::optional<bool>(*b);
}

}  // namespace

Maybe<JsonCommon> read_json_common(PyObject *json, PyObject *kwargs)
{
    if (!PyDict_Check(json)) {
        return raise_not_instance(json, "dict");
    }
    JsonCommon c;
    Maybe<Ref> default_value = json_field(json, "default", kwargs);
    if (!default_value) {
        return error;
    }
    c.default_value = *default_value ? std::move(*default_value) : util::missing_default();
    const Maybe<std::optional<bool>> noneable = json_bool(json, "is_noneable");
    if (!noneable) {
        return error;
    }
    const Maybe<std::optional<bool>> frozen = json_bool(json, "frozen");
    if (!frozen) {
        return error;
    }
    const Maybe<std::optional<bool>> strict = json_bool(json, "strict");
    if (!strict) {
        return error;
    }
    c.is_noneable = noneable->value_or(false);
    c.frozen = frozen->value_or(false);
    c.strict = *strict ? (**strict ? STRICT_TRUE : STRICT_FALSE) : STRICT_UNSET;
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
    if (failed(base::check_live(self))) {
        return error;
    }
    SharedBorrow b(base::as_spec(self)->borrow);
    if (b.failed()) {
        return error;
    }
    return base::wrap(Py_TYPE(self), read_engine(self).shallow_clone(true));
}

Ref spec_deepcopy(PyObject *self, FastArgs a)
{
    static const Signature sig{"__deepcopy__", {arg("_memo")}, {.method = true}};
    Bound bound;
    if (failed(base::check_live(self)) || failed(sig.bind(a, bound))) {
        return error;
    }
    SharedBorrow b(base::as_spec(self)->borrow);
    if (b.failed()) {
        return error;
    }
    Maybe<std::unique_ptr<SpecEngine>> copy = read_engine(self).deep_clone();
    if (!copy) {
        return error;
    }
    return base::wrap(Py_TYPE(self), std::move(*copy));
}

PyObject *skip_user_transform(PyObject *self, void *)
{
    return guard([&]() -> Ref {
        if (failed(base::check_live(self))) {
            return error;
        }
        SharedBorrow b(base::as_spec(self)->borrow);
        if (b.failed()) {
            return error;
        }
        SpecEngine &e = read_engine(self);
        if (!e.transform) {
            return Ref::borrow(self);
        }
        return base::wrap(Py_TYPE(self), e.shallow_clone(false));
    });
}

Status init_class(PyTypeObject *tp)
{
    const char *dot = std::strrchr(tp->tp_name, '.');
    Ref key = Ref::steal(PyUnicode_FromFormat("norv.typing.%s", dot ? dot + 1 : tp->tp_name));
    if (!key) {
        return error;
    }
    return set_class_attr(tp, "__serialization_key__", key.get());
}

PyObject *spec_base_bases()
{
    static ObjectCell BASES;
    return BASES.get_or_init([]() -> Ref {
        PyTypeObject *base = base::type();
        if (base == nullptr) {
            return error;
        }
        return Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject *>(base)));
    });
}

}  // namespace norv::typing::frame
