"""The brivane command line, end to end: pack, inspect, verify, head."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

import brivane
from brivane.cli import main


@pytest.fixture
def tree(tmp_path):
    """A small directory tree with files to pack, and things pack must skip."""
    root = tmp_path / "tree"
    (root / "sub" / "deeper").mkdir(parents=True)
    (root / "skipme").mkdir()
    (root / "a.txt").write_bytes(b"hello")
    (root / "sub" / "b.py").write_bytes(b"print(1)\n")
    (root / "sub" / "deeper" / "empty").write_bytes(b"")
    (root / "skipme" / "c.txt").write_bytes(b"never packed")
    (root / "sub" / "link.txt").symlink_to(root / "a.txt")
    os.symlink(root / "sub", root / "dirlink")
    return root


def run(capsys, *argv):
    code = main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture
def packed(tree, tmp_path, capsys):
    code, out, err = run(capsys, "pack", tree, tmp_path / "caches", "--exclude", "skip*", "--compression", "lz4")
    assert code == 0, err
    return tmp_path / "caches" / "tree", out


def test_pack_writes_every_regular_file_with_its_metadata(packed):
    cache, out = packed
    assert out.startswith(f"packed 3 files (14 B) from ") and f"into {cache} in " in out
    samples = list(brivane.open_dataset(cache))
    assert [(s.data, s.metadata) for s in samples] == [
        (b"hello", {"path": "a.txt", "size": 5, "suffix": ".txt"}),
        (b"print(1)\n", {"path": "sub/b.py", "size": 9, "suffix": ".py"}),
        (b"", {"path": "sub/deeper/empty", "size": 0, "suffix": ""}),
    ]
    info = brivane.read_cache_info(cache)
    assert info.source_name == "tree" and {s.algo for s in info.shards} == {"lz4"}


@pytest.mark.parametrize(
    "extra, code, message",
    [
        (["--name", "a/b"], 2, "cache source name must be a plain path segment, got 'a/b' (choose one with --name)"),
        (["--name", "tree"], 1, "cache path already exists: {base}/tree"),
        (["--name", "tree", "--reuse"], 0, None),
    ],
)
def test_pack_refuses_bad_names_and_existing_caches(packed, tree, tmp_path, capsys, extra, code, message):
    result = run(capsys, "pack", tree, tmp_path / "caches", *extra)
    assert result[0] == code
    if message is not None:
        assert result[2] == f"brivane pack: error: {message.format(base=tmp_path / 'caches')}\n"


def test_pack_reports_bad_input_in_one_line(tmp_path, capsys):
    (tmp_path / "empty").mkdir()
    (tmp_path / "file").write_text("x")
    assert run(capsys, "pack", tmp_path / "missing", tmp_path / "out") == (
        2, "", f"brivane pack: error: not a directory: {tmp_path / 'missing'}\n",
    )
    assert run(capsys, "pack", tmp_path / "file", tmp_path / "out")[0] == 2
    assert run(capsys, "pack", tmp_path / "empty", tmp_path / "out") == (
        1, "", f"brivane pack: error: no regular files to pack under {tmp_path / 'empty'}\n",
    )
    assert not (tmp_path / "out" / "empty").exists()
    for bad in (["--compression", "zstd"], ["--max-shard-bytes", "lots"], ["--max-shard-bytes", "0"]):
        with pytest.raises(SystemExit) as exit_info:
            main(["pack", str(tmp_path / "empty"), str(tmp_path / "out"), *bad])
        assert exit_info.value.code == 2
    assert "invalid" in capsys.readouterr().err


def test_max_shard_bytes_takes_binary_suffixes(tree, tmp_path, capsys):
    code, _, err = run(capsys, "pack", tree, tmp_path / "out", "--max-shard-bytes", "1K", "--exclude", "skipme")
    assert code == 0, err
    assert run(capsys, "pack", tree, tmp_path / "out", "--name", "tiny", "--max-shard-bytes", "8")[0] == 0
    assert len(brivane.read_cache_info(tmp_path / "out" / "tree").shards) == 1
    assert len(brivane.read_cache_info(tmp_path / "out" / "tiny").shards) == 4  # one record each


def test_inspect_shows_what_the_manifest_holds(packed, tmp_path, capsys):
    cache, _ = packed
    code, out, _ = run(capsys, "inspect", cache)
    assert code == 0
    lines = dict(line.split(None, 1) for line in out.splitlines() if not line.startswith("  "))
    assert lines["source"] == "tree"
    assert lines["samples"] == "3"
    assert lines["schema"] == "path: string, size: int, suffix: string"
    assert lines["compression"] == "lz4 (ratio 1.0)"
    assert lines["data"].startswith("14 B raw, ")
    assert lines["shards"] == "1"
    assert "  000000.bin" in out
    assert run(capsys, "inspect", tmp_path) == (
        1, "", f"brivane inspect: error: not a cache directory (no manifest.json): {tmp_path}\n",
    )
    (tmp_path / "broken").mkdir()
    (tmp_path / "broken" / "manifest.json").write_text("{")
    code, _, err = run(capsys, "inspect", tmp_path / "broken")
    assert code == 1 and err.startswith("brivane inspect: error: malformed manifest ")


def damage_shard(cache):
    with open(cache / "shards" / "000000.bin", "r+b") as f:
        f.seek(3)
        byte = f.read(1)
        f.seek(3)
        f.write(bytes([byte[0] ^ 0xFF]))


def test_verify_prints_one_line_per_cache_and_fails_on_damage(packed, tmp_path, capsys):
    cache, _ = packed
    damaged = tmp_path / "damaged"
    no_index = tmp_path / "no_index"
    for copy in (damaged, no_index):
        subprocess.run(["cp", "-r", str(cache), str(copy)], check=True)
    damage_shard(damaged)
    (no_index / "index.bin").unlink()

    code, out, _ = run(capsys, "verify", cache)
    assert code == 0 and out.startswith(f"ok   {cache}: 3 samples, 14 B verified in ")

    code, out, err = run(capsys, "verify", cache, damaged, no_index, tmp_path / "missing")
    assert code == 1
    lines = out.splitlines()
    assert len(lines) == 4
    assert lines[0].startswith(f"ok   {cache}: ")
    assert lines[1] == f"FAIL {damaged}: checksum mismatch for {damaged}/shards/000000.bin"
    assert lines[2].startswith(f"FAIL {no_index}: ")
    assert lines[3] == f"FAIL {tmp_path / 'missing'}: missing manifest: {tmp_path / 'missing'}/manifest.json"
    assert err == "brivane verify: 3 of 4 cache(s) failed\n"


def test_head_prints_the_first_samples(packed, capsys):
    cache, _ = packed
    code, out, _ = run(capsys, "head", cache, "-n", "2")
    assert code == 0
    header, *rows = out.splitlines()
    assert header.split() == ["sample_id", "bytes", "metadata"]
    assert [row.split(None, 2) for row in rows] == [
        ["0", "5", json.dumps({"path": "a.txt", "size": 5, "suffix": ".txt"})],
        ["1", "9", json.dumps({"path": "sub/b.py", "size": 9, "suffix": ".py"})],
    ]
    assert len(run(capsys, "head", cache, "-n", "99")[1].splitlines()) == 4
    assert run(capsys, "head", cache, "-n", "0")[1].splitlines() == [header]


def test_the_command_runs_as_a_module_and_a_script_without_tracebacks(tmp_path):
    script = pathlib.Path(sys.executable).with_name("brivane")
    commands = [[sys.executable, "-m", "brivane"]] + ([[str(script)]] if script.exists() else [])
    for command in commands:
        done = subprocess.run([*command, "verify", str(tmp_path)], capture_output=True, text=True)
        assert done.returncode == 1
        assert done.stdout == f"FAIL {tmp_path}: missing manifest: {tmp_path}/manifest.json\n"
        assert "Traceback" not in done.stderr
        usage = subprocess.run([*command, "pack"], capture_output=True, text=True)
        assert usage.returncode == 2 and "usage: brivane pack" in usage.stderr
