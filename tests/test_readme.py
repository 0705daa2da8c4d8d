"""The README's Python examples run as they stand."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"


def test_readme_python_blocks_run_in_order(tmp_path, monkeypatch, capsys):
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)
    assert len(blocks) >= 5  # the road and one block per module
    monkeypatch.chdir(tmp_path)
    namespace: dict = {}
    for number, block in enumerate(blocks):
        try:
            exec(compile(block, f"README block {number}", "exec"), namespace)
        except Exception as error:  # pragma: no cover - the message is the point
            pytest.fail(f"README block {number} failed: {error!r}\n{block}")
    assert namespace["rebuilt"].shape == (2, 5)
