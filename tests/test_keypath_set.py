"""KeyPathSet: the trie of dicts, the set algebra and the Python surface."""

import copy
import gc
import inspect
import sys

import pytest

from norv_core import _native as n

KeyPath = n.KeyPath
KeyPathSet = n.KeyPathSet
P = KeyPath.parse

M = {"$": True}  # the end marker of a node


def texts(s):
    return [str(p) for p in s]


class Key:
    """A hashable key that is neither text nor int (an "other" key)."""

    def __init__(self, name):
        self.name = name

    def __eq__(self, other):
        return isinstance(other, Key) and other.name == self.name

    def __hash__(self):
        return hash(self.name)

    def __repr__(self):
        return f"Key({self.name!r})"

    def __str__(self):
        return self.name


class HookKey(Key):
    """Runs `hook` (once) when hashed or compared, to re-enter a set mid-operation."""

    def __init__(self, name, hook=None):
        super().__init__(name)
        self.hook = hook

    def _fire(self):
        hook, self.hook = self.hook, None
        if hook is not None:
            hook()

    def __hash__(self):
        self._fire()
        return hash(self.name)

    def __eq__(self, other):
        self._fire()
        return super().__eq__(other)

    __ne__ = object.__ne__


# --------------------------------------------------------------------------
# Class shape and registration
# --------------------------------------------------------------------------


def test_registered_after_keypath_before_missing_value():
    names = n.__all__
    assert names.index("KeyPathSet") == names.index("KeyPath") + 1
    assert names.index("KeyPathSet") < names.index("MissingValue")
    assert n.KeyPathSet.__module__ == "norv_core._native"


def test_class_shape():
    s = KeyPathSet(["a"])
    assert KeyPathSet.__hash__ is None
    with pytest.raises(TypeError):
        hash(s)
    with pytest.raises(TypeError):
        len(s)
    with pytest.raises(TypeError):
        class Sub(KeyPathSet):
            pass
    assert KeyPathSet.__norv_formattable__ is True
    assert gc.is_tracked(s)  # its trie is reachable from Python and may hold the set
    with pytest.raises(AttributeError):
        s._trie = {}
    with pytest.raises(AttributeError):
        s.anything = 1


def test_signatures_and_docs():
    assert str(inspect.signature(KeyPathSet)) == "(paths=None, *, include_intermediate=False)"
    assert KeyPathSet.__doc__.strip().endswith("A trie-backed set of `KeyPath`s.")
    expected = {
        "add": "($self, path, include_intermediate=False)",
        "remove": "($self, path)",
        "has_prefix": "($self, root_path)",
        "rebase": "($self, root_path)",
        "clear": "($self)",
        "copy": "($self)",
        "__copy__": "($self)",
        "__deepcopy__": "($self, memo)",
        "update": "($self, other)",
        "union": "($self, other, copy=False)",
        "difference_update": "($self, other)",
        "difference": "($self, other)",
        "intersection_update": "($self, other)",
        "intersection": "($self, other)",
        "subtree": "($self, root_path)",
        "format": "($self, *args, **kwargs)",
    }
    for name, sig in expected.items():
        assert getattr(KeyPathSet, name).__text_signature__ == sig, name
    assert KeyPathSet.from_value.__text_signature__ == "($cls, value, include_intermediate=False)"
    assert str(inspect.signature(KeyPathSet.from_value)) == "(value, include_intermediate=False)"
    assert KeyPathSet.from_value.__self__ is KeyPathSet


# --------------------------------------------------------------------------
# Construction
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((None,), {}),
        (([],), {}),
        ((0,), {}),
        (("",), {}),
        ((), {"include_intermediate": True}),
        (([],), {"include_intermediate": True}),
        ((), {"paths": None}),
    ],
)
def test_empty_constructions(args, kwargs):
    s = KeyPathSet(*args, **kwargs)
    assert s._trie == {}
    assert not s
    assert list(s) == []


@pytest.mark.parametrize(
    "paths, kwargs, trie, order",
    [
        ([""], {}, {"$": True}, [""]),
        (["a.b", "a"], {}, {"a": {"b": M, "$": True}}, ["a.b", "a"]),
        (["a", "a.b"], {}, {"a": {"$": True, "b": M}}, ["a", "a.b"]),
        (["a.b"], {"include_intermediate": True}, {"a": {"b": M, "$": True}, "$": True}, ["a.b", "a", ""]),
        (["a.b", "c[0]"], {}, {"a": {"b": M}, "c": {0: M}}, ["a.b", "c[0]"]),
        (["ab"], {}, {"ab": M}, ["ab"]),
        ("ab", {}, {"a": M, "b": M}, ["a", "b"]),  # a str is iterated char by char
        ([3, P("[0].x")], {}, {3: M, 0: {"x": M}}, ["[3]", "[0].x"]),
        (["a.b", "a.b"], {}, {"a": {"b": M}}, ["a.b"]),
        (iter(["x", "y"]), {}, {"x": M, "y": M}, ["x", "y"]),
        (("a", "b.c"), {"include_intermediate": True}, {"a": M, "$": True, "b": {"c": M, "$": True}},
         ["a", "", "b.c", "b"]),
    ],
)
def test_construction_shapes_and_order(paths, kwargs, trie, order):
    s = KeyPathSet(paths, **kwargs)
    assert s._trie == trie
    assert list(s._trie) == list(trie)
    assert texts(s) == order


def test_construction_from_a_set_re_adds_its_paths():
    src = KeyPathSet(["a.b", "c"])
    s = KeyPathSet(src, include_intermediate=True)
    assert texts(s) == ["a.b", "a", "", "c"]
    assert s._trie is not src._trie


@pytest.mark.parametrize(
    "args, kwargs, error, match",
    [
        ((5,), {}, TypeError, "'int' object is not iterable"),
        ((["a", 1.5],), {}, ValueError, r"^1\.5 is not a valid KeyPath equivalence\.$"),
        ((["a["],), {}, ValueError, r"^KeyPath parse failed: unmatched open bracket at position 1: 'a\['$"),
        (([],), {"include_intermediate": 1},
         TypeError, r"^argument 'include_intermediate': 'int' object is not an instance of 'bool'$"),
        # include_intermediate is checked before the paths are touched
        ((5,), {"include_intermediate": None},
         TypeError, r"^argument 'include_intermediate': 'None' is not an instance of 'bool'$"),
        (([], True), {}, TypeError, "positional argument"),
        ((), {"path": []}, TypeError, "unexpected keyword argument 'path'"),
    ],
)
def test_construction_errors(args, kwargs, error, match):
    with pytest.raises(error, match=match):
        KeyPathSet(*args, **kwargs)


def test_construction_error_from_the_iterator_propagates():
    def gen():
        yield "a"
        raise LookupError("boom")

    with pytest.raises(LookupError, match="boom"):
        KeyPathSet(gen())


def test_construction_truthiness_error_propagates():
    class Falsy:
        def __bool__(self):
            raise ArithmeticError("no truth")

        def __iter__(self):
            return iter(["a"])

    with pytest.raises(ArithmeticError, match="no truth"):
        KeyPathSet(Falsy())


def test_numpy_bool_is_accepted():
    np = pytest.importorskip("numpy")
    s = KeyPathSet(["a.b"], include_intermediate=np.bool_(True))
    assert texts(s) == ["a.b", "a", ""]
    assert s.add("x.y", include_intermediate=np.bool_(False))
    assert "x" not in s


# --------------------------------------------------------------------------
# Keys in the trie
# --------------------------------------------------------------------------


def test_trie_keys_are_plain_objects():
    class S(str):
        pass

    class I(int):
        pass

    k = Key("k")
    s = KeyPathSet([KeyPath([S("t"), I(7), k])])
    (t,) = s._trie
    assert type(t) is str and t == "t"
    (i,) = s._trie[t]
    assert type(i) is int and i == 7
    (stored,) = s._trie[t][i]
    assert stored is k
    (p,) = s
    assert p.keys == ["t", 7, k] and p.keys[2] is k


def test_equal_keys_share_one_entry_and_keep_the_first_object():
    s = KeyPathSet()
    assert s.add(KeyPath([True]))
    assert not s.add(KeyPath([1]))
    assert not s.add(KeyPath([1.0]))
    (key,) = s._trie
    assert key is True
    (p,) = s
    assert p.keys[0] is True
    assert KeyPath([1]) in s


def test_huge_int_key_is_kept_as_an_object():
    big = 2**64
    s = KeyPathSet([KeyPath([big])])
    (key,) = s._trie
    assert key == big
    assert list(s)[0].keys == [big]


# --------------------------------------------------------------------------
# Path text read by the set, and the text keys it shares
# --------------------------------------------------------------------------

# Text the set reads without a KeyPath (plain segments, `[digits]`) and text
# that only the scanner reads; both must give exactly KeyPath.parse's keys.
PATH_TEXTS = [
    "", "a", "a.b.c", ".a..b.", "a[0]", "a[0]b", "a.[0]", "[0]", "[0][1]", "a[007]",
    "a[123456789012345678]", "a[1234567890123456789]", "a[99999999999999999999]",
    "a[-1]", "a[]", "a[x]", "a[x.y]", "a[[0]]", "a[٣]", "ä.ö[3].ü", "$", "a.$.b",
    "k" * 15, "k" * 16, "k" * 64, "k" * 65, ".".join("abcdefghijklmnopqrstuvwxyz"),
]


@pytest.mark.parametrize("text", PATH_TEXTS)
def test_path_text_reads_as_its_parsed_path(text):
    path = P(text)
    by_text, by_path = KeyPathSet([text, "zz.top"]), KeyPathSet([path, "zz.top"])
    assert repr(by_text._trie) == repr(by_path._trie)
    assert text in by_path and path in by_text
    assert by_path.has_prefix(text) and by_text.has_prefix(path)
    assert by_path.subtree(text) == by_text.subtree(path)
    assert by_path.add(text) is False and by_text.add(path) is False
    assert by_path.remove(text) is True and text not in by_path
    assert KeyPathSet([path + "x"]).has_prefix(text)
    assert text + "q" not in by_path and text + ".q" not in by_text


@pytest.mark.parametrize("text", ["a]", "a[", "a[0]]", "a[b[0]", "a[--2]", "x.\ud800"])
def test_unreadable_path_text_fails_as_parsing_does(text):
    with pytest.raises(Exception) as expected:
        KeyPath.from_value(text)
    s = KeyPathSet(["a.b"])
    for call in (lambda: text in s, lambda: s.add(text), lambda: s.has_prefix(text),
                 lambda: KeyPathSet(["a", text])):
        with pytest.raises(type(expected.value)) as raised:
            call()
        assert str(raised.value) == str(expected.value)
    assert s._trie == {"a": {"b": M}}


def test_many_distinct_text_keys():
    # More names than the shared text keys can hold at once, of every size
    # around the boundaries of how they are told apart.
    names = [f"{c * (i % 70)}{i}" for i, c in enumerate("abcé" * 1500)]
    paths = [f"{n}.{m}" for n, m in zip(names, reversed(names))]
    s = KeyPathSet(paths)
    other = KeyPathSet(f"x{i}.y" for i in range(5000))
    assert all(p in s for p in paths)
    assert all(P(p) in s for p in paths[::7])
    assert not any(p + "_" in s for p in paths[::7])
    assert all(type(k) is str for k in s._trie)
    assert sorted(s._trie) == sorted(set(names))
    assert texts(s) == paths and len(list(other)) == 5000


def test_shared_text_keys_stay_bounded():
    def churn(offset):
        s = KeyPathSet(f"key{i}.sub{i}" for i in range(offset, offset + 20000))
        assert f"key{offset}.sub{offset}" in s

    churn(0)
    before = sys.getallocatedblocks()
    churn(10**6)
    assert sys.getallocatedblocks() - before < 1000


# A build compares each path with the one before to skip the steps they share;
# it must give what adding the paths one by one gives, node order included.
BUILDS = [
    ["a.b.c", "a.b.d", "a.x", "a.b.c", "a.b", "a", "", "a.b.c.d", "b"],
    ["a.$.b", "a.b", "a", "a.$", "a.$.c", "a.b.c", "b.$.c", "b.$"],
    ["a[0].x", "a[0].y", "a[1].x", P("a[1].y"), KeyPath(["a", 1, "z"]), KeyPath(["a", 2, "z"]),
     P("a.2.z"), P("a.2.y"), "a.1.x", "a[0]"],
    ["a.b", KeyPath(["a", Key("k")]), "a.b.c", "a.c", KeyPath(["a", Key("k"), "x"])],
    ["a.b", "a[-1].c", "a.b.c", "a[x].c", "a[x].d"],
    ["a.b", KeyPath(["a", 2**70]), "a.b.c"],
    # text over 14 bytes is held apart from the key: equal text, other storage
    [P("a_long_section_name.b"), P("a_long_section_name.c"), KeyPath(["a_long_section_name", "d"]),
     P("a_long_section_namf.b"), P("short.a_long_section_name"), P("short.a_long_section_name.x")],
    [P("[0].a"), P("[0]['0']"), KeyPath([0, "0"]), KeyPath(["0", 0]), KeyPath([0, 0])],
]


@pytest.mark.parametrize("intermediate", [False, True])
@pytest.mark.parametrize("container", [list, tuple, iter])
@pytest.mark.parametrize("paths", BUILDS)
def test_build_matches_adding_one_by_one(paths, container, intermediate):
    one_by_one = KeyPathSet()
    for p in paths:
        one_by_one.add(p, include_intermediate=intermediate)
    built = KeyPathSet(container(paths), include_intermediate=intermediate)
    assert repr(built._trie) == repr(one_by_one._trie)
    assert texts(built) == texts(one_by_one)


@pytest.mark.parametrize("change", ["append", "pop"])
def test_build_reads_a_list_changed_by_a_key_as_its_iterator_does(change):
    paths = [P("a.b"), P("a.c")]

    def hook():
        if change == "append":
            paths.append(P("z"))
        else:
            paths.pop()

    paths.insert(1, KeyPath(["a", HookKey("k", hook)]))
    expected = [str(p) for p in iter(list(paths))]
    built = KeyPathSet(paths)
    assert texts(built) == (expected + ["z"] if change == "append" else expected[:2])


@pytest.mark.parametrize("paths", [["a", "a.b", "a.$.c"], ["a", "a.b", "a.$"]])
def test_build_of_a_non_dict_node_reached_through_shared_steps_fails(paths):
    with pytest.raises(TypeError, match=r"^'bool' object is not an instance of 'dict'$"):
        KeyPathSet(paths)


# --------------------------------------------------------------------------
# add / remove / membership / prefixes
# --------------------------------------------------------------------------


def test_add_reports_change():
    s = KeyPathSet()
    assert s.add("x") is True
    assert s.add("x") is False
    assert s.add("x.y") is True
    assert s.add(P("x.y")) is False
    # a node that exists without its marker is not a member yet
    t = KeyPathSet(["a.b"])
    assert t.add("a") is True
    assert t._trie == {"a": {"b": M, "$": True}}


def test_add_include_intermediate_marks_only_from_the_deepest_existing_node():
    s = KeyPathSet(["a.b.c"])
    assert s.add("a.b.x.y", include_intermediate=True) is True
    assert s._trie == {"a": {"b": {"c": M, "x": {"y": M, "$": True}, "$": True}}}
    assert texts(s) == ["a.b.c", "a.b.x.y", "a.b.x", "a.b"]
    assert "a" not in s and "" not in s
    # all nodes exist: only the path itself is marked
    assert s.add("a.b.c", include_intermediate=True) is False
    assert s.add("a", include_intermediate=True) is True
    assert "" not in s


def test_add_include_intermediate_on_existing_prefix_keeps_marker_position():
    s = KeyPathSet(["a"])
    s.add("a.b", include_intermediate=True)
    assert list(s._trie["a"]) == ["$", "b"]
    assert texts(s) == ["a", "a.b"]


@pytest.mark.parametrize(
    "paths, removed, result, trie",
    [
        (["a.b"], "a.b", True, {}),
        (["a", "a.b"], "a", True, {"a": {"b": M}}),
        (["a", "a.b"], "a.b", True, {"a": M}),
        (["a.b"], "a", False, {"a": {"b": M}}),
        (["a.b"], "zz", False, {"a": {"b": M}}),
        (["a.b"], "a.b.c", False, {"a": {"b": M}}),
        ([""], "", True, {}),
        (["", "a"], "", True, {"a": M}),
        (["a.b.c", "a.x"], "a.b.c", True, {"a": {"x": M}}),
        (["c[0]"], P("c[0]"), True, {}),
        (["c[0]"], "c.0", False, {"c": {0: M}}),
    ],
)
def test_remove(paths, removed, result, trie):
    s = KeyPathSet(paths)
    root = s._trie
    assert s.remove(removed) is result
    assert s._trie is root
    assert s._trie == trie


def test_remove_twice():
    s = KeyPathSet(["x"])
    assert s.remove("x") is True
    assert s.remove("x") is False


def test_membership_and_prefixes():
    s = KeyPathSet(["a.b", "c[0]"])
    for member in ["a.b", P("a.b"), KeyPath(["a", "b"]), "c[0]"]:
        assert member in s
    for other in ["a", "", "c", "c.0", "a.b.c", "x", 0]:
        assert other not in s
    for prefix in ["a", "", "a.b", "c", "c[0]", KeyPath()]:
        assert s.has_prefix(prefix) is True
    for prefix in ["b", "a.c", "a.b.c", "c.0"]:
        assert s.has_prefix(prefix) is False
    assert KeyPathSet().has_prefix("") is True


def test_empty_branch_counts_for_prefix_truth_and_equality():
    s = KeyPathSet()
    s.rebase("x")
    assert s._trie == {"x": {}}
    assert s.has_prefix("x")
    assert "x" not in s
    assert s
    assert list(s) == []
    assert s != KeyPathSet()


@pytest.mark.parametrize(
    "call",
    [
        lambda s, v: v in s,
        lambda s, v: s.add(v),
        lambda s, v: s.remove(v),
        lambda s, v: s.has_prefix(v),
        lambda s, v: s.subtree(v),
        lambda s, v: s.rebase(v),
    ],
)
@pytest.mark.parametrize(
    "value, error, match",
    [
        (None, ValueError, r"^None is not a valid KeyPath equivalence\.$"),
        (1.5, ValueError, r"^1\.5 is not a valid KeyPath equivalence\.$"),
        (["a"], ValueError, r"^\['a'\] is not a valid KeyPath equivalence\.$"),
        ("a]", ValueError, r"^KeyPath parse failed: unmatched close bracket at position 1:'a\]'$"),
    ],
)
def test_path_conversion_errors_leave_the_trie_alone(call, value, error, match):
    s = KeyPathSet(["a.b"])
    root = s._trie
    with pytest.raises(error, match=match):
        call(s, value)
    assert s._trie is root and root == {"a": {"b": M}}


def test_include_intermediate_checked_before_path():
    s = KeyPathSet()
    with pytest.raises(TypeError, match="^argument 'include_intermediate'"):
        s.add(None, include_intermediate="yes")
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'path'"):
        s.add()
    with pytest.raises(TypeError):
        s.remove("a", "b")


def test_non_dict_node_errors():
    s = KeyPathSet(["x"])
    s._trie["a"] = 5
    msg = r"^'int' object is not an instance of 'dict'$"
    for op in (lambda: "a.b" in s, lambda: s.add("a.b"), lambda: s.remove("a.b"),
               lambda: s.subtree("a"), lambda: s.has_prefix("a.b"), lambda: list(s)):
        with pytest.raises(TypeError, match=msg):
            op()
    # a non-dict value is copied as it is, like the marker
    assert s.copy()._trie == {"x": M, "a": 5}


def test_dict_subclass_nodes_are_accepted():
    class D(dict):
        pass

    s = KeyPathSet()
    s._trie["a"] = D({"$": True, "b": D({"$": True})})
    assert texts(s) == ["a", "a.b"]
    assert "a.b" in s
    assert s.add("a.c")
    assert s.remove("a.b")
    assert type(s._trie["a"]) is D


# --------------------------------------------------------------------------
# The "$" marker collision
# --------------------------------------------------------------------------


def test_dollar_key_collides_with_the_marker():
    s = KeyPathSet()
    assert s.add("a.$.b")
    assert s._trie == {"a": {"$": {"b": M}}}
    assert texts(s) == ["a"]
    assert "a.$.b" in s
    t = KeyPathSet(["a"])
    with pytest.raises(TypeError, match=r"^'bool' object is not an instance of 'dict'$"):
        t.add("a.$")


def test_marker_recognised_by_equality_when_enumerating():
    class Dollar(str):
        pass

    s = KeyPathSet()
    s._trie["a"] = {Dollar("$"): True}
    assert texts(s) == ["a"]


def test_marking_prefixes_keeps_a_branch_behind_a_dollar_key():
    s = KeyPathSet(["a.$.b"])
    assert s.add("a.c", include_intermediate=True)
    assert s._trie == {"a": {"$": {"b": M}, "c": M}}
    assert "a.$.b" in s and "a.c" in s


def test_union_never_drops_paths_behind_a_dollar_key():
    # {a.$.b} united with {a}: the target keeps its a.$.b branch
    s = KeyPathSet(["a.$.b"])
    s.update(KeyPathSet(["a"]))
    assert "a.$.b" in s and "a" in s
    # and the other way round, the branch is copied in
    t = KeyPathSet(["a"])
    t.update(KeyPathSet(["a.$.b"]))
    assert "a.$.b" in t and "a" in t


# --------------------------------------------------------------------------
# subtree, rebase, clear
# --------------------------------------------------------------------------


def test_subtree_is_a_shared_view():
    s = KeyPathSet(["a.b", "x"])
    assert s.subtree("") is s
    assert s.subtree(KeyPath()) is s
    assert s.subtree("zzz") is None
    assert s.subtree("a.b.c") is None
    t = s.subtree("a")
    assert type(t) is KeyPathSet
    assert texts(t) == ["b"]
    assert t._trie is s._trie["a"]
    assert t.add("c")
    assert "a.c" in s
    assert s.remove("a.b")
    assert texts(t) == ["c"]
    # the marker of the sub-tree's node is its empty path
    s.add("a")
    assert "" in t


def test_subtree_of_a_leaf_holds_the_empty_path():
    s = KeyPathSet(["a.b"])
    leaf = s.subtree("a.b")
    assert texts(leaf) == [""]


def test_rebase():
    s = KeyPathSet(["a.b"])
    old = s._trie
    assert s.rebase("r") is None
    assert texts(s) == ["r.a.b"]
    assert s._trie["r"] is old
    s.rebase(P("x[0]"))
    assert texts(s) == ["x[0].r.a.b"]
    assert s._trie == {"x": {0: {"r": {"a": {"b": M}}}}}


def test_rebase_keeps_sharing_and_adds_no_markers():
    s = KeyPathSet(["", "a"])
    old = s._trie
    view = s.subtree("a")
    s.rebase("x.y")
    assert s._trie == {"x": {"y": {"$": True, "a": M}}}
    assert "x" not in s and "x.y" in s
    old["b"] = {"$": True}
    assert "x.y.b" in s
    view.add("c")
    assert "x.y.a.c" in s


@pytest.mark.parametrize("prefix", ["", KeyPath()])
def test_rebase_empty_prefix_keeps_the_root(prefix):
    s = KeyPathSet(["a"])
    root = s._trie
    s.rebase(prefix)
    assert s._trie is root
    assert texts(s) == ["a"]


def test_rebase_marker_under_prefix():
    s = KeyPathSet([""])
    s.rebase("x.y")
    assert s._trie == {"x": {"y": M}}


def test_rebase_empty_set():
    s = KeyPathSet()
    s.rebase("x.y")
    assert s._trie == {"x": {"y": {}}}
    assert s and list(s) == [] and s != KeyPathSet()


def test_clear():
    s = KeyPathSet(["a.b", "c"])
    root = s._trie
    view = s.subtree("a")
    assert s.clear() is None
    assert s._trie is root and root == {}
    assert not s
    # the earlier view keeps its node, now detached
    assert texts(view) == ["b"]


def test_clear_of_a_view_leaves_an_empty_branch():
    s = KeyPathSet(["a.b", "c"])
    s.subtree("a").clear()
    assert s._trie == {"a": {}, "c": M}
    assert texts(s) == ["c"]
    assert s.has_prefix("a")


def test_trie_identity():
    s = KeyPathSet(["a"])
    root = s._trie
    assert s._trie is root
    s.add("b")
    s.remove("a")
    s.update(KeyPathSet(["z"]))
    s.difference_update(KeyPathSet(["z"]))
    s.intersection_update(KeyPathSet(["b"]))
    s.rebase("")
    s.clear()
    assert s._trie is root
    s.rebase("q")
    assert s._trie is not root


def test_changes_through_trie_are_changes_of_the_set():
    s = KeyPathSet()
    s._trie["a"] = {"$": True}
    assert "a" in s
    assert texts(s) == ["a"]


# --------------------------------------------------------------------------
# Copies
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "make_copy",
    [
        lambda s: s.copy(),
        lambda s: s.__copy__(),
        lambda s: copy.copy(s),
        lambda s: copy.deepcopy(s),
        lambda s: s.__deepcopy__(None),
        lambda s: s.__deepcopy__({}),
    ],
)
def test_copies_are_deep(make_copy):
    s = KeyPathSet(["a.b", "c[0]", ""])
    c = make_copy(s)
    assert type(c) is KeyPathSet
    assert c == s
    assert c._trie is not s._trie
    assert c._trie["a"] is not s._trie["a"]
    assert list(c._trie) == list(s._trie)
    c.add("z")
    c.remove("a.b")
    assert texts(s) == ["a.b", "c[0]", ""]


def test_copy_keeps_int_and_str_keys_and_deep_copies_other_keys():
    k = Key("k")
    s = KeyPathSet([KeyPath(["name", 12345678901, k])])
    c = s.copy()
    (name,) = c._trie
    assert name is next(iter(s._trie))
    (big,) = c._trie[name]
    assert big is next(iter(s._trie["name"]))
    (copied,) = c._trie[name][big]
    assert copied == k and copied is not k


def test_copy_propagates_deepcopy_error():
    class NoCopy(Key):
        def __deepcopy__(self, memo):
            raise RuntimeError("no copy")

    s = KeyPathSet([KeyPath([NoCopy("x")])])
    with pytest.raises(RuntimeError, match="no copy"):
        s.copy()


def test_deepcopy_requires_memo():
    with pytest.raises(TypeError, match="memo"):
        KeyPathSet().__deepcopy__()


# --------------------------------------------------------------------------
# Set algebra
# --------------------------------------------------------------------------

ALGEBRA = [
    # op, left, right, result (enumeration order), result trie
    ("union", ["a.b", "c"], ["a.d", "c", "e"], ["a.b", "a.d", "c", "e"],
     {"a": {"b": M, "d": M}, "c": M, "e": M}),
    ("union", ["a.b"], ["a"], ["a.b", "a"], {"a": {"b": M, "$": True}}),
    ("union", [], ["x.y"], ["x.y"], {"x": {"y": M}}),
    ("union", ["x"], [], ["x"], {"x": M}),
    ("union", [""], ["a"], ["", "a"], {"$": True, "a": M}),
    ("difference", ["a.b", "a.c", "d"], ["a.b", "d", "x"], ["a.c"], {"a": {"c": M}}),
    ("difference", ["a.b"], ["a.b"], [], {}),
    ("difference", ["a", "a.b"], ["a.b"], ["a"], {"a": M}),
    ("difference", ["a"], ["a.b"], ["a"], {"a": M}),
    ("difference", ["a.b"], ["a"], ["a.b"], {"a": {"b": M}}),
    ("difference", ["", "a"], [""], ["a"], {"a": M}),
    ("difference", ["x"], [], ["x"], {"x": M}),
    ("intersection", ["a.b", "a.c", "d"], ["a.b", "d", "x"], ["a.b", "d"], {"a": {"b": M}, "d": M}),
    ("intersection", ["a"], ["a.b"], [], {}),
    ("intersection", ["a.b"], ["a"], [], {}),
    ("intersection", ["a.b", "c"], [], [], {}),
    ("intersection", ["", "a.b"], ["", "a.c"], [""], {"$": True}),
    ("intersection", ["c[0]", "c[1]"], ["c[1]"], ["c[1]"], {"c": {1: M}}),
]


@pytest.mark.parametrize("op, left, right, result, trie", ALGEBRA)
def test_set_algebra_copying(op, left, right, result, trie):
    a, b = KeyPathSet(left), KeyPathSet(right)
    a_root, b_root = a._trie, b._trie
    r = getattr(a, op)(b)
    assert type(r) is KeyPathSet
    assert r is not a and r is not b
    assert texts(r) == result
    assert r._trie == trie
    # operands unchanged and not shared with the result
    assert texts(a) == texts(KeyPathSet(left))
    assert texts(b) == texts(KeyPathSet(right))
    assert a._trie is a_root and b._trie is b_root
    r.add("fresh.path")
    assert "fresh.path" not in a and "fresh.path" not in b


@pytest.mark.parametrize("op, left, right, result, trie", ALGEBRA)
def test_set_algebra_in_place(op, left, right, result, trie):
    a, b = KeyPathSet(left), KeyPathSet(right)
    root = a._trie
    method = {"union": "update"}.get(op, op + "_update")
    assert getattr(a, method)(b) is None
    assert a._trie is root
    assert texts(a) == result
    assert a._trie == trie
    assert texts(b) == texts(KeyPathSet(right))


@pytest.mark.parametrize("op, left, right, result, trie",
                         [row for row in ALGEBRA if row[0] == "union"])
def test_union_forms_agree(op, left, right, result, trie):
    a, b = KeyPathSet(left), KeyPathSet(right)
    for r in (a + b, a.union(b, copy=True), a.union(b, copy=False), a.union(other=b)):
        assert texts(r) == result and r._trie == trie
        assert r is not a and r is not b
    assert texts(a) == texts(KeyPathSet(left))


def test_union_copies_branches_in():
    a, b = KeyPathSet(["x"]), KeyPathSet(["y.z"])
    a.update(b)
    assert a._trie["y"] is not b._trie["y"]
    b.add("y.w")
    assert "y.w" not in a


def test_self_operations():
    s = KeyPathSet(["a.b", "c", ""])
    assert texts(s.difference(s)) == []
    assert s.intersection(s) == s
    assert s.union(s) == s
    t = s.copy()
    t.update(t)
    assert t == s
    t.intersection_update(t)
    assert t == s
    root = t._trie
    t.difference_update(t)
    assert t._trie is root and root == {}


def test_intersection_drops_empty_branches():
    s = KeyPathSet(["a"])
    s._trie["e"] = {}
    assert s.intersection(s)._trie == {"a": M}
    assert s.intersection(s) != s


OTHER_METHODS = ["update", "union", "difference_update", "difference", "intersection_update", "intersection"]


@pytest.mark.parametrize("method", OTHER_METHODS)
@pytest.mark.parametrize(
    "other, detail",
    [
        (["a"], "'list' object is not an instance of 'KeyPathSet'"),
        (None, "'None' is not an instance of 'KeyPathSet'"),
        ("a", "'str' object is not an instance of 'KeyPathSet'"),
        (KeyPath(["a"]), "'KeyPath' object is not an instance of 'KeyPathSet'"),
        ({"a": {"$": True}}, "'dict' object is not an instance of 'KeyPathSet'"),
    ],
)
def test_other_must_be_a_set(method, other, detail):
    s = KeyPathSet(["a"])
    with pytest.raises(TypeError) as info:
        getattr(s, method)(other)
    assert str(info.value) == f"argument 'other': {detail}"
    assert isinstance(info.value.__cause__, TypeError)
    assert str(info.value.__cause__) == detail
    assert texts(s) == ["a"]


def test_union_copy_flag():
    s, t = KeyPathSet(["a"]), KeyPathSet(["b"])
    with pytest.raises(TypeError, match=r"^argument 'copy': 'int' object is not an instance of 'bool'$"):
        s.union(t, copy=1)
    # other is checked before copy
    with pytest.raises(TypeError, match=r"^argument 'other'"):
        s.union(["a"], copy=1)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'other'"):
        s.union()
    with pytest.raises(TypeError):
        s.union(t, True, 3)


def test_add_operator():
    s = KeyPathSet(["a"])
    assert s.__add__(["a"]) is NotImplemented
    assert s.__add__(KeyPath("a")) is NotImplemented
    unsupported = r"unsupported operand type\(s\) for \+: '(norv_core\._native\.)?KeyPathSet' and 'list'"
    with pytest.raises(TypeError, match=unsupported):
        s + ["a"]
    with pytest.raises(TypeError):
        ["a"] + s
    with pytest.raises(TypeError):
        s + KeyPath("b")
    with pytest.raises(TypeError):
        s + None


# --------------------------------------------------------------------------
# Equality
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (KeyPathSet(["a"]), KeyPathSet(["a"]), True),
        (KeyPathSet(["a.b", "c"]), KeyPathSet(["c", "a.b"]), True),
        (KeyPathSet(), KeyPathSet(), True),
        (KeyPathSet(["a"]), KeyPathSet(["b"]), False),
        (KeyPathSet(["a.b"]), KeyPathSet(["a.b"], include_intermediate=True), False),
        (KeyPathSet(["a"]), ["a"], False),
        (KeyPathSet(["a"]), "a", False),
        (KeyPathSet(["a"]), {"a": {"$": True}}, False),
        (KeyPathSet(), None, False),
        (KeyPathSet([1]), KeyPathSet([KeyPath([True])]), True),
    ],
)
def test_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)


def test_ordering_is_refused():
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(KeyPathSet(), op)(KeyPathSet()) is NotImplemented
    with pytest.raises(TypeError):
        KeyPathSet() < KeyPathSet()
    with pytest.raises(TypeError):
        KeyPathSet() >= KeyPathSet()


def test_equality_propagates_key_comparison_errors():
    class Bad(Key):
        def __eq__(self, other):
            raise ArithmeticError("eq")

        __hash__ = Key.__hash__

    a = KeyPathSet([KeyPath([Bad("x")])])
    b = KeyPathSet([KeyPath([Bad("x")])])
    with pytest.raises(ArithmeticError, match="eq"):
        a == b


# --------------------------------------------------------------------------
# Text forms
# --------------------------------------------------------------------------


def test_text_forms():
    assert repr(KeyPathSet()) == "KeyPathSet()"
    assert str(KeyPathSet()) == "KeyPathSet()"
    s = KeyPathSet(["a.b", "c[0]", ""])
    assert repr(s) == "KeyPathSet([a.b, c[0], ])"
    assert str(s) == "KeyPathSet(\n  [a.b, c[0], ]\n)"
    assert s.format() == repr(s)
    assert s.format(compact=False, verbose=True) == str(s)
    assert s.format(1, 2, compact=True) == repr(s)


def test_verbose_text_wraps_long_lists():
    names = [f"p{i:02}" for i in range(30)]
    s = KeyPathSet(names)
    assert str(s) == "KeyPathSet(\n  [\n" + ",\n".join("    " + x for x in names) + "\n  ]\n)"
    assert repr(s) == "KeyPathSet([" + ", ".join(names) + "])"
    assert s.format(compact=False, list_wrap_threshold=1000) == "KeyPathSet(\n  [" + ", ".join(names) + "]\n)"


@pytest.mark.parametrize("label", ["x", None, "KeyPathSet"])
def test_format_refuses_label(label):
    with pytest.raises(TypeError) as info:
        KeyPathSet(["a"]).format(label=label)
    assert str(info.value) == "format() got multiple values for keyword argument 'label'"


def test_format_options_reach_kvlist_str():
    s = KeyPathSet(["a"])
    assert s.format(bracket_type=1) == "KeyPathSet[[a]]"
    assert s.format(compact=False, root_indent=1) == "KeyPathSet(\n    [a]\n  )"
    with pytest.raises(IndexError, match="list index out of range"):
        s.format(bracket_type=7)


def test_formatter_renders_set_through_its_format():
    s = KeyPathSet(["a", "b.c"])
    assert n.format(s) == str(s)
    assert n.format(s, compact=True) == repr(s)
    assert n.format([s], compact=True) == "[KeyPathSet([a, b.c])]"
    assert n.format({"k": s}, compact=True) == "{'k': KeyPathSet([a, b.c])}"


def test_path_rendering_error_propagates():
    class BadStr(Key):
        def __str__(self):
            raise LookupError("no text")

    s = KeyPathSet([KeyPath([BadStr("x")])])
    with pytest.raises(LookupError, match="no text"):
        repr(s)


# --------------------------------------------------------------------------
# from_value
# --------------------------------------------------------------------------


class MyList(list):
    pass


@pytest.mark.parametrize(
    "value, kwargs, expected",
    [
        (("a", "b"), {}, ["a", "b"]),
        (["a.b"], {}, ["a.b"]),
        (["a.b"], {"include_intermediate": True}, ["a.b", "a", ""]),
        ({"x"}, {}, ["x"]),
        (MyList(["q", "r.s"]), {}, ["q", "r.s"]),
        ([], {}, []),
        ((), {"include_intermediate": False}, []),
    ],
)
def test_from_value_builds(value, kwargs, expected):
    s = KeyPathSet.from_value(value, **kwargs)
    assert type(s) is KeyPathSet
    assert texts(s) == expected


def test_from_value_returns_a_set_itself():
    s = KeyPathSet(["a.b"])
    assert KeyPathSet.from_value(s) is s
    assert KeyPathSet.from_value(s, include_intermediate=True) is s
    assert texts(s) == ["a.b"]
    assert KeyPathSet.from_value(value=s) is s


@pytest.mark.parametrize(
    "value, shown",
    [
        (frozenset({"a"}), "frozenset({'a'})"),
        ("a", "'a'"),
        (KeyPath(["a"]), "a"),
        (None, "None"),
        ({"a": 1}, "{'a': 1}"),
        (5, "5"),
    ],
)
def test_from_value_refuses(value, shown):
    with pytest.raises(ValueError) as info:
        KeyPathSet.from_value(value)
    assert str(info.value) == f"Cannot convert {shown} to KeyPathSet. Expected a list, set, tuple, or KeyPathSet."


def test_from_value_refuses_iterators_and_propagates_repr_errors():
    with pytest.raises(ValueError, match="^Cannot convert <list_iterator"):
        KeyPathSet.from_value(iter([]))

    class BadRepr:
        def __repr__(self):
            raise LookupError("no repr")

    with pytest.raises(LookupError, match="no repr"):
        KeyPathSet.from_value(BadRepr())


def test_from_value_checks_include_intermediate_first():
    not_bool = r"^argument 'include_intermediate': 'int' object is not an instance of 'bool'$"
    with pytest.raises(TypeError, match=not_bool):
        KeyPathSet.from_value("not convertible", include_intermediate=1)
    with pytest.raises(TypeError, match="^argument 'include_intermediate'"):
        KeyPathSet.from_value(KeyPathSet(), include_intermediate=None)


def test_from_value_path_errors_propagate():
    with pytest.raises(ValueError, match=r"^1\.5 is not a valid KeyPath equivalence\.$"):
        KeyPathSet.from_value([1.5])


# --------------------------------------------------------------------------
# Iteration
# --------------------------------------------------------------------------


def test_iteration_is_a_snapshot_of_new_paths():
    s = KeyPathSet(["a", "b"])
    seen = []
    for p in s:
        seen.append(str(p))
        s.add("z" + str(p))
        s.remove("b")
    assert seen == ["a", "b"]
    assert texts(s) == ["a", "za", "zb"]
    first, again = next(iter(s)), next(iter(s))
    assert type(first) is KeyPath and first == again and first is not again


def test_iteration_order_follows_marker_position():
    s = KeyPathSet(["x.y"])
    s.add("x")
    s.add("x.a")
    assert texts(s) == ["x.y", "x", "x.a"]


# --------------------------------------------------------------------------
# Re-entrant access
# --------------------------------------------------------------------------


def test_reentry_during_rebase():
    s = KeyPathSet(["a"])
    seen = {}

    def hook():
        def attempt(name, fn):
            try:
                seen[name] = fn()
            except RuntimeError as e:
                seen[name] = ("RuntimeError", str(e))
            except n.PanicException as e:
                seen[name] = ("Panic", str(e))

        attempt("add", lambda: s.add("b"))
        attempt("bool", lambda: bool(s))
        attempt("iter", lambda: list(s))
        attempt("trie", lambda: s._trie)
        attempt("rebase", lambda: s.rebase("q"))
        attempt("eq", lambda: s.__eq__(KeyPathSet()))
        attempt("ne", lambda: s.__ne__(KeyPathSet()))
        attempt("plus", lambda: s.__add__(KeyPathSet()))
        attempt("same", lambda: s == s)
        attempt("other", lambda: KeyPathSet().update(s))
        attempt("other_eq", lambda: KeyPathSet() == s)
        attempt("from_value", lambda: KeyPathSet.from_value(s) is s)

    s.rebase(KeyPath([HookKey("r", hook)]))
    busy = ("RuntimeError", "Already mutably borrowed")
    assert seen["add"] == busy
    assert seen["bool"] == busy
    assert seen["iter"] == busy
    assert seen["trie"] == busy
    assert seen["rebase"] == ("RuntimeError", "Already borrowed")
    assert seen["eq"] is NotImplemented
    assert seen["ne"] is NotImplemented
    assert seen["plus"] is NotImplemented
    assert seen["same"] is True  # both sides decline; Python falls back to identity
    assert seen["other"][0] == "Panic" and seen["other"][1].startswith("Already mutably borrowed")
    assert seen["other_eq"][0] == "Panic"
    assert seen["from_value"] is True
    # the set is usable afterwards
    assert texts(s) == ["[r].a"]
    assert s.add("b")


def test_rebase_refused_while_another_operation_runs():
    s = KeyPathSet()
    seen = []

    def hook():
        try:
            s.rebase("x")
        except RuntimeError as e:
            seen.append(str(e))

    assert s.add(KeyPath([HookKey("k", hook)]))
    assert seen == ["Already borrowed"]
    assert s._trie == {HookKey("k"): M}


def test_dict_changed_during_iteration_is_an_internal_fault():
    s = KeyPathSet(["a"])
    trie = s._trie
    key = HookKey("k")
    s.add(KeyPath([key]))
    s.add("b")
    key.hook = lambda: trie.__setitem__("c", {"$": True})
    with pytest.raises(n.PanicException, match="dictionary changed size during iteration"):
        list(s)
    assert texts(s) == ["a", "[k]", "b", "c"]
    assert s.remove("c")


def test_dict_refilled_during_iteration_is_an_internal_fault():
    s = KeyPathSet(["a"])
    trie = s._trie
    key = HookKey("k")
    s.add(KeyPath([key]))
    s.add("b")

    def refill():
        del trie["a"]
        trie["z"] = {"$": True}

    key.hook = refill
    with pytest.raises(n.PanicException, match="dictionary keys changed during iteration"):
        list(s)
    assert sorted(texts(s)) == ["[k]", "b", "z"]


def test_mutation_during_deep_copy_is_an_internal_fault():
    s = KeyPathSet(["a.b", "c"])
    key = HookKey("k")
    s.add(KeyPath([key]))
    trie = s._trie
    # the copy of the key is hashed when it is inserted into the new trie
    key.hook = lambda: trie.__setitem__("new", {"$": True})
    with pytest.raises(n.PanicException, match="dictionary changed size during iteration"):
        s.copy()
    key.hook = None
    assert "new" in s
    t = KeyPathSet(["x"])
    t.update(s)
    assert texts(t) == ["x", "a.b", "c", "[k]", "new"]


# --------------------------------------------------------------------------
# Cyclic and very deep tries
# --------------------------------------------------------------------------


def cyclic():
    s = KeyPathSet(["a", "c.d"])
    s._trie["c"]["loop"] = s._trie
    return s


@pytest.mark.parametrize(
    "op",
    [
        lambda s: list(s),
        lambda s: s.copy(),
        lambda s: copy.deepcopy(s),
        lambda s: repr(s),
        lambda s: str(s),
        lambda s: s.union(KeyPathSet()),
        lambda s: KeyPathSet().union(s),
        lambda s: KeyPathSet(["z"]).update(s),
        lambda s: s.difference(cyclic()),
        lambda s: s.intersection(cyclic()),
        lambda s: s.difference_update(cyclic()),
        lambda s: s.intersection_update(cyclic()),
        lambda s: s == cyclic(),
        lambda s: KeyPath("p") + s,
    ],
)
def test_cyclic_trie_raises_recursion_error(op):
    s = cyclic()
    with pytest.raises(RecursionError):
        op(s)
    # the set is still usable once the cycle is broken (changes made before
    # the error stay: nothing is rolled back)
    del s._trie["c"]["loop"]
    assert set(texts(s)) <= {"a", "c.d"}
    assert s.add("fresh")


def test_cyclic_trie_walks_follow_the_cycle():
    s = cyclic()
    assert "c.loop.c.loop.a" in s
    assert s.has_prefix("c.loop.c.loop.c")
    assert s.add("c.loop.x")
    assert "x" in s
    assert s.remove("c.loop.x")
    assert s == s


DEPTH = 100_000


def test_very_deep_paths():
    path = ".".join(["k"] * DEPTH)
    s = KeyPathSet([path])
    assert path in s
    assert s.has_prefix(".".join(["k"] * (DEPTH // 2)))
    for op in (lambda: list(s), lambda: s.copy(), lambda: repr(s), lambda: s.union(s),
               lambda: s.difference(s), lambda: s.intersection(s), lambda: s == s.subtree("k"),
               lambda: KeyPath("p") + s):
        with pytest.raises(RecursionError):
            op()
    assert s.remove(path) is True
    assert s._trie == {}


def test_very_deep_rebase_and_intermediate():
    prefix = KeyPath(["k"] * DEPTH)
    s = KeyPathSet([""])
    s.rebase(prefix)
    assert prefix in s
    with pytest.raises(RecursionError):
        list(s)
    t = KeyPathSet([prefix], include_intermediate=True)
    assert KeyPath(["k"] * 10) in t and "" in t
    with pytest.raises(RecursionError):
        t.copy()


def test_very_deep_hand_built_trie():
    root = node = {}
    for _ in range(DEPTH):
        child = {}
        node["k"] = child
        node = child
    node["$"] = True
    s = KeyPathSet()
    s._trie.update(root)
    with pytest.raises(RecursionError):
        list(s)
    with pytest.raises(RecursionError):
        KeyPathSet(["x"]).update(s)


# --------------------------------------------------------------------------
# References
# --------------------------------------------------------------------------


def test_no_reference_leaks():
    k = Key("leak")
    s = KeyPathSet([KeyPath([k, "a"])])
    other = KeyPathSet([KeyPath([k, "b"])])
    root = s._trie

    def work():
        s.add(KeyPath([k, "c"]))
        s.remove(KeyPath([k, "c"]))
        KeyPath([k]) in s
        list(s)
        repr(s)
        s.union(other)
        s.difference(other)
        s.intersection(other)
        s == other
        s.subtree(KeyPath([k]))
        s.has_prefix(KeyPath([k]))
        KeyPath("p") + s
        try:
            s.union([k])
        except TypeError:
            pass

    work()
    gc.collect()
    before = sys.getrefcount(k), sys.getrefcount(root)
    for _ in range(50):
        work()
    gc.collect()
    assert (sys.getrefcount(k), sys.getrefcount(root)) == before


def test_dropping_a_set_releases_its_trie():
    s = KeyPathSet(["a"])
    root = s._trie
    count = sys.getrefcount(root)
    del s
    assert sys.getrefcount(root) == count - 1
