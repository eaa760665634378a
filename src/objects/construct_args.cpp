// The keyword-argument errors of object and record construction, worded as
// the host's generated `__init__` words them: the plural and the joined names
// come from the host's own text functions.
#include "core/args.hpp"
#include "core/names.hpp"
#include "core/truth.hpp"
#include "core/utf8.hpp"
#include "nodes/object_bridge.hpp"
#include "objects/construct.hpp"
#include "objects/sym_object.hpp"

namespace norv::symbolic::object::construct {

namespace {

Ref text_result(Ref r)
{
    if (r && !PyUnicode_Check(r.get())) {
        return raise_not_instance(r.get(), "str");
    }
    return r;
}

// "{class}.__init__() {what} {plural}: {names}{end}", the class's name, the
// plural and the joined names read in that order.
Error keyword_error(PyObject *cls, PyObject *names, const char *what, bool with_count, const char *end)
{
    const bridge::ObjectBridge &br = bridge::get();
    Ref name = class_name_text(cls);
    const Py_ssize_t count = PyList_GET_SIZE(names);
    Ref n = name ? new_int(count) : Ref();
    Ref word = n ? new_str("argument") : Ref();
    PyObject *plural_args[] = {n.get(), word.get()};
    Ref plural =
        word ? text_result(Ref::steal(PyObject_Vectorcall(br.auto_plural, plural_args, 2, nullptr))) : Ref();
    // The host gets a list of its own.
    Ref copy = plural ? Ref::steal(PyList_GetSlice(names, 0, count)) : Ref();
    Ref joined =
        copy ? text_result(Ref::steal(PyObject_CallOneArg(br.comma_delimited_str, copy.get()))) : Ref();
    if (!joined) {
        return error;
    }
    if (with_count) {
        return raise_format(PyExc_TypeError, "%U.__init__() %s %zd required %U: %U%s", name.get(), what,
                            count, plural.get(), joined.get(), end);
    }
    return raise_format(PyExc_TypeError, "%U.__init__() %s %U: %U%s", name.get(), what, plural.get(),
                        joined.get(), end);
}

Status delete_keys(PyObject *kwargs, PyObject *keys)
{
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i) {
        Ref key = Ref::borrow(PyList_GET_ITEM(keys, i));
        if (PyDict_DelItem(kwargs, key.get()) < 0) {
            return error;
        }
    }
    return Status::ok;
}

}  // namespace

Ref lossy_text(PyObject *key)
{
    if (std::optional<std::string_view> text = utf8_or_none(key)) {
        return PyUnicode_CheckExact(key) ? Ref::borrow(key)
                                         : Ref::steal(PyUnicode_FromStringAndSize(
                                               text->data(), static_cast<Py_ssize_t>(text->size())));
    }
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(key, "utf-8", "replace"));
    return bytes ? Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                   PyBytes_GET_SIZE(bytes.get()), nullptr))
                 : Ref();
}

Status screen_unexpected_kwargs(PyObject *cls, PyObject *kwargs, PyObject *keys)
{
    const Maybe<bool> ignore = truth_attr<"__varkw_ignore__">(cls);
    if (!ignore) {
        return error;
    }
    if (!*ignore) {
        return keyword_error(cls, keys, "got unexpected keyword", false, "");
    }
    Ref maps = attr<"_sym_alias_maps">(cls);
    if (!maps) {
        return error;
    }
    if (maps.get() != Py_None) {
        Ref zero = new_int(0);
        Ref aliases = zero ? Ref::steal(PyObject_GetItem(maps.get(), zero.get())) : Ref();
        if (!aliases) {
            return error;
        }
        if (!PyDict_Check(aliases.get())) {
            return raise_not_instance(aliases.get(), "dict");
        }
        // Every key is tested before any is deleted: a refusal leaves kwargs whole.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i) {
            Ref key = Ref::borrow(PyList_GET_ITEM(keys, i));
            if (!PyUnicode_Check(key.get())) {
                continue;
            }
            Ref text = lossy_text(key.get());
            PyObject *field = nullptr;
            if (!text || PyDict_GetItemRef(aliases.get(), text.get(), &field) < 0) {
                return error;
            }
            if (field != nullptr) {
                Ref held = Ref::steal(field);
                return reserved_alias_error(cls, text.get(), held.get());
            }
        }
    }
    return delete_keys(kwargs, keys);
}

Error reserved_alias_error(PyObject *cls, PyObject *key, PyObject *field)
{
    Ref name = attr<"__name__">(cls);
    if (!name) {
        return error;
    }
    return raise_format(
        PyExc_TypeError,
        "%S.__init__() got keyword argument '%U', which is reserved as the alias of field '%S'.", name.get(),
        key, field);
}

Error missing_args_error(PyObject *cls, PyObject *names)
{
    return keyword_error(cls, names, "missing", true, ".");
}

}  // namespace norv::symbolic::object::construct
