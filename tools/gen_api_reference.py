#!/usr/bin/env python3
"""Generate docs/api.md and the docstrings of tessarin-stubs/__init__.pyi.

Both come from three sources: the signatures and types written by hand in the
stub file, the docstrings of the built module (the installed `tessarin`), and
the behaviour notes of docs/behaviour-notes.md, which say where a docstring
(fixed text) and the behaviour differ. The stub keeps its hand-written code
and comments; only the docstring of each class and of each public method and
property is (re)written, the module's own text followed by its note, so that
editors show both on hover.

    python tools/gen_api_reference.py          # rewrite both files
    python tools/gen_api_reference.py --check  # exit 1 when either is stale

Run it with the interpreter of the environment the module is installed in
(scripts/test.sh builds it into .venv).
"""

from __future__ import annotations

import argparse
import ast
import re
import sys
from pathlib import Path

import tessarin

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "tessarin-stubs" / "__init__.pyi"
REFERENCE = ROOT / "docs" / "api.md"
NOTES = ROOT / "docs" / "behaviour-notes.md"
NOTE_HEADING = re.compile(r"^## `(\w+)(?:\.(\w+))?`$")


def behaviour_notes() -> dict[tuple[str, str | None], str]:
    """(class, member or None) -> the note's text, from docs/behaviour-notes.md."""
    notes: dict[tuple[str, str | None], str] = {}
    key: tuple[str, str | None] | None = None
    body: list[str] = []
    for line in [*NOTES.read_text().splitlines(), "## end"]:
        if not line.startswith("#"):
            body.append(line)
            continue
        if key is not None:
            if key in notes:
                raise ValueError(f"{NOTES.name}: two notes for {key}")
            notes[key] = "\n".join(body).strip()
        match = NOTE_HEADING.match(line)
        key = (match[1], match[2]) if match else None
        body = []
    return notes


def noted(doc: str, note: str | None) -> str:
    """The docstring as the stub shows it: the module's text, then the note."""
    if note is None:
        return doc
    return doc + "\n\nBehaviour:\n" + "\n".join("    " + line for line in note.splitlines())


def note_paragraph(note: str | None) -> list[str]:
    return [] if note is None else [f"**Behaviour:** {note}", ""]


def runtime_doc(class_name: str, member: str | None = None) -> str | None:
    """The runtime docstring, without the text signature the interpreter
    already strips into __text_signature__."""
    obj = getattr(tessarin, class_name)
    if member is not None:
        obj = getattr(obj, member)
    doc = obj.__doc__
    return doc.strip() if doc else None


def doc_lines(doc: str, indent: str) -> list[str]:
    if '"""' in doc or "\\" in doc or doc.endswith('"'):
        raise ValueError(f"docstring needs escaping, which this tool does not do: {doc[:40]!r}")
    lines = doc.splitlines()
    if len(lines) == 1:
        return [f'{indent}"""{doc}"""']
    out = [f'{indent}"""{lines[0]}']
    out += [f"{indent}{line}" if line.strip() else "" for line in lines[1:]]
    out.append(f'{indent}"""')
    return out


def documented_nodes(tree: ast.Module):
    """Yields (node, class name, member name or None) for every stub class
    exported by the module and every public function inside it."""
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name in tessarin.__all__:
            yield node, node.name, None
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and not item.name.startswith("_"):
                    yield item, node.name, item.name


def with_docstrings(source: str, notes: dict[tuple[str, str | None], str]) -> str:
    """The stub source with each documented node's docstring set to the
    runtime one and its behaviour note. Edits go from the bottom up so line
    numbers stay valid."""
    lines = source.splitlines()
    edits = []
    for node, cls, member in documented_nodes(ast.parse(source)):
        doc = runtime_doc(cls, member)
        if doc is None:
            continue
        doc = noted(doc, notes.get((cls, member)))
        first = node.body[0]
        indent = " " * (node.col_offset + 4)
        has_doc = (
            isinstance(first, ast.Expr) and isinstance(first.value, ast.Constant) and isinstance(first.value.value, str)
        )
        header_end = first.lineno - 1
        if has_doc:
            edits.append((first.lineno - 1, first.end_lineno, doc_lines(doc, indent)))
        elif (
            isinstance(node, ast.FunctionDef)
            and header_end == node.body[0].end_lineno - 1
            and lines[header_end].rstrip().endswith(": ...")
        ):
            # A one-line body ("def f(self) -> int: ..."): the docstring replaces it.
            head = lines[header_end].rstrip()[: -len(" ...")]
            edits.append((header_end, header_end + 1, [head, *doc_lines(doc, indent)]))
        else:
            edits.append((first.lineno - 1, first.lineno - 1, doc_lines(doc, indent)))
    for start, end, new in sorted(edits, reverse=True):
        lines[start:end] = new
    return "\n".join(lines) + "\n"


def signature(fn: ast.FunctionDef, cls: str) -> str:
    args = fn.args
    params = []
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    for arg, default in zip(positional, defaults):
        if arg.arg in ("self", "cls"):
            continue
        text = arg.arg + (f": {ast.unparse(arg.annotation)}" if arg.annotation else "")
        if default is not None:
            text += f" = {ast.unparse(default)}"
        params.append(text)
    returns = f" -> {ast.unparse(fn.returns)}" if fn.returns else ""
    name = cls if fn.name == "__new__" else fn.name
    return f"{name}({', '.join(params)}){returns}"


def fenced(text: str) -> list[str]:
    return ["```text", text, "```", ""]


def reference(stub_source: str, notes: dict[tuple[str, str | None], str]) -> str:
    tree = ast.parse(stub_source)
    out = [
        "# API reference",
        "",
        "<!-- Generated by tools/gen_api_reference.py from the module's docstrings and the",
        "     type stubs. Do not edit by hand: run the tool after changing either. -->",
        "",
        f"`tessarin` {tessarin.__version__}. The text of each entry is the module's own",
        "docstring (as `help()` shows it); the signatures carry the types of the stubs",
        "shipped in the wheel (`tessarin-stubs`). The [guide](guide.md) explains the",
        "concepts and the [recipes](recipes.md) show common tasks. Examples in these",
        "docstrings are illustrations: some show calls without their output.",
        "",
        "The docstrings are fixed text. Where one says other than what the module",
        "does, a **Behaviour** note follows it (from [behaviour-notes.md](behaviour-notes.md)).",
        "The [reference](reference.md) lists the accepted parameter values and every",
        "error message.",
        "",
        "## Module `tessarin`",
        "",
        *fenced(tessarin.__doc__.strip()),
        "Attributes: `__version__: str` (the package version) and the feature flags",
        "`HAS_BURN`, `HAS_CUBECL`, `HAS_LUMENARC`, `HAS_CUDA`, `HAS_VANTOR_ACCEL`",
        "(always `False` in this build).",
        "",
    ]
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name) and node.target.id == "ParamValue":
            out += [
                "## Type alias `ParamValue` (stubs only)",
                "",
                "What `ModelConfig.with_param`, `ModelConfigBuilder.param` and",
                "`GraphNode.with_metadata` accept, for type checkers:",
                "",
                "```python",
                f"ParamValue = {ast.unparse(node.value)}",
                "```",
                "",
                "`bytes` passes a type checker (it is a sequence of ints) but the module",
                "refuses it at run time.",
                "",
            ]
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    for name in tessarin.__all__:
        if name not in classes:
            continue
        node = classes[name]
        text_signature = getattr(tessarin, name).__text_signature__
        title = f"{name}{text_signature}" if text_signature else name
        out += [f"## `{title}`", "", *fenced(runtime_doc(name) or ""), *note_paragraph(notes.get((name, None)))]
        protocols = []
        for item in node.body:
            if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                annotation = ast.unparse(item.annotation)
                if item.target.id == "__hash__" and annotation == "ClassVar[None]":
                    protocols.append("- `__hash__ = None`: unhashable")
                else:
                    out += [f"- `{name}.{item.target.id}`: `{annotation}`"]
            if not isinstance(item, ast.FunctionDef):
                continue
            decorators = {ast.unparse(d) for d in item.decorator_list}
            if item.name.startswith("_") and item.name != "__new__":
                protocols.append(
                    f"- `{signature(item, name)}`".replace("(", "(self, ", 1).replace("(self, )", "(self)")
                )
                continue
            if item.name == "__new__":
                out += [f"### Constructor `{signature(item, name)}`", ""]
                continue
            if "property" in decorators:
                returns = ast.unparse(item.returns) if item.returns else "Any"
                out += [f"### Property `{name}.{item.name}: {returns}`", "", runtime_doc(name, item.name) or "", ""]
                out += note_paragraph(notes.get((name, item.name)))
                continue
            kind = "Static method" if "staticmethod" in decorators else "Method"
            out += [f"### {kind} `{name}.{signature(item, name)}`", "", *fenced(runtime_doc(name, item.name) or "")]
            out += note_paragraph(notes.get((name, item.name)))
        if out[-1] != "":
            out.append("")
        if protocols:
            out += ["### Protocols", "", *protocols, ""]
    while out[-1] == "":
        out.pop()
    return "\n".join(out) + "\n"


def generated() -> dict[Path, str]:
    notes = behaviour_notes()
    documented = {(cls, member) for _, cls, member in documented_nodes(ast.parse(STUB.read_text()))}
    unknown = sorted(f"{cls}.{member}" if member else cls for cls, member in notes.keys() - documented)
    if unknown:
        raise ValueError(f"{NOTES.name} has notes for what the stubs do not document: {unknown}")
    stub = with_docstrings(STUB.read_text(), notes)
    return {STUB: stub, REFERENCE: reference(stub, notes)}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="exit 1 when a generated file is stale")
    options = parser.parse_args()
    stale = []
    for path, text in generated().items():
        if path.exists() and path.read_text() == text:
            continue
        stale.append(path)
        if not options.check:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
    for path in stale:
        print(f"{'stale' if options.check else 'wrote'}: {path.relative_to(ROOT)}")
    return 1 if options.check and stale else 0


if __name__ == "__main__":
    sys.exit(main())
