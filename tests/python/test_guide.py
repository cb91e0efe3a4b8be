"""The guide's examples run as written: each Python block of the sections below is executed in
order, in one namespace, and its asserts hold."""

import re
from pathlib import Path

import pytest

GUIDE = Path(__file__).parents[2] / "docs" / "guide.md"


def blocks(section):
    text = GUIDE.read_text(encoding="utf-8")
    start = text.index(f"## {section}")
    end = text.find("\n## ", start + 1)
    return re.findall(r"```python\n(.*?)```", text[start:end if end >= 0 else None], re.S)


@pytest.mark.parametrize("section", ["A search box: completions and suggestions", "A public site"])
def test_the_examples_of_a_section_run(section):
    found = blocks(section)
    assert found, f"no example in the section {section!r}"
    namespace: dict = {}
    for code in found:
        exec(compile(code, f"{GUIDE.name}: {section}", "exec"), namespace)
