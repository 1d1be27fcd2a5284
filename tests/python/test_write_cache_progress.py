"""show_progress: nothing is drawn without a terminal, something with one."""

import os
import pty
import subprocess
import sys
import textwrap

import _brivane
from writer_support import Source, make_config, read_cache, samples

SCRIPT = textwrap.dedent(
    """
    import sys, time
    sys.path.insert(0, {support!r})
    import _brivane
    from writer_support import Source, make_config, samples

    def slow():
        for item in samples(30):
            time.sleep(0.01)
            yield item

    runtime = _brivane.DatasetRuntime(2)
    sources = {sources}
    results = _brivane.write_cache(runtime, sources, {base!r}, make_config(show_progress=True), False)
    assert all(r[0] == "success" for r in results), results
    """
)


def run_on_pty(tmp_path, sources):
    script = SCRIPT.format(support=os.path.dirname(__file__), sources=sources, base=str(tmp_path / "out"))
    master, slave = pty.openpty()
    try:
        process = subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=slave, env=dict(os.environ))
        os.close(slave)
        chunks = []
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # EIO once the child has closed the terminal
                break
            if not chunk:
                break
            chunks.append(chunk)
        assert process.wait(timeout=60) == 0
    finally:
        os.close(master)
    return b"".join(chunks).decode("utf-8", "replace")


def test_nothing_is_drawn_without_a_terminal(tmp_path, capfd):
    runtime = _brivane.DatasetRuntime(2)
    config = make_config(show_progress=True)
    assert _brivane.write_cache(runtime, [Source("a", samples(50)), Source("b", samples(5))], str(tmp_path), config,
                                False)[1][0] == "success"
    assert _brivane.write_cache(runtime, Source("c", samples(5)), str(tmp_path), config, False)[0][0] == "success"
    read_cache(tmp_path / "a")
    assert capfd.readouterr().err == ""


def test_list_mode_draws_the_overall_bar_and_spinners(tmp_path):
    out = run_on_pty(tmp_path, '[Source("a", slow), Source("b", samples(3))]')
    assert "\x1b[" in out
    assert "sources" in out and "2/2" in out
    assert "writing a" in out or "items" in out


def test_single_mode_leaves_the_throughput_line(tmp_path):
    out = run_on_pty(tmp_path, 'Source("a", slow)')
    assert "30 items" in out
    assert "MB/s" in out
