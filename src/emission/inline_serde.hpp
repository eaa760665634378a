// Inline object serde: the JSON dict of a `sym=False` or open-schema object
// built from its field dict, and the plain-construction test of a JSON dict.
#pragma once

#include <Python.h>

namespace norv::symbolic::object {

// `_native_inline_object_to_json`, `_native_inline_object_to_json_open`,
// `_native_from_json_all_plain`.
PyMethodDef *inline_object_to_json_function();
PyMethodDef *inline_object_to_json_open_function();
PyMethodDef *from_json_all_plain_function();

}  // namespace norv::symbolic::object
