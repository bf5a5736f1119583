"""Every file the package writes: atomically over regular files and through
symbolic links, directly onto devices and FIFOs with errors reported."""

import os
import stat
import threading

import pytest

from chainmelt._output import write_output
from chainmelt.cli import error_text


def test_regular_files_and_links_are_replaced_whole(tmp_path):
    target = tmp_path / "out.tsv"
    target.write_text("old\n")
    os.chmod(target, 0o640)
    write_output(target, "new\n")
    assert target.read_text() == "new\n" and stat.S_IMODE(target.stat().st_mode) == 0o640
    # A link keeps its place; its target gets the new text.
    real = tmp_path / "sub" / "real.tsv"
    real.parent.mkdir()
    real.write_text("old\n")
    link = tmp_path / "link.tsv"
    link.symlink_to(real)
    write_output(link, b"through the link\n")
    assert link.is_symlink() and real.read_text() == "through the link\n"
    # A figure (a callable filling the file) goes the same way; a failure
    # leaves the old file and no temporary behind.
    write_output(target, lambda p: open(p, "w").write("figure"))
    assert target.read_text() == "figure"

    def fails(p):
        open(p, "w").write("half")
        raise OSError(28, "No space left on device")
    with pytest.raises(OSError) as e:
        write_output(target, fails)
    assert target.read_text() == "figure"
    assert error_text(e.value) == "%s: No space left on device" % target
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.tsv", "out.tsv", "sub"]


def test_a_fifo_is_written_directly_and_one_without_reader_is_an_error(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(open(fifo, "rb").read()))
    reader.start()
    # The reader may not have opened it yet: try until it has.
    for _ in range(200):
        try:
            write_output(fifo, b"x" * 100000)
            break
        except OSError as e:
            assert e.errno == 6  # ENXIO: no reader yet
            threading.Event().wait(0.01)
    reader.join(10)
    assert got == [b"x" * 100000] and stat.S_ISFIFO(fifo.lstat().st_mode)
    with pytest.raises(OSError) as e:
        write_output(fifo, b"nobody reads")
    assert str(fifo) in error_text(e.value) and stat.S_ISFIFO(fifo.lstat().st_mode)


@pytest.fixture
def devices(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("making device nodes (mknod) needs root")
    null, full = tmp_path / "null", tmp_path / "full"
    os.mknod(null, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    os.mknod(full, 0o666 | stat.S_IFCHR, os.makedev(1, 7))
    return null, full


def test_devices_stay_devices_and_a_full_one_is_an_error(devices):
    null, full = devices
    write_output(null, "gone\n")
    assert stat.S_ISCHR(null.lstat().st_mode)
    with pytest.raises(OSError) as e:
        write_output(full, "no room\n")
    assert error_text(e.value) == "%s: No space left on device" % full
    assert stat.S_ISCHR(full.lstat().st_mode)
    # A figure onto a device node: written there, the node kept.
    write_output(null, lambda p: open(p, "w").write("figure"))
    assert stat.S_ISCHR(null.lstat().st_mode)
    assert sorted(p.name for p in null.parent.iterdir()) == ["full", "null"]


def test_a_write_that_fails_names_the_file_and_the_reason(tmp_path):
    """A file-size limit makes writes fail as a full disk does."""
    import resource
    import signal
    import subprocess
    from conftest import BUILD, ENV, pycli

    curve = tmp_path / "curve.tsv"
    binary = BUILD / "chainmelt"
    subprocess.run([str(binary), "run", "--task", "heat", "--n0", "2", "--w", "-240",
                    "--Tm", "314", "--dHcal", "2200", "--T-sweep", "300:330:1", "-o",
                    str(curve)], check=True, timeout=120, capture_output=True)

    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (2000, 2000))
    out = tmp_path / "figure.png"
    r = pycli("plot", curve, "-o", out, env=dict(ENV, PYTHONDONTWRITEBYTECODE="1"),
              preexec_fn=limit)
    assert r.returncode == 2
    assert r.stderr == "chainmelt: %s: File too large\n" % out
    assert sorted(p.name for p in tmp_path.iterdir()) == ["curve.tsv"]


def test_the_temporary_of_a_killed_writer_is_removed_by_the_next_write(tmp_path):
    import subprocess
    import sys
    from conftest import BUILD
    target = tmp_path / "records.csv"
    # A writer killed (SIGKILL) while its temporary was being filled.
    child = subprocess.Popen([sys.executable, "-c",
                              "import os, sys, time\n"
                              "from chainmelt._output import write_output\n"
                              "def slow(p):\n"
                              "    open(p, 'w').write('half')\n"
                              "    print('ready', flush=True)\n"
                              "    time.sleep(60)\n"
                              "write_output(sys.argv[1], slow)\n", str(target)],
                             stdout=subprocess.PIPE, text=True,
                             env=dict(os.environ, PYTHONPATH=str(BUILD / "python")))
    try:
        assert child.stdout.readline() == "ready\n"
    finally:
        child.kill()
        child.wait(10)
    left = [p.name for p in tmp_path.iterdir()]
    assert len(left) == 1 and left[0].startswith(".records.csv.tmp-%d-" % child.pid)
    # Another writer's live temporary is not touched.
    mine = tmp_path / (".records.csv.tmp-%d-x" % os.getpid())
    mine.write_text("in progress")
    write_output(target, "whole\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == [mine.name, "records.csv"]
