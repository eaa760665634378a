// The emission layer's module functions: each definition lives beside its code,
// and the tables below list them in the host's registration order.
#include "emission/module_functions.hpp"

namespace norv::symbolic::ops {

extern PyMethodDef TO_JSON_WALK_DEF, SET_DEFAULT_SYM_JSONIFY_DEF;

}  // namespace norv::symbolic::ops

namespace norv::symbolic::object {

extern PyMethodDef RENDER_OBJECT_FAST_DEF, INLINE_OBJECT_TO_JSON_DEF, INLINE_OBJECT_TO_JSON_OPEN_DEF,
    FROM_JSON_ALL_PLAIN_DEF;

}  // namespace norv::symbolic::object

namespace norv::module_functions {

namespace {

PyMethodDef *const TO_JSON_WALK_TABLE[] = {
    &symbolic::ops::TO_JSON_WALK_DEF,             // _native_to_json_walk
    &symbolic::ops::SET_DEFAULT_SYM_JSONIFY_DEF,  // _set_default_object_sym_jsonify
};

PyMethodDef *const FAST_RENDER_TABLE[] = {
    &symbolic::object::RENDER_OBJECT_FAST_DEF,  // _render_object_fast
};

PyMethodDef *const INLINE_SERDE_TABLE[] = {
    &symbolic::object::INLINE_OBJECT_TO_JSON_DEF,       // _native_inline_object_to_json
    &symbolic::object::INLINE_OBJECT_TO_JSON_OPEN_DEF,  // _native_inline_object_to_json_open
    &symbolic::object::FROM_JSON_ALL_PLAIN_DEF,         // _native_from_json_all_plain
};

}  // namespace

constinit const FunctionTable TO_JSON_WALK = TO_JSON_WALK_TABLE;
constinit const FunctionTable FAST_RENDER = FAST_RENDER_TABLE;
constinit const FunctionTable INLINE_SERDE = INLINE_SERDE_TABLE;

}  // namespace norv::module_functions
