#include "symbolic/resolve.hpp"

#include "core/names.hpp"
#include "symbolic/markers.hpp"

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
