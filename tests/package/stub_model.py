"""What the stub python/vesper_native36.pyi declares, read with ast.

The stub is never imported: its annotations are evaluated one by one, with
its own aliases and the runtime module's classes in scope, so that the
tests can check runtime values against them.
"""
from __future__ import annotations

import ast
import dataclasses
import pathlib
import typing

import typing_extensions

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = ROOT / "python" / "vesper_native36.pyi"


@dataclasses.dataclass
class Param:
    name: str
    has_default: bool
    positional_only: bool
    keyword_only: bool
    default: ast.expr | None = None


@dataclasses.dataclass
class Member:
    name: str
    kind: str  # "method", "static", "property", "constructor"
    params: list[Param]
    returns: ast.expr | None


@dataclasses.dataclass
class StubClass:
    name: str
    final: bool
    members: dict[str, Member]

    @property
    def constructor(self) -> Member | None:
        return self.members.get("__init__") or self.members.get("__new__")


@dataclasses.dataclass
class StubException:
    """An exception class of the module: its base and its annotated attributes."""
    name: str
    base: str
    attributes: dict[str, ast.expr]


@dataclasses.dataclass
class StubRecord:
    """A record type of the module (a tuple subclass with named fields):
    its fields in order and its integer constants."""
    name: str
    fields: list[str]
    constants: list[str]


@dataclasses.dataclass
class Stub:
    all: list[str]
    attributes: dict[str, ast.expr]
    classes: dict[str, StubClass]
    aliases: dict[str, ast.expr]
    tree: ast.Module
    exceptions: dict[str, StubException] = dataclasses.field(default_factory=dict)
    records: dict[str, StubRecord] = dataclasses.field(default_factory=dict)

    def public_names(self) -> set[str]:
        names = set(self.attributes) | set(self.classes) | set(self.exceptions) | set(self.records)
        return {n for n in names if not n.startswith("_")}


def _decorator_names(node: ast.FunctionDef | ast.ClassDef) -> set[str]:
    names = set()
    for d in node.decorator_list:
        if isinstance(d, ast.Name):
            names.add(d.id)
        elif isinstance(d, ast.Attribute):
            names.add(d.attr)
    return names


def _params(fn: ast.FunctionDef, drop_first: bool) -> list[Param]:
    a = fn.args
    positional = [(p, True) for p in a.posonlyargs] + [(p, False) for p in a.args]
    if drop_first:
        positional = positional[1:]
    n_defaults = len(a.defaults)
    first_default = len(a.posonlyargs) + len(a.args) - n_defaults
    offset = 1 if drop_first else 0
    out = []
    for i, (p, only) in enumerate(positional):
        index = i + offset - first_default
        default = a.defaults[index] if index >= 0 else None
        out.append(Param(p.arg, default is not None, only, False, default))
    for p, default in zip(a.kwonlyargs, a.kw_defaults):
        out.append(Param(p.arg, default is not None, False, True, default))
    if a.vararg or a.kwarg:
        raise AssertionError(f"{fn.name}: the module has no *args/**kwargs parameters")
    return out


def _member(fn: ast.FunctionDef) -> Member:
    decorators = _decorator_names(fn)
    if "property" in decorators:
        kind = "property"
    elif "staticmethod" in decorators:
        kind = "static"
    elif fn.name in ("__init__", "__new__"):
        kind = "constructor"
    else:
        kind = "method"
    return Member(fn.name, kind, _params(fn, drop_first=kind != "static"), fn.returns)


def load(path: pathlib.Path = STUB) -> Stub:
    tree = ast.parse(path.read_text(), str(path))
    stub = Stub([], {}, {}, {}, tree)
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and _exception_base(node):
            attributes = {item.target.id: item.annotation for item in node.body
                          if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name)}
            stub.exceptions[node.name] = StubException(node.name, _exception_base(node), attributes)
        elif isinstance(node, ast.ClassDef) and _is_record(node):
            fields = [item.name for item in node.body if isinstance(item, ast.FunctionDef)
                      and "property" in _decorator_names(item)]
            constants = [item.target.id for item in node.body
                         if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name)]
            stub.records[node.name] = StubRecord(node.name, fields, constants)
        elif isinstance(node, ast.ClassDef):
            members = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members[item.name] = _member(item)
                elif isinstance(item, (ast.AnnAssign, ast.Assign)):
                    raise AssertionError(f"{node.name}: the classes hold no data attributes")
            stub.classes[node.name] = StubClass(node.name, "final" in _decorator_names(node), members)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            name = node.target.id
            if _is_type_alias(node.annotation):
                assert node.value is not None
                stub.aliases[name] = node.value
            else:
                stub.attributes[name] = node.annotation
        elif isinstance(node, ast.Assign) and len(node.targets) == 1 and isinstance(node.targets[0], ast.Name):
            if node.targets[0].id == "__all__":
                stub.all = list(ast.literal_eval(node.value))
            else:
                stub.aliases[node.targets[0].id] = node.value
    return stub


def _is_record(node: ast.ClassDef) -> bool:
    """A class of the stub derived from tuple[...]."""
    return any(isinstance(base, ast.Subscript) and isinstance(base.value, ast.Name) and base.value.id == "tuple"
               for base in node.bases)


def _exception_base(node: ast.ClassDef) -> str:
    """The builtin exception a class of the stub derives from, "" for none."""
    for base in node.bases:
        if isinstance(base, ast.Name) and base.id.endswith(("Error", "Exception")):
            return base.id
    return ""


def _is_type_alias(annotation: ast.expr) -> bool:
    return (isinstance(annotation, ast.Name) and annotation.id == "TypeAlias") or (
        isinstance(annotation, ast.Attribute) and annotation.attr == "TypeAlias"
    )


class Evaluator:
    """Turns the stub's annotations into runtime type objects."""

    def __init__(self, stub: Stub, module: object) -> None:
        self.scope: dict[str, object] = {}
        for source in (typing, typing_extensions):
            self.scope.update({n: getattr(source, n) for n in dir(source) if not n.startswith("_")})
        for name in list(stub.exceptions) + list(stub.records):
            self.scope[name] = getattr(module, name)
        for name in stub.classes:
            # Protocols of the stub (only used for parameters) stand for object.
            self.scope[name] = getattr(module, name, object)
        for name, expr in stub.aliases.items():
            self.scope[name] = self.eval(expr)

    def eval(self, expr: ast.expr) -> object:
        return eval(compile(ast.Expression(expr), "<stub>", "eval"), self.scope)  # noqa: S307
