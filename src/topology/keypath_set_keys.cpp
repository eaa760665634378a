#include "topology/keypath_set_keys.hpp"

namespace norv::keypath_set::trie {

TextSlot text_keys[TEXT_SETS][2];

// A new str of `t`, kept as the newer in `set` when there is one.
Ref new_text_key(std::string_view t, TextSlot *set, const TextSig &sig)
{
    Ref s = Ref::steal(PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), nullptr));
    if (!s || set == nullptr) {
        return s;
    }
    if (t.size() > TEXT_PACKED && !PyUnicode_IS_COMPACT_ASCII(s.get()) &&
        PyUnicode_AsUTF8AndSize(s.get(), nullptr) == nullptr) {
        return error;
    }
    PyObject *dropped = set[1].str;
    set[1] = set[0];
    set[0] = {sig, Py_NewRef(s.get())};
    // Releasing a str runs no Python code.
    Py_XDECREF(dropped);
    return s;
}

}  // namespace norv::keypath_set::trie
