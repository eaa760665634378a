"""What the tests of SymList's writes share: a list at a path with an empty
call record, the notifications it received, and leak-check rounds on fresh
lists."""

from norv_core import _native as n
from norv_host import symbolic as hs

from host_calls import calls


def made(*elements, path="r", **kwargs):
    """A host list at `path` holding `elements`, with an empty call record."""
    lst = hs.HostList(list(elements), root_path=n.KeyPath.parse(path), **kwargs)
    hs.clear()
    return lst


def notified(lst):
    """The updates sent to `lst`, one list per notification, as tuples."""
    return [[fields_of(u) for u in updates] for target, updates in calls("_notify_field_updates") if target is lst]


def fields_of(update):
    return (str(update.path), update.target, update.field, update.old_value, update.new_value)


def rebuilt(op, spec=None, raises=(), elements=lambda: [0, 1, 2, 3], **kwargs):
    """`op` on a fresh list of `elements()` at path r, built with `spec` and
    `kwargs`; an exception of `raises` is dropped."""

    def run():
        lst = hs.HostList(elements(), value_spec=spec, root_path=n.KeyPath("r"), **kwargs)
        try:
            op(lst)
        except raises:
            pass

    return run
