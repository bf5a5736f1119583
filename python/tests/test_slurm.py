"""The README's Slurm job scripts, run on a one-node Slurm cluster started on this
machine: a job array of `batch --shard` tasks and a Dask scan inside one
allocation.  The scripts are taken from README.md itself, with only the
resources (one node, this machine's CPUs) and the scratch paths put in, and
their results must equal the same batch and scan done here directly."""

import gzip
import os
import subprocess
import time

import pytest

from conftest import BINARY, BUILD, ROOT
import slurm_cluster

WHY = slurm_cluster.unavailable()
pytestmark = pytest.mark.skipif(WHY is not None, reason="Slurm test: %s" % WHY)

BOUND = 180.0   # seconds for the jobs of the whole module, queueing included


def job_scripts(text):
    """The shell scripts shown in a Markdown or reStructuredText text: each block that
    begins with #!/bin/bash (indented, or fenced), without its indentation."""
    lines = text.splitlines()
    for i, first in enumerate(lines):
        if first.strip() != "#!/bin/bash":
            continue
        indent = first[:len(first) - len(first.lstrip())]
        fenced = i > 0 and lines[i - 1].lstrip().startswith(("```", "~~~"))
        if not indent and not fenced:
            continue
        j = i + 1
        while j < len(lines):
            line = lines[j]
            if fenced:
                if line.lstrip().startswith(("```", "~~~")):
                    break
            elif line.strip():
                if not line.startswith(indent):
                    break
            elif j + 1 >= len(lines) or not lines[j + 1].startswith(indent) \
                    or not lines[j + 1].strip():
                break
            j += 1
        yield "\n".join(line[len(indent):] for line in lines[i:j]) + "\n"


def readme_script(marker):
    """The job script holding `marker` as README.md shows it; a copy in the
    documentation's sources must be the same text."""
    sources = [ROOT / "README.md"] + sorted(
        p for p in (ROOT / "docs").rglob("*") if p.suffix in (".md", ".rst"))
    found = {}
    for path in sources:
        for script in job_scripts(path.read_text()):
            if marker in script:
                found.setdefault(script, []).append(str(path.relative_to(ROOT)))
    assert len(found) == 1, "expected one job script with %r, found %s" % (
        marker, found or "none")
    return next(iter(found))


def substitute(script, changes):
    for old, new in changes.items():
        assert old in script, "README.md's job script no longer holds %r:\n%s" % (old, script)
        script = script.replace(old, new)
    return script


@pytest.fixture(scope="module")
def slurm(tmp_path_factory):
    cluster = slurm_cluster.SlurmCluster(tmp_path_factory.mktemp("slurm"))
    try:
        cluster.start()
        cluster.deadline = time.monotonic() + BOUND
        yield cluster
    finally:
        cluster.stop()


@pytest.fixture
def job_env(slurm, tmp_path):
    """The directory a job is submitted from and the environment it gets: chainmelt
    and Debian's python3 first on PATH, the package importable, home and
    temporary files in the scratch directory."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "chainmelt").symlink_to(BINARY)
    (bin_dir / "python3").symlink_to("/usr/bin/python3")
    for d in ("home", "tmp", "job"):
        (tmp_path / d).mkdir()
    env = {k: v for k, v in os.environ.items() if not k.startswith(("SLURM_", "PYTHON"))}
    env.update(PATH="%s:/usr/bin:/bin" % bin_dir, PYTHONPATH=str(BUILD / "python"),
               HOME=str(tmp_path / "home"), TMPDIR=str(tmp_path / "tmp"), MPLBACKEND="Agg")
    return tmp_path / "job", env


def run_job(slurm, script, cwd, env):
    """Submits `script`, waits for it within the module's bound and checks that
    every task completed with status 0; returns the job's output files' text."""
    (cwd / "job.sh").write_text(script)
    job = slurm.sbatch("job.sh", cwd, env)
    finished = slurm.wait([job], slurm.deadline)
    outputs = "\n".join("--- %s\n%s" % (p.name, p.read_text(errors="replace"))
                        for p in sorted(cwd.glob("slurm-*.out")))
    assert finished, "job %s not done within %.0f s\n%s\n%s" % (job, BOUND, outputs,
                                                                slurm.logs())
    states = slurm.states(job)
    assert states and all(s[1:] == ("COMPLETED", "0:0") for s in states), \
        "%s\n%s\n%s" % (states, outputs, slurm.logs())
    # Nothing the script started outlives the job.
    deadline = time.monotonic() + 10
    while slurm_cluster.processes_under(cwd) and time.monotonic() < deadline:
        time.sleep(0.2)
    left = slurm_cluster.processes_under(cwd)
    assert not left, "left running after the job: %s" % [
        open("/proc/%d/cmdline" % p, "rb").read().replace(b"\0", b" ") for p in left]
    return outputs


def _run_table(path):
    """{line: (status, records, message)} of a batch's runs table."""
    rows = path.read_text().splitlines()
    names = rows[0].split("\t")
    assert names == ["run", "key", "status", "records", "seconds", "worker", "message"]
    out = {}
    for r in rows[1:]:
        cells = dict(zip(names, r.split("\t")))
        out[int(cells["run"])] = (cells["status"], int(cells["records"]), cells["message"])
    return out


def test_job_array_of_shards_equals_the_whole_batch(slurm, job_env, cli):
    job, env = job_env
    for name in ("heat-n2.toml", "phase-n2.toml", "crit-n2.toml", "size-n1.toml",
                 "coexist-n4.toml"):
        (job / name).write_text((ROOT / "examples" / name).read_text())
    classic = [next(s for s in (ROOT / "examples" / f).read_text().splitlines()
                    if s and not s.startswith("#"))
               for f in ("heat-n2.args", "phase-n2.args", "coexist-n4.args", "crit-n2.args")]
    runs = ["# runs of a job array: classic lines and parameter files", ""] + classic + [
        "@heat-n2.toml w=%d" % w for w in range(-250, -150, 10)] + [
        "@phase-n2.toml w=-280", "", "@size-n1.toml nu=1", "@crit-n2.toml",
        "@coexist-n4.toml conc=0.2"]
    (job / "runs.txt").write_text("\n".join(runs) + "\n")
    cpus = min(4, slurm.cpus)
    script = substitute(readme_script("--shard"),
                        {"#SBATCH --cpus-per-task=4": "#SBATCH --cpus-per-task=%d" % cpus})
    run_job(slurm, script, job, env)

    local = job.parent / "local"
    status, _, err = cli("batch", job / "runs.txt", "--threads", "2", "--out-dir", local)
    assert status == 0, err
    merged = {}
    for k in range(10):
        part = _run_table(job / "results" / ("runs-%d-of-10.tsv" % k))
        assert not set(part) & set(merged), "a run done by two shards"
        merged.update(part)
    whole = _run_table(local / "runs.tsv")
    assert merged == whole
    assert len(whole) == len([r for r in runs if r and not r.startswith("#")])
    assert all(v[0] == "ok" for v in whole.values())
    files = sorted(p.name for p in local.glob("line-*"))
    assert files == sorted(p.name for p in (job / "results").glob("line-*"))
    assert len(files) == len(whole)
    for name in files:
        assert (job / "results" / name).read_bytes() == (local / name).read_bytes(), name


GRID = """task = "heat"
n0 = 2
Tm = 314.0
T-sweep = [300.0, 330.0, 1.0]

[scan]
w = {min = -250.0, max = -160.0, num = 10}
dHcal = [1900.0, 2200.0, 2500.0]
"""


def _scan_results(directory):
    """(header lines, {run: record lines}, {run: runs.tsv row without the columns of
    time, worker and place in the table})."""
    with gzip.open(directory / "records.tsv.gz", "rt") as f:
        lines = f.read().splitlines()
    head, records = lines[:3], {}
    for line in lines[3:]:
        records.setdefault(int(line.split("\t", 1)[0]), []).append(line)
    rows = (directory / "runs.tsv").read_text().splitlines()
    names = rows[0].split("\t")
    # The line checksum covers the seconds and the worker, and the chunk
    # field the records' place in the gzip stream.
    keep = [i for i, n in enumerate(names)
            if n not in ("seconds", "worker", "records_end", "chunk", "check")]
    runs = {}
    for r in rows[1:]:
        cells = r.split("\t")
        runs[int(cells[0])] = [cells[i] for i in keep]
    return head, records, runs


def test_dask_scan_in_one_allocation_equals_a_local_scan(slurm, job_env):
    job, env = job_env
    (job / "grid.toml").write_text(GRID)
    home = env["HOME"]
    script = substitute(readme_script("dask scheduler"), {
        "#SBATCH --nodes=4": "#SBATCH --nodes=1",
        "#SBATCH --ntasks-per-node=32": "#SBATCH --ntasks-per-node=%d" % slurm.cpus,
        "$HOME/scan": home + "/scan",
        "dask scheduler ": "dask scheduler --host 127.0.0.1 ",   # this machine only
    })
    outputs = run_job(slurm, script, job, env)
    assert "30 runs, 0 done before, 30 run now, 30 ok" in outputs, outputs

    local = job.parent / "local"
    p = subprocess.run(["/usr/bin/python3", "-m", "chainmelt", "scan", job / "grid.toml",
                        "-o", local, "--workers", "2"], env=env, capture_output=True,
                       text=True, timeout=120)
    assert p.returncode == 0, p.stderr
    head, records, runs = _scan_results(job / "results")
    assert (head, records, runs) == _scan_results(local)
    assert sorted(runs) == list(range(1, 31)) and sorted(records) == sorted(runs)
    assert all("\tok\t" in "\t".join(r) for r in runs.values())
    assert not (job / "results" / "lock").exists()

