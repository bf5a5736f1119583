"""A one-node Slurm cluster on this machine, in a scratch directory, for the tests.

Everything it needs lives under its directory: a MUNGE key and a munged of its
own (key, socket, pid, seed and log there), a slurm.conf naming the node
"localhost" on 127.0.0.1 with this machine's CPUs, free ports, its own state,
spool, pid and log files, no accounting.  The daemons run in the foreground
as children of the test and are stopped by pid; clients find the cluster
through SLURM_CONF in `env`.  Nothing is written outside the directory.
"""

import os
import shutil
import signal
import socket
import subprocess
import time
from pathlib import Path

COMMANDS = ("munged", "slurmctld", "slurmd", "sbatch", "squeue", "scontrol", "scancel",
            "sinfo")
SBIN = ("/usr/sbin", "/usr/bin", "/sbin", "/bin")


def find(name):
    return shutil.which(name, path=os.pathsep.join(SBIN))


def unavailable():
    """Why a cluster cannot be started here, or None."""
    if not hasattr(os, "geteuid") or os.geteuid() != 0:
        return "needs root (slurmd runs as root to start jobs as their owners)"
    missing = [name for name in COMMANDS if find(name) is None]
    if missing:
        return "needs Debian's slurm-wlm and munge (missing: %s)" % " ".join(missing)
    return None


def free_ports(n):
    socks = []
    try:
        for _ in range(n):
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            socks.append(s)
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


def stop(proc, grace=10.0):
    """Ends a process started here: SIGTERM by its pid, SIGKILL after `grace` seconds."""
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(grace)


def processes_under(directory):
    """Pids of the processes whose working directory or command line lies in `directory`
    (job steps and what they started, which are not children of this process)."""
    directory = str(directory)
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            cwd = os.readlink("/proc/%s/cwd" % entry)
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmd = f.read().decode(errors="replace")
        except OSError:
            continue
        if cwd == directory or cwd.startswith(directory + "/") or directory + "/" in cmd:
            found.append(int(entry))
    return found


class SlurmCluster:
    def __init__(self, root):
        self.root = Path(root)
        self.etc = self.root / "etc"
        self.run = self.root / "run"
        self.log = self.root / "log"
        self.conf = self.etc / "slurm.conf"
        self.socket = self.run / "munge.socket"
        self.procs = {}
        self.jobs = []
        self.places = [self.root]
        self.cpus = None
        self.env = {"SLURM_CONF": str(self.conf)}

    # -------------------------------------------------------------- start and stop

    def start(self, timeout=60.0):
        deadline = time.monotonic() + timeout
        for d in (self.etc, self.run, self.log, self.root / "state", self.root / "spool"):
            d.mkdir(parents=True)
            d.chmod(0o700)
        key = self.etc / "munge.key"
        fd = os.open(key, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o400)
        with os.fdopen(fd, "wb") as f:
            f.write(os.urandom(128))
        # --force: munged wants every directory above its socket open to all users
        # (a socket others can reach); the scratch directory is root's alone, as is
        # every client of this cluster.
        self._spawn("munged", [find("munged"), "--foreground", "--force",
                               "--key-file=%s" % key, "--socket=%s" % self.socket,
                               "--pid-file=%s" % (self.run / "munged.pid"),
                               "--seed-file=%s" % (self.run / "munged.seed"),
                               "--log-file=%s" % (self.log / "munged.log")])
        self._until(lambda: self.socket.exists(), deadline, "munged socket")
        # The node as slurmd sees this machine, so that it registers as configured.
        probe = subprocess.run([find("slurmd"), "-C"], capture_output=True, text=True,
                               timeout=30)
        words = dict(w.split("=", 1) for w in probe.stdout.split() if "=" in w)
        self.cpus = int(words.get("CPUs", os.cpu_count() or 1))
        ctld_port, d_port = free_ports(2)
        self.conf.write_text(self._conf(ctld_port, d_port))
        self._spawn("slurmctld", [find("slurmctld"), "-D", "-f", str(self.conf)])
        self._spawn("slurmd", [find("slurmd"), "-D", "-f", str(self.conf), "-N", "localhost"])
        self._until(self._node_idle, deadline, "an idle node")

    def _conf(self, ctld_port, d_port):
        r = self.root
        return "\n".join([
            "ClusterName=chainmelt-test",
            "SlurmctldHost=localhost(127.0.0.1)",
            "SlurmctldPort=%d" % ctld_port,
            "SlurmdPort=%d" % d_port,
            "SlurmUser=root",
            "AuthType=auth/munge",
            "CredType=cred/munge",
            "AuthInfo=socket=%s" % self.socket,
            "StateSaveLocation=%s" % (r / "state"),
            "SlurmdSpoolDir=%s" % (r / "spool"),
            "SlurmctldPidFile=%s" % (self.run / "slurmctld.pid"),
            "SlurmdPidFile=%s" % (self.run / "slurmd.pid"),
            "SlurmctldLogFile=%s" % (self.log / "slurmctld.log"),
            "SlurmdLogFile=%s" % (self.log / "slurmd.log"),
            "MailProg=/bin/true",
            "ProctrackType=proctrack/linuxproc",
            "TaskPlugin=task/none",
            "JobAcctGatherType=jobacct_gather/none",
            "AccountingStorageType=accounting_storage/none",
            "JobCompType=jobcomp/none",
            "SwitchType=switch/none",
            "MpiDefault=none",
            "ReturnToService=2",
            "SchedulerType=sched/builtin",
            "SchedulerParameters=batch_sched_delay=0,sched_min_interval=0",
            "SelectType=select/cons_tres",
            "SelectTypeParameters=CR_CPU",
            "KillWait=5",
            "NodeName=localhost NodeAddr=127.0.0.1 CPUs=%d State=UNKNOWN" % self.cpus,
            "PartitionName=test Nodes=localhost Default=YES MaxTime=INFINITE State=UP",
        ]) + "\n"

    def _spawn(self, name, argv):
        out = open(self.log / ("%s.out" % name), "wb")
        try:
            self.procs[name] = subprocess.Popen(
                argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                env=dict(os.environ, **self.env), cwd=self.root, start_new_session=True)
        finally:
            out.close()

    def _until(self, ready, deadline, what):
        while not ready():
            for name, p in self.procs.items():
                if p.poll() is not None:
                    raise RuntimeError("%s ended with status %s while waiting for %s\n%s"
                                       % (name, p.returncode, what, self.logs()))
            if time.monotonic() > deadline:
                raise RuntimeError("no %s in time\n%s" % (what, self.logs()))
            time.sleep(0.2)

    def _node_idle(self):
        p = self.client("sinfo", "-h", "-N", "-o", "%T", check=False)
        return p.returncode == 0 and p.stdout.strip() == "idle"

    def stop(self):
        """Cancels the jobs submitted here, ends the daemons by their pids, then whatever
        a job left running in the cluster's directory or the one it was submitted from."""
        try:
            if self.jobs and self.procs.get("slurmctld") and self.procs["slurmctld"].poll() is None:
                self.client("scancel", *self.jobs, check=False)
                deadline = time.monotonic() + 15
                while self.active(self.jobs) and time.monotonic() < deadline:
                    time.sleep(0.2)
        finally:
            for name in ("slurmd", "slurmctld", "munged"):
                stop(self.procs.get(name))
            for pid in {p for d in self.places for p in processes_under(d)}:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass

    def logs(self):
        parts = []
        for f in sorted(self.log.glob("*")):
            text = f.read_text(errors="replace").splitlines()[-30:]
            parts.append("--- %s\n%s" % (f.name, "\n".join(text)))
        return "\n".join(parts)

    # -------------------------------------------------------------- clients

    def client(self, name, *args, check=True, timeout=30, env=None, cwd=None):
        p = subprocess.run([find(name), *map(str, args)], capture_output=True, text=True,
                           timeout=timeout, env=dict(env or os.environ, **self.env), cwd=cwd)
        if check and p.returncode != 0:
            raise RuntimeError("%s %s: status %d: %s\n%s" % (name, " ".join(map(str, args)),
                                                             p.returncode, p.stderr, self.logs()))
        return p

    def sbatch(self, script, cwd, env):
        """Submits `script` from `cwd` with the environment `env`; returns the job id."""
        self.places.append(Path(cwd))
        p = self.client("sbatch", "--parsable", script, env=env, cwd=cwd)
        job = p.stdout.strip().split(";")[0]
        self.jobs.append(job)
        return job

    def active(self, jobs):
        p = self.client("squeue", "-h", "-o", "%i", "-j", ",".join(jobs), check=False)
        return p.returncode == 0 and bool(p.stdout.strip())

    def wait(self, jobs, deadline):
        """Waits until none of `jobs` is queued or running; False when `deadline`
        (time.monotonic) passed first."""
        while self.active(jobs):
            if time.monotonic() > deadline:
                return False
            time.sleep(0.5)
        return True

    def states(self, job):
        """[(job id, state, exit code)] of a job and, for an array, each of its tasks."""
        p = self.client("scontrol", "-o", "show", "job", job)
        out = []
        for line in p.stdout.splitlines():
            f = dict(w.split("=", 1) for w in line.split() if "=" in w)
            out.append((f.get("JobId"), f.get("JobState"), f.get("ExitCode")))
        return out
