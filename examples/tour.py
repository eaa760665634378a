"""A short tour of norv_core._native, driven the way the host package drives it."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

import norv_core  # noqa: E402
from norv_core import _native as n  # noqa: E402
import norv_host  # noqa: E402
from norv_host import formatting, topology  # noqa: E402

# What the host does once after importing the native core: every bridge.
norv_host.install()


def section(title):
    print(f"\n== {title}")


section("Module")
print("ABI version:", n.abi_version())
print(f"{len(n.__all__)} registered names, first: {n.__all__[:4]}")
print("internal faults raise", norv_core.PanicException.__name__, "(a BaseException)")

section("Flag scopes (per thread)")
print("sealed scope present?", n._flag_scope_has(n._FLAG_SEALED))
n._flag_scope_set(n._FLAG_SEALED, True)
print("after set(True):", n._flag_scope_get(n._FLAG_SEALED, "absent"))
n._flag_scope_del(n._FLAG_SEALED)
print("after del:", n._flag_scope_get(n._FLAG_SEALED, "absent"))

section("MissingValue")
m = topology.MISSING_VALUE
print(repr(m), "| equal to a fresh one:", m == n.MissingValue(), "| JSON:", m.to_json())

section("KeyPath")
p = n.KeyPath.parse("a.b[0].c")
print(repr(p), "| keys:", p.keys, "| equal to its text:", p == "a.b[0].c", "| hash as text:", hash(p) == hash("a.b[0].c"))
print("child:", n.KeyPath("d", p), "| complex key:", n.KeyPath(["x", "a.b"]), "| parent:", p.parent)
print("query:", p.query({"a": {"b": [{"c": 42}]}}), "| get absent:", n.KeyPath.parse("a.z").get({"a": {}}, "default"))
print("JSON:", p.to_json(), "| sorted:", sorted([n.KeyPath([10]), n.KeyPath([9]), n.KeyPath(["1", "a"])]))
print("arithmetic:", p + "d", "|", p - "a.b", "| relative to a.b:", p.is_relative_to("a.b"))

section("KeyPathSet")
s = n.KeyPathSet(["a.b", "c[0]"], include_intermediate=True)
print(repr(s), "| trie:", s._trie)
print("a.b in s:", "a.b" in s, "| prefix c:", s.has_prefix("c"), "| sub-tree a:", repr(s.subtree("a")))
t = n.KeyPathSet(["a.b", "x"])
print(f"union: {s.union(t)!r} | difference: {s.difference(t)!r} | intersection: {s.intersection(t)!r}")
print(f"rebased copy: {n.KeyPath('root') + t!r}")
print("verbose form:", str(t), sep="\n")

section("Formatting")
config = {"name": "svc", "ports": [80, 443], "limits": {"cpu": 1.5}}
print(n.format(config))
print(n.format(config, compact=True, markdown=True))
print(n.kvlist_str([("max", 3, None), ("min", 0, 0)], label="Int"))
print(n.kvlist_str([("x", [1, 2], None)], label="Point", compact=False, bracket_type=1))
loop = [1]
loop.append(loop)
print("self-containing list:", n.format(loop))


class Note:
    def __str__(self):
        return "**bold**" if formatting.outer_markdown_active() else "plain"


with formatting.markdown():
    print("inside an outer markdown context, host text renders as:", n.format(Note()))

section("Key specs")
name = n.ConstStrKey("name")
print(repr(name), "| == 'name':", name == "name", "| finds {'name': 1}:", {"name": 1}[name])
prefix = n.StrKey("a")
print(prefix, "| matches 'abc':", prefix.match("abc"), "| matches 'ba':", prefix.match("ba"))
items = n.ListKey(2)
items.extend(n.ListKey(0, 5))  # adopts the base's maximum in place
print(items, "| match(4):", items.match(4), "| JSON:", items.to_json())
print(n.TupleKey.from_json(n.TupleKey(3).to_json()), "==", n.TupleKey(3))

section("Value specs")
age = n.Int(min_value=0, max_value=150)
print(repr(age), "| apply(42):", age.apply(42), "| Float().apply(1):", n.Float().apply(1))
try:
    age.apply(200, root_path=n.KeyPath.parse("people[0].age"))
except ValueError as e:
    print("refused:", e)
print(repr(n.Str["^[a-z]+$"]), repr(n.Int[0, 10]), repr(n.Int(gt=0, lt=10)), repr(n.Any().noneable()))
print("Int()() ->", n.Int()(), "| Int(default=3)() ->", n.Int(default=3)())

section("Spec classes, fields and schemas")
Color = n.Enum(["red", "green"], default="red")
print(repr(Color), "| apply('green'):", Color.apply("green"), "| noneable:", Color.noneable().values)
either = n.Union([int, str])
print(repr(either), "| apply(5):", either.apply(5), "| apply('x'):", either.apply("x"))
print(repr(n.Type(int)), "| Type(int)() is int:", n.Type(int)() is int)
print(repr(n.Callable([n.Int()], returns=n.Str())), "| Object(ValueError).apply:", n.Object(ValueError).apply(ValueError("e")))
ints = n.List(n.Int(min_value=0), max_size=3)
values = [1, 2]
print(repr(ints), "| a valid list comes back as itself:", ints.apply(values) is values)
try:
    ints.apply([1, -1], root_path=n.KeyPath("x"))
except ValueError as e:
    print("refused:", e)
print(repr(n.Tuple([n.Int(), n.Str()])), "| apply((1, 'a')):", n.Tuple([n.Int(), n.Str()]).apply((1, "a")))
print("equality:", n.Int(min_value=0) == n.Int(min_value=0), "| compatible:", n.Int().is_compatible(n.Int(min_value=1)))
print("JSON:", n.Tuple(n.Int(), min_size=1).to_json())
print("round trip:", n.List.from_json(ints.to_json()) == ints)
field = n.Field("age", n.Int(min_value=0), "Age in years")
print(repr(field), "| apply(7):", field.apply(7))
schema = n.Schema([n.Field("name", n.Str()), field])
print("schema keys:", [str(k) for k in schema.keys()], "| get_field('age') is field:", schema.get_field("age") is field)

section("Schema application and the Dict spec")
person = n.Schema([n.Field("name", n.Str()), n.Field("age", n.Int(min_value=0, default=0))])
record = {"name": "Ada"}
print("apply fills defaults:", person.apply(record), "| in place:", person.apply(record) is record)
copy = person.apply({"age": 3, "name": "Bo"}, inplace=False)
print("inplace=False copies in schema order:", copy)
for bad in ({"age": 1}, {"name": "x", "zip": 1}):
    try:
        person.apply(bad)
    except (KeyError, ValueError) as e:
        print("refused:", e)
people = n.Dict(person)
print(repr(people), "| default:", people.default)
rows = [{"name": "Ada", "age": 36}]
print("List(Dict(schema)) keeps a valid list as itself:", n.List(people).apply(rows) is rows)
print("open Dict[str, int]:", n.Dict(int).apply({"x": 1}), "| JSON:", n.Dict(int).to_json())

section("Symbolic dicts: adoption, paths and seals")
from norv_host import symbolic as host_symbolic  # noqa: E402

Tree = host_symbolic.HostDict
root, child, leaf = Tree(), Tree(), Tree()
root._sym_path = n.KeyPath()
dict.__setitem__(child, "leaf", child._relocate_if_symbolic("leaf", leaf))
dict.__setitem__(root, "child", root._relocate_if_symbolic("child", child))
print("adopted:", child.sym_parent is root, "| leaf path:", leaf.sym_path)
root.sym_setpath(n.KeyPath.parse("config.model"))
print("after sym_setpath('config.model') the leaf is at:", leaf.sym_path)
other = Tree()
clone = other._relocate_if_symbolic("copy", child)
print("a child owned elsewhere is cloned:", clone is not child, "| the original stays put:", child.sym_path)
try:
    leaf._relocate_if_symbolic("loop", root)
except ValueError as e:
    print("refused:", e)
root.sym_seal()
print("sym_seal() seals children first:", root._sealed, child._sealed, leaf._sealed)
root.sym_setorigin("source", "__init__")
print("origin:", root._sym_origin)

section("Symbolic dicts: construction, validated writes and notification")


class Config(Tree):
    def _notify_field_updates(self, updates):
        for u in updates:
            print(f"  changed {u.path}: {u.old_value!r} -> {u.new_value!r}")


spec = n.Dict([("lr", n.Float(min_value=0.0)), ("layers", n.Int(default=2)), ("name", n.Str())])
cfg = Config({"lr": 1, "name": "mlp"}, value_spec=spec, root_path=n.KeyPath("exp"))
print("constructed and validated:", dict(cfg), "| spec bound:", cfg._value_spec is spec)
cfg["lr"] = 0.5
cfg["lr"] = cfg["lr"]  # the same object again: no change, no notification
try:
    cfg["lr"] = -1.0
except ValueError as e:
    print("refused:", e)
try:
    cfg["depth"] = 3
except KeyError as e:
    print("refused:", e.args[0])
cfg.sym_seal()
try:
    cfg["layers"] = 4
except host_symbolic.WritePermissionError as e:
    print("sealed:", e)
print("all-primitive clone in one pass:", Tree(a=1, b="x")._clone_if_primitive())

section("Symbolic dicts: one-pass construction and reads")
flat = n.Dict([("a", n.Int()), ("b", n.Float()), ("c", n.Str())])
d = Tree({"c": "x", "b": 1, "a": 2}, value_spec=flat)
print("all scalars, every field given: one fused pass, input order kept:", dict(d))
print("listed in schema order:", list(d.sym_keys()), "| converted:", type(d["b"]).__name__)
try:
    Tree({"a": 1, "z": 0}, value_spec=flat)
except KeyError as e:
    print("an extra key is refused before anything is stored:", e.args[0])
lazy = Tree({"x": host_symbolic.Inferred(42)})
print("an inferred member reads as its value:", lazy["x"], lazy.x, lazy.get("x"), "| raw:", lazy._sym_getattr("x"))
try:
    lazy.missing
except AttributeError as e:
    print("no such attribute or member:", e)

section("Symbolic lists: construction, elements as children, spec binding, clones")
Items = host_symbolic.HostList
items = Items([1, Tree(), "x", host_symbolic.MISSING_VALUE], root_path=n.KeyPath.parse("config.items"))
print("constructed (a missing value is dropped):", items)
print("an element is adopted under its index:", items[1].sym_path, "| parent is the list:", items[1].sym_parent is items)
items.sym_setpath(n.KeyPath.parse("config.layers"))
print("after sym_setpath the element is at:", items[1].sym_path)
ints = Items([1, 2, 3], value_spec=n.List(n.Int(), max_size=5))
print("exact ints bind the spec in one pass, without the engine:", repr(ints.value_spec))
try:
    Items([1, "2"], value_spec=n.List(n.Int()))
except TypeError as e:
    print("otherwise the spec is applied:", e)
try:
    ints.use_value_spec(n.List(n.Str()))
except RuntimeError as e:
    print("refused:", str(e).splitlines()[0], "...")
print("an all-scalar list clones in one pass:", ints._clone_if_primitive(), "| a nested one declines:",
      items._clone_if_primitive())
items.sym_seal()
print("sym_seal() seals the symbolic elements too:", items._sealed, items[1]._sealed)

section("Symbolic lists: validated writes, slices and notification")


class Layers(Items):
    def _notify_field_updates(self, updates):
        print(f"  one notification, {len(updates)} update(s):",
              ", ".join(f"{u.path}: {u.old_value!r} -> {u.new_value!r}" for u in updates))


layers = Layers([64, 32], value_spec=n.List(n.Int(min_value=1)), root_path=n.KeyPath("net"))
layers[0] = 128
layers[1:2] = [16, 8]  # the surplus value is inserted
layers[0] = host_symbolic.Insertion(256)
del layers[-1]
print("now:", layers)
try:
    layers[0] = 0
except ValueError as e:
    print("refused:", e)
try:
    layers[::2] = [1]
except ValueError as e:
    print("refused:", e)
mixed = Items(["a", "b", "c"], root_path=n.KeyPath("blocks"))
head = Tree(kind="stem")
mixed[1:2] = [head]
print("a slice value is adopted where it lands:", head.sym_path, head.sym_parent is mixed)
layers.sym_seal()
try:
    layers[1] = 2
except host_symbolic.WritePermissionError as e:
    print("sealed:", e)

section("Symbolic lists: reads and list methods")
stack = Layers([host_symbolic.Inferred(3), 1], value_spec=n.List(n.Any(), max_size=5), root_path=n.KeyPath("s"))
print("reads resolve an inferred element:", stack[0], stack[:], list(stack), "| raw:", stack._sym_getattr(0))
print("max_size:", stack.max_size, "| one element field for every index:", stack.sym_attr_field(7) is stack.value_spec.element)
stack.append(2)
stack.extend([5, 6])  # one notification; the list is full
try:
    stack.append(7)
except ValueError as e:
    print("refused:", e)
print("pop gives the element inferred:", stack.pop(0))
stack.sort()
stack.reverse()
print("sort and reverse change the storage and report nothing:", stack)
print("copy, + and * make lists of the class:", type(stack.copy()).__name__, type(stack + [0]).__name__,
      stack * 0)
import pickle  # noqa: E402

print("a pickled list keeps its elements:", pickle.loads(pickle.dumps(Items([1, "a"]))))
stack.sym_seal()
try:
    stack.remove(1)
except host_symbolic.WritePermissionError as e:
    print("sealed:", e)

section("Symbolic objects: the base class, class metadata and field reads")
from norv_host import objects as host_objects  # noqa: E402


class Point(host_objects.HostObject):
    x: int
    y: float = 0.0
    tags = n.Field("tags", n.List(n.Str()), enable_wrap=True)


blank = Point.__new__(Point)
try:
    blank._sealed
except ValueError as e:
    print("a blank object refuses its node state:", e)
print("field dict:", blank.field_dict(), "| inline?", n._probe_object_is_inline(blank))
try:
    blank.x
except AttributeError as e:
    print("a field read through property(SymFieldGetter('x')) on it:", repr(e))
print("fields the construction will wrap:", n._container_wrap_fields(Point))
blank._sym_path = n.KeyPath("p")
blank.sym_setpath(n.KeyPath("q"))
print("sym_setpath builds the class metadata once:", type(vars(Point)["__native_ctor_meta__"]).__name__)
print("path now:", blank.sym_path)

section("Symbolic objects: construction from keywords")


class Line(host_objects.HostObject):
    x: int
    items: list[int]

    def on_sym_validate(self):
        print("  on_sym_validate runs once the fields are stored:", self.field_dict())


line = Line(x=1, items=[1, 2], root_path=n.KeyPath("plot"))
print("fields in field order:", list(line.field_dict()), "| items is a", type(line.items).__name__,
      "at", line.items.sym_path, "| parent is the object:", line.items.sym_parent is line)
for bad in (dict(x=1), dict(x="one", items=[]), dict(x=1, items=[], colour="red")):
    try:
        Line(**bad)
    except TypeError as e:
        print("refused:", e)
shared = Point(x=1, tags=["a"])


class Pair(host_objects.HostObject):
    first: Point
    second: Point


pair = Pair(first=shared, second=shared)
print("one child for two fields: the second is a clone:", pair.first is shared, pair.second is not shared,
      "| paths:", pair.first.sym_path, pair.second.sym_path)
partial = Line(items=[], allow_partial=True)
print("allow_partial leaves a required field missing:", partial.field_dict())
print("sealed=True seals the object and its children:", Line(x=1, items=[1], sealed=True).items._sealed)

section("Symbolic objects: native type slots and field writes")


class Gauge(host_objects.HostObject):
    level: int
    unit: str = "m"

    def _notify_field_updates(self, updates):
        print("  notified:", [(str(u.path), u.old_value, u.new_value) for u in updates])


n._install_native_tp_init(Gauge)
n._install_native_tp_getattro_fast(Gauge)
print("native tp_init?", n._kernel_roundtrip_tp_init(Gauge), "| fast getattro?", n._kernel_tp_getattro_is_fast(Gauge),
      "| __init__ kept:", Gauge.__init__ is host_objects.HostObject.__init__)
g = Gauge(level=3, root_path=n.KeyPath("tank"))
print("constructed without a Python frame:", g.field_dict(), "| level read from the field dict:", g.level)
try:
    Gauge(3)
except TypeError as e:
    print("positional arguments reach the class's __init__:", e)
g.level = 4  # validated by the funnel, stored, notified once
g.level = 4  # the very object again: nothing happens
try:
    g.level = "four"
except TypeError as e:
    print("refused:", e)
g.note = "not a field"  # handed to the host's setter
print("a name that is no field lives in the instance dict:", vars(g))
g.field_dict()["depth"] = 7  # a stored key no property reads
print("the fast read answers it from the field dict:", g.depth)
g._sealed = True
try:
    g.level = 5
except host_symbolic.WritePermissionError as e:
    print("sealed:", e)

section("Records: inline-slot types built at run time")
from norv_host import records as host_records  # noqa: E402

Cells = n._kernel_make_record("demo.Cells", ["x", "y"], n._kernel_topology_reserved())
print(
    "layout:", n._kernel_record_layout(), "| basic size:", Cells.__basicsize__,
    "| weak-reference head at:", Cells.__weakrefoffset__, "| fields at:", Cells.__slot_field_offsets__,
)
c = Cells()
try:
    c.x
except ValueError as e:
    print("a blank record refuses its fields:", e)
c.x = [c]  # a cycle through a cell
n._slot_node_set(c, 1, n.KeyPath("root"))
print("x:", c.x, "| path role:", n._slot_node_get(c, 1), "| traverse visits:", n._kernel_probe_traverse_visits(c))
try:
    n._slot_node_get(c, 8)
except RuntimeError as e:
    print("role 8 is CPython's:", str(e)[:60] + "...")
try:
    n._slot_node_set("text", 1, None)  # any other object is refused before a cell is touched
except RuntimeError as e:
    print("refused:", e)

Point3 = host_records.record_class("Point3", {"x": int, "tags": list}, non_symbolic={"cache": None})
pt = Point3.__new__(Point3)  # allocated, never constructed
pt.x = host_symbolic.Inferred(3)
print(
    "host record class over", Point3.__mro__[1].__name__, "| inferred read:", pt.x,
    "| init fields:", Point3.__slot_field_names__,
)
try:
    pt.cache
except AttributeError as e:
    print("an unset non-symbolic field:", e)

section("Topology of objects and records: one node-state access, paths, origins, the seal")
blank_pt = Point.__new__(Point)
print("a blank object's roles 0..5:", [n._probe_node_get(blank_pt, r) for r in range(6)])
try:
    n._probe_node_get(5, 0)
except TypeError as e:
    print("anything else:", e)
tree = Line(x=1, items=[1], root_path=n.KeyPath("plot"))
tree.sym_setpath(n.KeyPath("chart"))
print("sym_setpath re-paths the children natively:", tree.items.sym_path)
tree.sym_setorigin("source", "demo")
print("sym_setorigin records one frame up:", tree._sym_origin)
try:
    tree.sym_setorigin("another", "demo")
except ValueError as e:
    print("refused:", e)
print("sym_seal seals the children, then the object:", tree.sym_seal() is tree, tree.items._sealed, tree._sealed)
rec = Point3.__new__(Point3)
rec.x = 1
rec.tags = host_symbolic.HostList([1])
n._topo_seal(rec)
print("a record seals its symbolic cells:", rec.tags._sealed, "| its sealed cell:", n._probe_node_get(rec, 2))
rec.sym_setparent(tree)
print("and takes a parent through the same access:", n._probe_node_get(rec, 0) is tree)


section("JSON and text of symbolic trees")
tree = host_symbolic.HostDict()
dict.__setitem__(tree, "line", Line(x=1, items=[1, 2]))
dict.__setitem__(tree, "tags", host_symbolic.HostList())
list.append(dict.__getitem__(tree, "tags"), "a")
print("the walk:", n._native_to_json_walk(tree))
dict.__setitem__(tree, "plain", [1])
print("a plain list inside: the walk declines (", n._native_to_json_walk(tree), ") and the host serialises:",
      host_objects.to_json(tree)["plain"])
pt.x = 3
print("a raw record, its empty cells as None:", n._native_to_json_walk(pt))


class Open(host_objects.HostObject, sym=False):
    pass


Open.__schema__ = n.Schema([n.Field("a", n.Any()), n.Field(n.StrKey(), n.Any()), n.Field("z", n.Any())],
                           allow_nonconst_keys=True)
opened = Open()
opened.field_dict().update(z=1, x=[2], a=3)
print("an open-schema object in schema order:", n._native_inline_object_to_json_open(opened))
print("plain JSON constructs by keywords:", n._native_from_json_all_plain({"x": 1, "items": [1]}, {"x", "items"}),
      "| a tuple's wire form does not:", n._native_from_json_all_plain({"x": ["__tuple__", 1]}, {"x"}))


class Dot(host_objects.HostObject):
    x: int
    label: str = "a"


class Segment(host_objects.HostObject):
    start: Dot
    end: Dot


segment = Segment(start=Dot(x=1), end=Dot(x=2, label="b"))
print("rendered compact:", n._render_object_fast(segment, "Segment", True, 0, host_objects.child_fields))
print(n._render_object_fast(segment, "Segment", False, 0, host_objects.child_fields))
print("a list field is the host's to render:", n._render_object_fast(line, "Line", True, 0, host_objects.child_fields))

section("Records as symbolic objects: construction, the attribute view, children, clones")
Span = host_records.record_class("Span", {"start": int, "tags": (dict, {}), "label": (str, "")}, non_symbolic={"hits": 0})
free = host_symbolic.HostDict(kind="demo")
span = Span(start=1, tags=free, root_path=n.KeyPath("doc"))
print("constructed by the native record tp_init:", span.start, "| the free child is adopted:", span.tags is free,
      free.sym_parent is span, free.sym_path)
print("non-init field seeded by the host:", span.hits, "| node read:", n._slot_record_node_read(span, 1))
try:
    Span(start="one")
except TypeError as e:
    print("validated:", e)
try:
    Span(start=1, explicit_init=True)
except NotImplementedError as e:
    print("refused:", e)
print("materialised?", n._slot_record_is_materialized(span))
view = span._sym_attributes
print("the view, built once:", type(view).__name__, dict(view), "| same object again:", span._sym_attributes is view)
view["start"] = 2
print("a write through the view is what reads see:", span.start, n._slot_record_inline_fields(span, ["start"]))
span.sym_setpath(n.KeyPath("page"))
print("a new path reaches the children:", free.sym_path)
copy = Span.__new__(Span)
print("clone construction:", n._native_object_clone_construct(copy, False, False, {"start": 5}, span, False, None),
      copy.start, copy.hits, "| declined for a plain object:",
      n._native_object_clone_construct(object(), False, False, {}, None, False, None))
try:
    n._slot_record_construct(object(), ["start"], {"start": 1})
except TypeError as e:
    print("the construct core refuses:", e)
