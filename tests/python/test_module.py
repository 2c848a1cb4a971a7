"""The module's surface: initialisation, __all__, exception classes, classes and signatures."""

import subprocess
import sys
import textwrap

import pytest

import quorvex

EXCEPTIONS = [
    ("QuorvexError", Exception, "Base exception for all Quorvex errors."),
    ("EvalError", quorvex.QuorvexError, "Raised when Quorvex code fails to evaluate."),
    ("CompileError", quorvex.QuorvexError, "Raised when Quorvex code fails to compile."),
    ("HandlerError", quorvex.QuorvexError, "Raised when an effect handler callback fails."),
    ("EffectNotFoundError", quorvex.QuorvexError, "Raised when a named effect does not exist."),
]


def test_module_imports_with_its_own_name():
    assert quorvex.__name__ == "quorvex"
    assert quorvex.__spec__.origin.endswith(".abi3.so")


def test_all_lists_the_nine_names_in_order_and_doc_is_empty():
    assert quorvex.__all__ == [
        "Engine",
        "Keyword",
        "AgentJournal",
        "parse_edn",
        "QuorvexError",
        "EvalError",
        "CompileError",
        "HandlerError",
        "EffectNotFoundError",
    ]
    assert all(hasattr(quorvex, name) for name in quorvex.__all__)
    assert quorvex.__doc__ == ""


@pytest.mark.parametrize("name, base, doc", EXCEPTIONS)
def test_exception_classes(name, base, doc):
    cls = getattr(quorvex, name)
    assert cls.__bases__ == (base,)
    assert cls.__doc__ == doc
    assert cls.__module__ == "quorvex"
    assert cls.__name__ == name
    err = cls("some text")
    assert err.args == ("some text",)
    assert str(err) == "some text"


def test_eval_error_method_resolution_order():
    assert quorvex.EvalError.__mro__ == (
        quorvex.EvalError,
        quorvex.QuorvexError,
        Exception,
        BaseException,
        object,
    )


@pytest.mark.parametrize("name", [n for n, _, _ in EXCEPTIONS[1:]])
def test_quorvex_error_catches_every_subclass(name):
    with pytest.raises(quorvex.QuorvexError):
        raise getattr(quorvex, name)("x")


@pytest.mark.parametrize(
    "obj, signature",
    [
        (quorvex.Engine, "()"),
        (quorvex.Keyword, "(name)"),
        (quorvex.AgentJournal, "()"),
        (quorvex.parse_edn, "(src)"),
    ],
)
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature


def test_parse_edn_is_a_module_function_without_documentation():
    assert quorvex.parse_edn.__doc__ is None
    assert quorvex.parse_edn.__module__ == "quorvex"
    assert quorvex.parse_edn.__name__ == "parse_edn"
    assert quorvex.parse_edn.__self__ is quorvex
    assert repr(quorvex.parse_edn) == "<built-in function parse_edn>"


@pytest.mark.parametrize("cls", [quorvex.Engine, quorvex.Keyword, quorvex.AgentJournal])
def test_classes_belong_to_the_module_and_cannot_be_subclassed(cls):
    assert cls.__module__ == "quorvex"
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_second_initialisation_in_one_process_raises_import_error():
    # Removing the module from sys.modules makes the import system call the entry point again.
    script = textwrap.dedent(
        """
        import sys
        import quorvex
        first = quorvex
        del sys.modules["quorvex"]
        try:
            import quorvex
        except ImportError as e:
            print("ImportError:", e)
        print(sys.modules.get("quorvex") is None, first.Keyword("a").name)
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "ImportError: quorvex may only be initialized once per interpreter process",
        "True a",
    ]
