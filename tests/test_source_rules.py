"""Cheap guards for the project's own rules, checked on the C++ sources."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
CORE_DIRS = ["base", "fs", "terminal", "pool/posix", "pool/account"]

pytestmark = pytest.mark.skipif(not SRC.is_dir(), reason="source tree not available")


def core_files():
    for d in CORE_DIRS:
        yield from sorted((SRC / d).glob("*.[hc]*"))


@pytest.mark.parametrize(
    "pattern, why",
    [
        (r"#\s*include\s*[<\"]Python\.h[>\"]", "only the binding layer sees the Python API"),
        (r"\bPy[A-Z][A-Za-z]*_[A-Za-z]+\s*\(", "only the binding layer calls the Python API"),
        (r"\bthrow\s+(?!Panic\b|std::bad_alloc\b)", "the core reports ordinary failures as values; only Panic (and allocation failure) unwinds"),
    ],
)
def test_core_keeps_to_its_side(pattern, why):
    offenders = [
        f"{path.relative_to(SRC)}:{n}: {line.strip()}"
        for path in core_files()
        for n, line in enumerate(path.read_text().splitlines(), 1)
        if re.search(pattern, line) and not line.lstrip().startswith("//")
    ]
    assert not offenders, why + ":\n" + "\n".join(offenders)


def test_every_header_says_what_it_is():
    missing = [
        str(path.relative_to(SRC))
        for path in SRC.rglob("*.h")
        if not path.read_text().lstrip().startswith("//")
    ]
    assert not missing, "headers should open with a comment naming their concept: " + ", ".join(missing)


def test_the_posix_layer_knows_nothing_of_accounts():
    offenders = [
        f"{path.relative_to(SRC)}:{n}"
        for path in sorted((SRC / "pool" / "posix").glob("*.[hc]*"))
        for n, line in enumerate(path.read_text().splitlines(), 1)
        if re.match(r'\s*#\s*include\s*"pool/account/', line)
    ]
    assert not offenders, "src/pool/posix includes the account layer: " + ", ".join(offenders)
