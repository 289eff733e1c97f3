"""The Python samples of the user guide and of the README run: those of one page in order, in
one namespace."""

import importlib.util
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PAGES = sorted((ROOT / "docs").glob("*.md")) + [ROOT / "README.md"]
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)


def samples(page: Path) -> str:
    """The chapter's Python blocks as one program whose lines keep their numbers in the page,
    so that a failure points at the page's own line."""
    text = page.read_text()
    program = [""] * text.count("\n")
    for block in BLOCK.finditer(text):
        first = text.count("\n", 0, block.start(1))
        for offset, line in enumerate(block.group(1).splitlines()):
            program[first + offset] = line
    return "\n".join(program)


def missing_modules(program: str) -> list[str]:
    """The package's modules that the samples import and this tree does not have yet."""
    used = re.findall(r"^\s*from (quenmark\.[\w.]+) import", program, re.M)
    return [name for name in used if importlib.util.find_spec(name) is None]


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(ROOT)))
def test_guide_samples_run(page, tmp_path, monkeypatch):
    program = samples(page)
    if missing := missing_modules(program):
        pytest.skip(f"needs {', '.join(missing)}")
    monkeypatch.chdir(tmp_path)
    exec(compile(program, str(page), "exec"), {"__name__": "docs_" + page.stem})


if __name__ == "__main__":
    # `python tests/test_docs.py FOLDER` writes each page's program to FOLDER (docs/routing.md
    # as docs_routing.py), for mypy (make typecheck).
    import sys

    folder = Path(sys.argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    for page in PAGES:
        program = samples(page)
        if not missing_modules(program):
            name = "_".join(page.relative_to(ROOT).with_suffix("").parts).lower()
            (folder / f"{name}.py").write_text(program + "\n")
