// What the resolving reads of every container share: an Inferential member
// is read as what its `infer()` returns; the stored member stays as it is.
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace norv::symbolic {

// `member.infer()` when the member is Inferential, else the member itself.
// The Inferential test takes an AttributeError for absence, so one raised
// here always comes from `infer()`: callers that turn it into their own
// error may test for it.
Ref resolve(Ref member);

}  // namespace norv::symbolic
