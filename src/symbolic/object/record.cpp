#include "symbolic/object/record.hpp"

#include "core/args.hpp"
#include "core/names.hpp"
#include "core/ref.hpp"

namespace norv::symbolic::object {

Maybe<std::size_t> record_reserved_count(PyObject *type)
{
    Ref reserved = attr<"__slot_reserved__">(type);
    Maybe<std::size_t> count = reserved ? to_usize(reserved.get()) : Maybe<std::size_t>(error);
    if (count) {
        return count;
    }
    if (failed(discard_ordinary_error())) {
        return error;
    }
    return std::size_t{0};
}

}  // namespace norv::symbolic::object
