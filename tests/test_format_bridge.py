"""Markdown suppression through the host's formatting bridge.

Installers are set-once per process, so every case runs in a fresh interpreter.
"""

import json
import textwrap

PRELUDE = textwrap.dedent(
    """
    import json
    from norv_core import _native as n
    from norv_host import formatting as hf

    class Plain:
        def __str__(self):
            hf.trace.append(("str", hf.outer_markdown_active()))
            return "plain"

        def __repr__(self):
            hf.trace.append(("repr", hf.outer_markdown_active()))
            return "PLAIN"

    class Boom:
        def __str__(self):
            hf.trace.append(("str", hf.outer_markdown_active()))
            raise ValueError("boom")

    class Fmt:
        __norv_formattable__ = True

        def format(self, **kw):
            hf.trace.append(("format", hf.outer_markdown_active()))
            return "fmt"

    def events():
        # exits carry (exc_type, exc, tb): keep them to check they are all None
        return [list(e) for e in hf.trace]

    def emit(**kw):
        print(json.dumps(kw))
    """
)

ENTERED = [
    ["str_format", False],
    ["enter", "str", False],
    ["repr_format", False],
    ["enter", "repr", False],
]
EXITED = [
    ["exit", "repr", False, None, None, None],
    ["exit", "str", False, None, None, None],
]


def run(run_py, body):
    out = run_py(PRELUDE + textwrap.dedent(body))
    return json.loads(out.strip().splitlines()[-1])


def test_no_bridge_formats_without_suppression(run_py):
    res = run(
        run_py,
        """
        with hf.markdown():
            text = n.format([Plain(), Fmt()])
        emit(text=text, events=events())
        """,
    )
    assert res == {
        "text": "[plain, fmt]",
        "events": [["str", True], ["format", True]],
    }


def test_inactive_outer_markdown_never_calls_contexts(run_py):
    res = run(
        run_py,
        """
        assert hf.install() is None
        text = n.format({"a": [Plain(), Fmt()]}, compact=True)
        emit(text=text, events=events())
        """,
    )
    assert res == {
        "text": "{'a': [PLAIN, fmt]}",
        "events": [["repr", False], ["format", False]],
    }


def test_plain_object_rendered_inside_both_contexts(run_py):
    res = run(
        run_py,
        """
        hf.install()
        with hf.markdown():
            text = n.format(Plain())
            compact = events(); hf.trace.clear()
            n.format(Plain(), compact=True)
            active_after = hf.outer_markdown_active()
        emit(text=text, str_events=compact, repr_events=events(),
             active_after=active_after, depth=hf.depth())
        """,
    )
    assert res["text"] == "plain"
    assert res["str_events"] == ENTERED + [["str", False]] + EXITED
    assert res["repr_events"] == ENTERED + [["repr", False]] + EXITED
    assert res["active_after"] is True
    assert res["depth"] == [0, 0]


def test_exits_run_when_str_raises(run_py):
    res = run(
        run_py,
        """
        hf.install()
        memo = set()
        with hf.markdown():
            try:
                n.format([Boom()], memo=memo)
            except ValueError as e:
                err = str(e)
            active_after = hf.outer_markdown_active()
        emit(err=err, events=events(), memo=len(memo), active_after=active_after,
             depth=hf.depth())
        """,
    )
    assert res["err"] == "boom"
    assert res["events"] == ENTERED + [["str", False]] + EXITED
    assert res["memo"] == 0
    assert res["active_after"] is True
    assert res["depth"] == [0, 0]


def test_formattable_rendered_inside_contexts(run_py):
    res = run(
        run_py,
        """
        hf.install()
        with hf.markdown():
            text = n.format(Fmt(), markdown=True)
        emit(text=text, events=events())
        """,
    )
    assert res["text"] == "`fmt`"
    assert res["events"] == ENTERED + [["format", False]] + EXITED


def test_containers_and_scalars_are_not_suppressed(run_py):
    res = run(
        run_py,
        """
        hf.install()
        with hf.markdown():
            text = n.format({"a": [1, "x", (2.5, None)], "b": b"y"}, compact=True)
            kv = n.kvlist_str([("a", [1], None)], label="X")
        emit(text=text, kv=kv, events=events())
        """,
    )
    assert res == {
        "text": "{'a': [1, 'x', (2.5, None)], 'b': b'y'}",
        "kv": "X(a=[1])",
        "events": [],
    }


def test_each_plain_value_gets_its_own_suppression(run_py):
    res = run(
        run_py,
        """
        hf.install()
        with hf.markdown():
            n.format([Plain(), Plain()], compact=True)
        emit(events=events())
        """,
    )
    one = ENTERED + [["repr", False]] + EXITED
    assert res["events"] == one + one


def test_custom_format_runs_inside_suppression_only_for_other_values(run_py):
    res = run(
        run_py,
        """
        hf.install()
        seen = []
        def hook(value, indent):
            seen.append(hf.outer_markdown_active())
            return None
        with hf.markdown():
            n.format(Plain(), custom_format=hook)
        emit(seen=seen)
        """,
    )
    # step one outside, the second chance inside the contexts
    assert res["seen"] == [True, False]


def test_raising_exit_does_not_change_result(run_py):
    res = run(
        run_py,
        """
        hf.install()
        out = {}
        for kinds in (["repr"], ["str"], ["str", "repr"]):
            hf.reset()
            hf.fail_exit.update(kinds)
            with hf.markdown():
                text = n.format(Plain())
            out["+".join(kinds)] = [text, events(), hf.depth()]
        hf.reset()
        hf.fail_exit.add("repr")
        with hf.markdown():
            try:
                n.format(Boom())
            except ValueError as e:
                out["boom"] = [str(e), type(e.__context__).__name__]
        emit(**out)
        """,
    )
    expected = ["plain", ENTERED + [["str", False]] + EXITED, [0, 0]]
    assert res["repr"] == expected
    assert res["str"] == expected
    assert res["str+repr"] == expected
    # the body's error is the one that leaves, untouched by the exit's failure
    assert res["boom"] == ["boom", "NoneType"]


def test_an_exit_that_raises_a_grave_error_replaces_the_result(run_py, raised):
    res = run(
        run_py,
        f"""
        import importlib
        raised = getattr(importlib.import_module("{raised.cls.__module__}"), "{raised.cls.__name__}")
        hf.install()
        out = {{}}
        for kinds in (["repr"], ["str"], ["str", "repr"]):
            hf.reset()
            hf.fail_exit.update(kinds)
            hf.exit_error = raised
            with hf.markdown():
                try:
                    text = n.format(Plain())
                except raised as e:
                    text = [str(e), type(e.__context__).__name__]
            out["+".join(kinds)] = [text, events(), hf.depth()]
        hf.reset()
        hf.fail_exit.add("repr")
        hf.exit_error = raised
        with hf.markdown():
            try:
                n.format(Boom())
            except BaseException as e:
                out["boom"] = [type(e).__name__, type(e.__context__).__name__]
        emit(**out)
        """,
    )
    trace = ENTERED + [["str", False]] + EXITED
    if raised.discarded:
        assert res["repr"] == res["str"] == res["str+repr"] == ["plain", trace, [0, 0]]
        assert res["boom"] == ["ValueError", "NoneType"]
        return
    # both exits still ran; an error of the second has the first's as context
    assert res["repr"] == [["cannot exit repr", "NoneType"], trace, [0, 0]]
    assert res["str"] == [["cannot exit str", "NoneType"], trace, [0, 0]]
    assert res["str+repr"] == [["cannot exit str", raised.cls.__name__], trace, [0, 0]]
    # the body's error in flight becomes the context of the exit's
    assert res["boom"] == [raised.cls.__name__, "ValueError"]


def test_enter_failures_propagate(run_py):
    res = run(
        run_py,
        """
        hf.install()
        out = {}
        for kind in ("str", "repr"):
            hf.reset()
            hf.fail_enter.add(kind)
            memo = set()
            with hf.markdown():
                try:
                    n.format([Plain()], memo=memo)
                except hf.ContextFailure as e:
                    out[kind] = [str(e), len(memo), "str" in [x[0] for x in hf.trace]]
        hf.reset()
        emit(after=n.format(Plain()), **out)
        """,
    )
    # nothing rendered when a context cannot be entered
    assert res["str"] == ["cannot enter str", 0, False]
    assert res["repr"] == ["cannot enter repr", 0, False]
    assert res["after"] == "plain"


def test_outer_markdown_active_errors_propagate(run_py):
    res = run(
        run_py,
        """
        def broken():
            raise LookupError("outer")
        n._install_formatting_bridge(hf.str_format, hf.repr_format, broken)
        memo = set()
        try:
            n.format({"a": Plain()}, memo=memo)
        except LookupError as e:
            err = str(e)
        emit(err=err, memo=len(memo), plain=n.format([1, "a"]))
        """,
    )
    assert res == {"err": "outer", "memo": 0, "plain": "[1, 'a']"}


def test_outer_markdown_active_truthiness(run_py):
    res = run(
        run_py,
        """
        state = {"v": 0}
        n._install_formatting_bridge(hf.str_format, hf.repr_format, lambda: state["v"])
        n.format(Plain())
        first = events(); hf.trace.clear()
        state["v"] = [1]
        n.format(Plain())
        emit(first=first, second=events())
        """,
    )
    assert res["first"] == [["str", False]]
    assert res["second"] == ENTERED + [["str", False]] + EXITED


def test_first_install_wins(run_py):
    res = run(
        run_py,
        """
        calls = []
        def other(*a, **k):
            calls.append("other")
            raise AssertionError("second bridge used")
        assert hf.install() is None
        second = n._install_formatting_bridge(other, other, lambda: True)
        with hf.markdown():
            text = n.format(Plain())
        emit(second=second, text=text, calls=calls, n_events=len(events()))
        """,
    )
    assert res == {"second": None, "text": "plain", "calls": [], "n_events": 7}


def test_install_argument_errors_store_nothing(run_py):
    res = run(
        run_py,
        """
        errors = []
        for args, kw in [((1, 2), {}), ((), {"str_format": 1}), ((1, 2, 3, 4), {}),
                         ((1, 2, 3), {"other": 4})]:
            try:
                n._install_formatting_bridge(*args, **kw)
            except TypeError:
                errors.append("TypeError")
        r = n._install_formatting_bridge(
            str_format=hf.str_format, repr_format=hf.repr_format,
            outer_markdown_active=hf.outer_markdown_active)
        with hf.markdown():
            n.format(Plain())
        emit(errors=errors, r=r, n_events=len(events()))
        """,
    )
    assert res == {"errors": ["TypeError"] * 4, "r": None, "n_events": 7}


def test_install_takes_any_objects(run_py):
    res = run(
        run_py,
        """
        n._install_formatting_bridge(1, 2, 3)
        plain = n.format([1, {"a": "b"}], compact=True)
        try:
            n.format(Plain())
        except TypeError:
            err = "TypeError"
        emit(plain=plain, err=err)
        """,
    )
    assert res == {"plain": "[1, {'a': 'b'}]", "err": "TypeError"}


def test_panic_inside_formattable_dict_leaves_contexts_balanced(run_py):
    res = run(
        run_py,
        """
        hf.install()
        d = {}
        class Grow:
            __norv_formattable__ = True
            def format(self, **kw):
                d["x"] = 1
                return "g"
        d["g"] = Grow()
        memo = set()
        with hf.markdown():
            try:
                n.format(d, memo=memo)
            except BaseException as e:
                err = [type(e).__name__, str(e), isinstance(e, Exception)]
            active = hf.outer_markdown_active()
            ev = events()
            again = n.format({"a": Plain()}, compact=True)
        emit(err=err, memo=len(memo), depth=hf.depth(), events=ev, active=active,
             again=again)
        """,
    )
    assert res["err"] == [
        "PanicException", "dictionary changed size during iteration", False
    ]
    assert res["memo"] == 0
    assert res["depth"] == [0, 0]
    assert res["active"] is True
    assert res["events"] == ENTERED + EXITED
    assert res["again"] == "{'a': PLAIN}"


def test_install_signature():
    import inspect

    from norv_core import _native as n

    params = inspect.signature(n._install_formatting_bridge).parameters
    assert [(p.name, p.kind, p.default is inspect.Parameter.empty) for p in params.values()] == [
        (name, inspect.Parameter.POSITIONAL_OR_KEYWORD, True)
        for name in ("str_format", "repr_format", "outer_markdown_active")
    ]
