#include "typing/value_specs/containers.hpp"

#include "typing/bridge/typing_bridge.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/frame.hpp"
#include "typing/value_specs/class_kit.hpp"

namespace norv::typing::containers {

Maybe<OptInt> opt_int_param(PyObject *v, const char *name)
{
    if (v == nullptr || v == Py_None) {
        return OptInt();
    }
    Maybe<std::int64_t> i = i64_arg(name, v, ArgCause::ConversionCause);
    if (!i) {
        return error;
    }
    return OptInt(*i);
}

Maybe<Sizes> json_sizes(PyObject *json, PyObject *kwargs)
{
    const char *keys[] = {"min_size", "max_size", "min_length", "max_length"};
    OptInt *slots[4];
    Sizes s;
    slots[0] = &s.min_size;
    slots[1] = &s.max_size;
    slots[2] = &s.min_length;
    slots[3] = &s.max_length;
    for (int i = 0; i < 4; ++i) {
        PyObject *found = nullptr;
        const int rc = PyDict_GetItemStringRef(json, keys[i], &found);
        if (rc < 0) {
            return error;
        }
        if (rc == 0) {
            continue;
        }
        Ref raw = Ref::steal(found);
        Ref decoded = bridge::call_from_json(raw.get(), kwargs);
        if (!decoded) {
            return error;
        }
        Maybe<OptInt> v = opt_int_param(decoded.get(), keys[i]);
        if (!v) {
            return error;
        }
        *slots[i] = *v;
    }
    return s;
}

Status normalize_size_aliases(const char *label, Sizes &s)
{
    if (s.min_length) {
        if (s.min_size) {
            return raise_format(PyExc_ValueError,
                                "%s: `min_size` and `min_length` are mutually exclusive. Use one spelling.",
                                label);
        }
        s.min_size = s.min_length;
    }
    if (s.max_length) {
        if (s.max_size) {
            return raise_format(PyExc_ValueError,
                                "%s: `max_size` and `max_length` are mutually exclusive. Use one spelling.",
                                label);
        }
        s.max_size = s.max_length;
    }
    return Status::ok;
}

namespace {

Ref opt_i(const OptInt &v)
{
    return v ? Ref::steal(PyUnicode_FromFormat("%lld", static_cast<long long>(*v))) : new_str("None");
}

}  // namespace

Status resolve_sizes(Sizes &s, bool stop)
{
    if (s.size) {
        if (s.min_size || s.max_size) {
            Ref lo = opt_i(s.min_size), hi = opt_i(s.max_size);
            if (!lo || !hi) {
                return error;
            }
            return raise_format(PyExc_ValueError,
                                "Either \"size\" or \"min_size\"/\"max_size\" pair can be specified. "
                                "Encountered: size=%lld, min_size=%U, max_size=%U.",
                                static_cast<long long>(*s.size), lo.get(), hi.get());
        }
        s.min_size = s.size;
        s.max_size = s.size;
    }
    else if (!s.min_size) {
        s.min_size = 0;
    }
    if (*s.min_size < 0) {
        return raise_format(PyExc_ValueError,
                            "\"min_size\" of List must be no less than 0. Encountered: %lld.",
                            static_cast<long long>(*s.min_size));
    }
    if (s.max_size && *s.max_size < *s.min_size) {
        return raise_format(PyExc_ValueError,
                            stop ? "\"max_size\" of List must be no less than \"min_size\". "
                                   "Encountered: min_size=%lld, max_size=%lld."
                                 : "\"max_size\" of List must be no less than \"min_size\". "
                                   "Encountered: min_size=%lld, max_size=%lld",
                            static_cast<long long>(*s.min_size), static_cast<long long>(*s.max_size));
    }
    return Status::ok;
}

Ref make_field(PyObject *key, PyObject *value_spec, PyObject *description)
{
    PyObject *args[] = {key, value_spec, description};
    return Ref::steal(PyObject_Vectorcall(bridge::get().field_cls, args, 3, nullptr));
}

namespace {

// The size parameters at 3, 4, 5 and the two keyword-only aliases at 10, 11;
// flags in between, converted in parameter order.
Maybe<std::pair<Sizes, class_kit::Flags>> sized_params(const Bound &b)
{
    Sizes s;
    OptInt *first[] = {&s.min_size, &s.max_size, &s.size};
    const char *names[] = {"min_size", "max_size", "size"};
    for (std::size_t i = 0; i < 3; ++i) {
        Maybe<OptInt> v = opt_int_param(b[3 + i], names[i]);
        if (!v) {
            return error;
        }
        *first[i] = *v;
    }
    Maybe<class_kit::Flags> f = class_kit::flags(b, 7, 8, 9);
    if (!f) {
        return error;
    }
    Maybe<OptInt> min_length = opt_int_param(b[10], "min_length");
    if (!min_length) {
        return error;
    }
    Maybe<OptInt> max_length = opt_int_param(b[11], "max_length");
    if (!max_length) {
        return error;
    }
    s.min_length = *min_length;
    s.max_length = *max_length;
    return std::pair<Sizes, class_kit::Flags>(s, *f);
}

}  // namespace

PyObject *container_tp_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs, const Signature &sig,
                           ContainerBuilder build)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(sig.bind_tuple(args, kwargs, b))) {
            return error;
        }
        Ref d = frame::default_arg(b, 1);
        if (!d) {
            return error;
        }
        Maybe<std::pair<Sizes, class_kit::Flags>> p = sized_params(b);
        if (!p) {
            return error;
        }
        const class_kit::Flags &f = p->second;
        return base::wrap(cls, build(b[0], d.get(), b.null_if_none(2), p->first, b.null_if_none(6),
                                     f.noneable, f.frozen, f.strict));
    });
}

Ref container_from_json(PyObject *cls, const Signature &sig, FastArgs a, const char *elements_key,
                        const char *missing_message, ContainerBuilder build)
{
    Bound b;
    if (failed(sig.bind(a, b))) {
        return error;
    }
    PyObject *json = b[0], *kwargs = b.varkw.get();
    Maybe<frame::JsonCommon> c = frame::read_json_common(json, kwargs);
    if (!c) {
        return error;
    }
    Ref elements = class_kit::required_json_field(json, elements_key, kwargs, missing_message);
    if (!elements) {
        return error;
    }
    Maybe<Sizes> s = json_sizes(json, kwargs);
    if (!s) {
        return error;
    }
    Maybe<Ref> transform = frame::json_field(json, "transform", kwargs);
    if (!transform) {
        return error;
    }
    return base::wrap(reinterpret_cast<PyTypeObject *>(cls),
                      build(elements.get(), c->default_value.get(), nullptr, *s,
                            null_if_none(transform->get()), c->is_noneable, c->frozen, c->strict));
}

}  // namespace norv::typing::containers
