// The tree state every symbolic node carries: embedded by value in the
// containers (after their value spec and change callback) and in objects
// (after their field dict). Not a Python type of its own.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <utility>

#include "core/error.hpp"
#include "core/none.hpp"
#include "core/ref.hpp"

namespace norv::symbolic {

struct SymNode {
    // References a node gave up. Their release may run finalizers that read
    // the node again, so holders of a node's access flag collect them here
    // and let them go once the access has ended, in the order they were
    // given up.
    class Released {
    public:
        Released() = default;
        Released(const Released &) = delete;
        Released &operator=(const Released &) = delete;
        ~Released()
        {
            for (std::size_t i = 0; i < n_; ++i) {
                refs_[i].reset();
            }
        }
        void add(Ref r)
        {
            if (!r) {
                return;
            }
            if (n_ == refs_.size()) {
                panic("more released references than a node holds");
            }
            refs_[n_++] = std::move(r);
        }

    private:
        std::array<Ref, 6> refs_;
        std::size_t n_ = 0;
    };

    // Absent references read as None wherever Python sees them.
    Ref parent;
    Ref path;
    Ref origin;
    bool sealed = false;
    bool allow_partial = false;
    bool accessor_writable = true;

    // Parent, path and origin become absent, in that order; the flags stay.
    static void clear_refs(SymNode &node, Released &out);

    // The start of a construction: no parent, the given path, the three
    // flags (in this argument order); the origin is left to the caller.
    static void reset_for_construct(SymNode &node, Ref path, bool allow_partial, bool accessor_writable,
                                    bool sealed, Released &out);

    int traverse(visitproc visit, void *arg) const
    {
        Py_VISIT(parent.get());
        Py_VISIT(path.get());
        Py_VISIT(origin.get());
        return 0;
    }
};

}  // namespace norv::symbolic
