#include "nodes/resolve.hpp"

#include "core/names.hpp"
#include "nodes/markers.hpp"

namespace norv::symbolic {

Ref resolve(Ref member)
{
    Maybe<bool> inferential = markers::is_inferential(member.get());
    if (!inferential) {
        return error;
    }
    if (!*inferential) {
        return member;
    }
    return call_method(member.get(), interned<"infer">());
}

}  // namespace norv::symbolic
