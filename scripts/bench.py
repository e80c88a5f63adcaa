#!/usr/bin/env python3
"""The benchmarks, measured in one run on this machine, so that only ratios of the same run are
compared:

  md5            our MD5 and OpenSSL's on 1 MiB blocks (bench/md5_bench.cpp)
  ceiling        bench/ceiling.cpp: a reader+digest+sender and a receiver+digest+writer of a
                 file over 127.0.0.1 without a protocol, in 10240-byte and in 240 KiB blocks;
                 the faster of the two is the ceiling
  rsync          rsync (Debian's package) in daemon mode on a loopback port: the big file with
                 --checksum-choice=md5, the others with its defaults, the resume with --append
                 (with its default checksum, and once more with md5)
  quarv          the real QuarvSvc and QuarvAgent on 127.0.0.1: one file of 1 GiB, 1000 files
                 of 100 KiB, 10000 files of 1 KiB (listing plus fetch), the resume of the
                 second half of the 1 GiB file, and ten agents fetching at once (the service's
                 peak memory with ten sessions streaming); and 100 files of 100 KiB with
                 DELETEFILE=Yes against the same with DELETEFILE=No: what putting the fetched
                 files on stable storage before their DELEs costs, with the DELEs themselves
  per side       each program alone against a peer that does no work (bench/null_peers.cpp):
                 the service sending the big file to a receiver that discards it, the agent
                 fetching a body of the same size from a sender that serves it from memory;
                 as MB/s and as a share of our MD5's speed on one core in the same run
  delay line     with --rtt: the many-file figures (with DELETEFILE=No and =Yes), the resume
                 (rsync --append with its default checksum and with md5) and the whole big file
                 (rsync with md5) through bench/delay_line.cpp, a relay that adds a one-way delay
                 of half the round trip to each direction, for Quarv and for the rsync daemon
                 (moving with --remove-source-files --fsync: the same guarantee as
                 DELETEFILE=Yes, the file is on stable storage before its source is removed);
                 the loopback figures above are not run then. At each rtt:
                 - the line alone: as many bytes as the resume and as the whole file sent from
                   memory through a relay of the same delay to a sink that discards them, no
                   protocol and no digest (delay_line send/sink); "vs line" is its time over a
                   figure's, 1 being the rate of the line itself;
                 - beyond the line: each big-file figure's time less the line's, in seconds
                   and in round trips;
                 - the CPU seconds (user+system) of each process in the median repetition of
                   each big-file figure: the agent (or rsync's client with the receiver it
                   forks, or the sink), the service (or the rsync daemon's process for the
                   connection, or the sender) and the relay, with their sum over cores x wall
                   ("busy": near 1, the run is bound by the CPU of this machine);
                 - the kernel's TCP autotuning limits (tcp_rmem, tcp_wmem, rmem_max,
                   wmem_max) and the rate one connection may reach on a real link at that rtt
                   with the largest autotuned buffers (the delay line acknowledges as it reads,
                   so it is not bound by them);
                 - the socket buffers (skmem rb/tb) the kernel gave the agent, the service and
                   the relay's two ends, the largest of `ss -tmi` samples taken every 0.2 s in
                   Quarv's first repetition
  TLS            with --tls, beside the same figures without TLS in the same run, each
                 repetition right after the plain one: on loopback the big file and the many
                 files (a service of each set with TLS=Yes, the agent with TLS=Yes and the
                 service's fingerprint); each side alone with TLS (the null peers speak TLS
                 through the programs' own Connection); with --rtt the many files, the whole big
                 file, and a whole agent run fetching one file of 1 KiB plain and with TLS,
                 whose difference is the handshake's cost in round trips. A table puts each TLS
                 figure as a ratio against its plain one next to its goal: the big file at least
                 0.75 of plain, the many files at least 0.9, each side alone at least 0.85 of our
                 MD5's speed on one core (as without TLS), the handshake at most one round trip
                 more than plain at 50 ms (checked at 50 ms and above)

Each figure is repeated, interleaved with the figures it is compared with; the best and the
median repetition are printed, as MB/s or seconds, with the ratios to the ceiling and to rsync
(speed ratios: above 1 is faster) and the peak RSS of both Quarv processes. One line per figure
starting with "BENCH " is meant for machines. Every run writes to a fresh destination, and every
source is read again just before a run, so that it comes from the page cache.

Usage: scripts/bench.py [--quick] [--repeat N] [--rtt [MS,MS,...]] [--tls]
  --quick      small data and two repetitions: a smoke check of the whole run (~30 s)
  --repeat N   repetitions of each figure (default 5, quick 2)
  --rtt LIST   the delay-line table at these round-trip times in milliseconds, comma-separated
               (alone: 0,2,20,50). The full sets at all four take about 7 minutes on a 2-core
               machine, most of it rsync moving 10000 files: start with --quick.
  --tls        the TLS figures beside the plain ones, on loopback or (with --rtt) through the
               delay line, and the table of their ratios to the plain figures and their goals
               (the run takes about a third longer)
  --rate KIB   only the rate limit's figure: one file of ten seconds' worth at the agent's
               RATE=KIB (at least 1 MiB), its rate measured against the limit (~10 s)
Environment: QUARV_BENCH_DIR       where the data go (default: $TMPDIR or /tmp; needs ~3 GiB)
             QUARV_BENCH_JOBS      build jobs (default 2)
             QUARV_BENCH_BUILD     the build directory of the bench preset (default build/bench)
             QUARV_BENCH_PROGRAMS  a build directory whose service/QuarvSvc and agent/QuarvAgent
                                   are measured instead of this tree's (an older build, for a
                                   before-and-after table)
On Debian it installs what it needs when it is missing (apt-get; run as root or with sudo;
iproute2 for ss).
Exit status: 0 when every transfer arrived whole, 1 otherwise.
"""
import collections
import contextlib
import os
import random
import re
import shutil
import subprocess
import sys
import threading
import time
import types
from pathlib import Path

from quarv_scripts import (interrupt_on_sigterm, port_open, read, start, stop, wait_for_line,
                           wait_for_port, work_directory)

ROOT = Path(__file__).resolve().parent.parent
MIB = 1024 * 1024
MEDIUM_SIZE = 100 * 1024
SMALL_SIZE = 1024
SMALL_BLOCK = 10240
LARGE_BLOCK = 245760  # 24 blocks of 10240 bytes, as the agent receives
RESUMED = "から再開します".encode()
USAGE = "usage: {} [--quick] [--repeat N] [--rtt [MS,MS,...]] [--tls] [--rate KIB]"
TLS_CONNECTED = "TLSで接続しました".encode()
# The handshake's goal is set for this round trip and checked at it and above: at a few
# milliseconds the run's own noise is larger than a round trip.
HANDSHAKE_GOAL_RTT = 50


class Settings:
    """The command line: the sizes and counts of the run."""

    def __init__(self, argv):
        quick, repeat, self.rtt_list, self.tls = False, None, [], False
        self.rate_kib = 0  # --rate: the rate limit's figure alone
        args = list(argv)
        while args:
            arg = args.pop(0)
            if arg == "--quick":
                quick = True
            elif arg == "--rate":
                if not args or not args[0].isdigit() or int(args[0]) <= 0:
                    sys.exit("--rate needs the limit in KiB per second, a positive number")
                self.rate_kib = int(args.pop(0))
            elif arg == "--tls":
                self.tls = True
            elif arg == "--repeat":
                if not args or not args[0]:
                    sys.exit("--repeat needs a number")
                repeat = args.pop(0)
            elif arg == "--rtt":
                text = args.pop(0) if args and not args[0].startswith("--") else "0,2,20,50"
                if not re.fullmatch(r"[0-9]+(\.[0-9]+)?(,[0-9]+(\.[0-9]+)?)*", text):
                    print(f"--rtt takes round trips in ms, comma-separated: {text}",
                          file=sys.stderr)
                    sys.exit(2)
                self.rtt_list = text.split(",")
            else:
                print(USAGE.format(sys.argv[0]), file=sys.stderr)
                sys.exit(2)
        self.big_size = (128 if quick else 1024) * MIB
        self.medium_count = 100 if quick else 1000
        self.small_count = 1000 if quick else 10000
        self.ten_size = (8 if quick else 64) * MIB
        self.delete_count = 20 if quick else 100
        self.one_count = 1  # the handshake's figure: one whole run for one small file
        self.repeat = int(repeat or (2 if quick else 5))
        self.half_size = self.big_size // 2

    def count(self, set_name):
        return getattr(self, f"{set_name.removesuffix('_move').removesuffix('_tls')}_count")

    @staticmethod
    def size(set_name):
        return MEDIUM_SIZE if set_name.startswith("medium") else SMALL_SIZE

    def bytes(self, size):
        """The bytes a figure carries, by the size of the table: "big", "half" (the resume) or
        a set."""
        if size == "big":
            return self.big_size
        if size == "half":
            return self.half_size
        if size == "ten":
            return 10 * self.ten_size
        if size == "delete":
            return self.delete_count * MEDIUM_SIZE
        return self.count(size) * self.size(size)

    def label(self, figure):
        """A figure's label with the sizes and counts of this run."""
        return figure.label.format(big_mib=self.big_size // MIB, half_mib=self.half_size // MIB,
                                   medium_count=self.medium_count, small_count=self.small_count,
                                   delete_count=self.delete_count)


# --- The figures ---------------------------------------------------------------------------------
# Each figure once: its name (in the BENCH lines and the tables), its label ({big_mib} and the
# like filled in by Settings.label), the bytes it carries (Settings.bytes), the rsync figure it is
# compared with, whether it is shown as a rate or a time on loopback, the figure of the delay
# line alone carrying as many bytes; and for a TLS figure, the same figure without TLS and the
# goal it is held to. Seconds are kept under the name, or name@rtt through the delay line; a name
# the table does not hold is a KeyError where it is recorded or read.
Figure = collections.namedtuple("Figure", "name label size peer kind line plain goal",
                                defaults=("", None))
# A TLS figure's goal: its speed over its plain figure's ("plain") or over our MD5's on one core
# ("md5") at least `limit`; or its time beyond its plain figure's through the delay line at most
# `limit` round trips ("rtts").
Goal = collections.namedtuple("Goal", "measure limit")
FIGURES = (
    Figure("ceiling_small", "ceiling, 10240-byte blocks", "big", "", "rate", ""),
    Figure("ceiling_large", "ceiling, 240 KiB blocks", "big", "", "rate", ""),
    Figure("rsync_big", "rsync md5, 1 file of {big_mib} MiB", "big", "", "rate", "line_big"),
    Figure("quarv_big", "Quarv, 1 file of {big_mib} MiB", "big", "rsync_big", "rate",
           "line_big"),
    Figure("rsync_resume", "rsync --append, second half", "half", "", "time", "line_resume"),
    Figure("rsync_resume_md5", "rsync --append md5, second half", "half", "", "time",
           "line_resume"),
    Figure("quarv_resume", "Quarv resume, second half", "half", "rsync_resume", "time",
           "line_resume"),
    Figure("rsync_medium", "rsync, {medium_count} x 100 KiB", "medium", "", "time", ""),
    Figure("quarv_medium", "Quarv, {medium_count} x 100 KiB", "medium", "rsync_medium", "time",
           ""),
    Figure("rsync_small", "rsync, {small_count} x 1 KiB", "small", "", "time", ""),
    Figure("quarv_small", "Quarv, {small_count} x 1 KiB", "small", "rsync_small", "time", ""),
    Figure("quarv_ten", "Quarv, 10 agents at once", "ten", "", "rate", ""),
    Figure("quarv_keep", "Quarv, {delete_count} x 100 KiB, kept", "delete", "", "time", ""),
    Figure("quarv_delete", "Quarv, the same with DELETEFILE=Yes", "delete", "", "time", ""),
    # Through the delay line only.
    Figure("rsync_medium_move", "rsync, {medium_count} x 100 KiB, moved", "medium_move", "",
           "time", ""),
    Figure("quarv_medium_move", "Quarv, {medium_count} x 100 KiB, moved", "medium_move",
           "rsync_medium_move", "time", ""),
    Figure("rsync_small_move", "rsync, {small_count} x 1 KiB, moved", "small_move", "", "time",
           ""),
    Figure("quarv_small_move", "Quarv, {small_count} x 1 KiB, moved", "small_move",
           "rsync_small_move", "time", ""),
    Figure("line_resume", "the line alone, {half_mib} MiB", "half", "", "time", ""),
    Figure("line_big", "the line alone, {big_mib} MiB", "big", "", "time", ""),
    # Each side alone against a null peer.
    Figure("side_service", "service sending {big_mib} MiB, receiver discards", "big", "", "rate",
           ""),
    Figure("side_agent", "agent fetching {big_mib} MiB, sender from memory", "big", "", "rate",
           ""),
    # With --tls: the same figures with TLS, each against its plain one.
    Figure("quarv_big_tls", "Quarv TLS, 1 file of {big_mib} MiB", "big", "rsync_big", "rate",
           "line_big", "quarv_big", Goal("plain", 0.75)),
    Figure("quarv_medium_tls", "Quarv TLS, {medium_count} x 100 KiB", "medium", "rsync_medium",
           "time", "", "quarv_medium", Goal("plain", 0.9)),
    Figure("quarv_small_tls", "Quarv TLS, {small_count} x 1 KiB", "small", "rsync_small", "time",
           "", "quarv_small", Goal("plain", 0.9)),
    Figure("side_service_tls", "service TLS, {big_mib} MiB, receiver discards", "big", "",
           "rate", "", "side_service", Goal("md5", 0.85)),
    Figure("side_agent_tls", "agent TLS, {big_mib} MiB, sender from memory", "big", "", "rate",
           "", "side_agent", Goal("md5", 0.85)),
    # Through the delay line with --tls: a whole agent run for one small file, whose time with
    # TLS beyond the plain one is the handshake's.
    Figure("quarv_one", "Quarv, 1 x 1 KiB, a whole run", "one", "", "time", ""),
    Figure("quarv_one_tls", "Quarv TLS, 1 x 1 KiB, a whole run", "one", "", "time", "",
           "quarv_one", Goal("rtts", 1)),
    # With --rate alone: one file fetched under the agent's RATE= limit (Bench.run_rate).
    Figure("quarv_rate", "Quarv, 1 file under RATE=", "rate", "", "rate", ""),
)
FIGURE = {figure.name: figure for figure in FIGURES}
# The names as attributes, for the measuring code: a misspelt one is an AttributeError.
NAME = types.SimpleNamespace(**{name: name for name in FIGURE})
assert all(name in FIGURE for figure in FIGURES
           for name in (figure.peer, figure.line, figure.plain) if name)
# The TLS figure of each plain one that has one.
TLS_OF = {figure.plain: figure for figure in FIGURES if figure.plain}


def figure_of(key):
    """The figure of a key of the seconds (NAME or NAME@RTT); a KeyError for a name not in the
    table."""
    return FIGURE[key.partition("@")[0]]


def figures(*names):
    return tuple(FIGURE[name] for name in names)


# The rows of the loopback table, in order; the big-file figures through the delay line, in the
# order they are measured and shown.
LOOPBACK = figures("ceiling_small", "ceiling_large", "rsync_big", "quarv_big", "rsync_resume",
                   "rsync_resume_md5", "quarv_resume", "rsync_medium", "quarv_medium",
                   "rsync_small", "quarv_small", "quarv_ten", "quarv_keep", "quarv_delete")
DELAY_BULK = figures("line_resume", "rsync_resume", "rsync_resume_md5", "quarv_resume",
                     "line_big", "rsync_big", "quarv_big")
# The sets that have a service with TLS as well, on loopback and through the delay line.
TLS_SETS = ("big", "medium", "small")


def with_tls(rows, tls):
    """The rows, each followed by its TLS figure when the run has TLS and it has one."""
    return tuple(row for figure in rows
                 for row in ((figure, TLS_OF[figure.name]) if tls and figure.name in TLS_OF
                             else (figure,)))


# --- Arithmetic as the figures print it ----------------------------------------------------------
def number(text):
    """A figure's text as a number (empty: 0)."""
    try:
        return float(text)
    except (TypeError, ValueError):
        return 0.0


def best(values):
    return min(values, key=float) if values else ""


def median(values):
    """The lower median: the middle one of an odd count, the lower middle one of an even."""
    ordered = sorted(values, key=float)
    return ordered[(len(ordered) + 1) // 2 - 1] if ordered else ""


def mbps(size, seconds):
    return f"{size / 1e6 / number(seconds):.1f}"


def ratio(a, b):
    return f"{number(a) / number(b):.2f}" if number(b) > 0 else "-"


def kib(value):
    return f"{value} KiB" if value else ""


def load():
    return " ".join(Path("/proc/loadavg").read_text().split()[:3])


def peak_rss(pid):
    """The process's peak RSS in KiB (VmHWM), or empty."""
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("VmHWM"):
                return line.split()[1]
    except OSError:
        pass
    return ""


def reset_peak_rss(pid):
    try:
        Path(f"/proc/{pid}/clear_refs").write_text("5")
    except OSError:
        pass


CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid, children=False):
    """User plus system seconds of a running process, all its threads (with children: and the
    children it has waited for), or None when it is gone."""
    try:
        # After the name in parentheses: the state, ..., utime, stime, cutime, cstime (fields 3
        # and 14 to 17 of proc(5)).
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return None
    ticks = int(fields[11]) + int(fields[12])
    if children:
        ticks += int(fields[13]) + int(fields[14])
    return ticks / CLOCK_TICKS


def cpu_since(pid, before, children=False):
    after = cpu_seconds(pid, children)
    return after - before if after is not None and before is not None else None


def wait_children(pid, limit=2.0):
    """Waits (up to limit seconds) until the process has no child left, so that their time is
    in its own."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            if not Path(f"/proc/{pid}/task/{pid}/children").read_text().split():
                return
        except OSError:
            return
        time.sleep(0.02)


def tcp_limits():
    """The kernel's limits for TCP socket buffers: tcp_rmem and tcp_wmem (min, default, max of
    autotuning) and net.core.rmem_max/wmem_max (the most SO_RCVBUF/SO_SNDBUF set by hand may
    ask for)."""
    limits = {}
    for name, path in (("tcp_rmem", "ipv4/tcp_rmem"), ("tcp_wmem", "ipv4/tcp_wmem"),
                       ("rmem_max", "core/rmem_max"), ("wmem_max", "core/wmem_max")):
        try:
            limits[name] = [int(v) for v in Path(f"/proc/sys/net/{path}").read_text().split()]
        except (OSError, ValueError):
            limits[name] = []
    return limits


class SocketSampler:
    """Samples `ss -tmi` during a transfer through a relay: the largest receive and send buffers
    (skmem rb and tb) the kernel gave the sockets of the agent (the relay's port is its peer),
    of the service (its port is the local one) and of the relay's two ends."""

    def __init__(self, relay_port, service_port, period=0.2):
        self.relay_port, self.service_port, self.period = relay_port, service_port, period
        self.largest = {}  # "agent_rcvbuf" etc.: bytes
        self.samples = 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def role(self, local, peer):
        if peer.endswith(f":{self.relay_port}"):
            return "agent"
        if local.endswith(f":{self.service_port}"):
            return "service"
        if local.endswith(f":{self.relay_port}"):
            return "relay_in"
        if peer.endswith(f":{self.service_port}"):
            return "relay_out"
        return ""

    def sample(self):
        ports = (f"( sport = :{self.relay_port} or dport = :{self.relay_port} or "
                 f"sport = :{self.service_port} or dport = :{self.service_port} )")
        try:
            text = subprocess.run(["ss", "-tmiHn", "state", "established", ports],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True, timeout=5).stdout
        except (OSError, subprocess.SubprocessError):
            return
        role = ""
        for line in text.splitlines():
            if not line[:1].isspace():  # Recv-Q Send-Q Local Peer
                words = line.split()
                role = self.role(words[2], words[3]) if len(words) >= 4 else ""
                continue
            found = re.search(r"skmem:\(([^)]*)\)", line)
            if not role or not found:
                continue
            self.samples += 1
            for item in found.group(1).split(","):
                key = {"rb": "rcvbuf", "tb": "sndbuf"}.get(item[:2])
                if key and item[2:].isdigit():
                    name = f"{role}_{key}"
                    self.largest[name] = max(self.largest.get(name, 0), int(item[2:]))

    def run(self):
        while not self.stopping.wait(self.period):
            self.sample()

    def __enter__(self):
        if shutil.which("ss"):
            self.thread.start()
        return self

    def __exit__(self, *_):
        self.stopping.set()
        if self.thread.is_alive():
            self.thread.join()


def warm(*directories):
    """Reads the sources again, so that a run takes them from the page cache; and writes back
    what earlier runs left dirty, so that no run pays for another's writeback."""
    os.sync()
    for directory in directories:
        for path in Path(directory).rglob("*"):
            if path.is_file():
                with open(path, "rb") as source:
                    while source.read(MIB):
                        pass


def write_random(path, size):
    with open(path, "wb") as out:
        while size > 0:
            block = min(size, 4 * MIB)
            out.write(os.urandom(block))
            size -= block


def split_random(directory, prefix, count, size):
    """count files of random bytes named prefix00000, prefix00001, ... (as split -a 5 -d)."""
    for i in range(count):
        Path(directory, f"{prefix}{i:05d}").write_bytes(os.urandom(size))


def arrived(directory, count, total):
    """Whether the directory holds exactly count files (no partial file among them) of total
    bytes in all."""
    files = [p for p in Path(directory).iterdir()
             if p.is_file() and not p.name.startswith("_incomplete_")]
    return len(files) == count and sum(p.stat().st_size for p in files) == total


class Bench:
    def __init__(self, settings, bin_dir, programs):
        self.s = settings
        self.bin = bin_dir
        self.programs = programs
        self.work = None
        self.started = []  # every process started and not stopped yet
        self.password = f"bench-{random.randrange(32768)}{random.randrange(32768)}"
        self.service_port, self.service_pid = {}, {}
        self.route = {}  # the port an agent connects to for a set, when not the service's own
        self.route_pid = {}  # the relay's process on that port
        self.rsync_port, self.rsync_pid = 0, 0
        self.rsync_route = 0  # the port rsync connects to, when not the daemon's own
        self.rsync_route_pid = 0
        self.line_route, self.line_route_pid, self.sink_pid = 0, 0, 0  # the line alone
        self.cpu = {}  # figure: per repetition, its seconds and each process's CPU seconds
        self.buffers = {}  # figure: the largest socket buffers seen by SocketSampler
        self.move_sets = ["medium_move", "small_move"] if settings.rtt_list else []
        # With --tls: a service with TLS for each set of TLS_SETS (named SET_tls, serving the
        # set's files), and with --rtt the one-file set plain and with TLS.
        self.tls_sets = [f"{set_name}_tls" for set_name in TLS_SETS] if settings.tls else []
        if settings.tls and settings.rtt_list:
            self.tls_sets += ["one", "one_tls"]
        self.fingerprint = {}  # a set (or "null_tls"): the fingerprint of its service's certificate
        self.tls_description = ""  # the agent's "TLSv1.3 ..." of the last TLS run
        self.seconds, self.agent_rss, self.service_rss = {}, {}, {}
        self.failures = 0
        self.md5 = {}
        self.machine = []

    # --- Processes -------------------------------------------------------------------------------
    def start(self, args, output, env=None):
        process = start(args, output, env)
        self.started.append(process)
        return process

    def stop_all(self):
        stop(*self.started)
        self.started = []

    @staticmethod
    def could_not_start(args, output):
        print(f"could not start: {' '.join(map(str, args))}", file=sys.stderr)
        sys.stderr.write(read(output).decode(errors="replace"))
        sys.exit(1)

    def start_server(self, configure, log, args):
        """Starts a server on a free port picked at random: configure(port) writes its settings;
        the process and its port."""
        env = {k: v for k, v in os.environ.items() if k != "NOTIFY_SOCKET"}
        for _ in range(10):
            port = random.randrange(20000, 60000)
            if port_open(port):
                continue
            configure(port)
            process = self.start(args, log, env)
            if wait_for_port(port, "open", tries=100, pause=0.05, process=process):
                return process, port
            stop(process)
        self.could_not_start(args, log)

    def start_listening(self, output, args):
        """Starts a program that prints "listening PORT" once it accepts connections; the
        process and its port."""
        process = self.start(args, output)
        line = wait_for_line(output, b"listening ", tries=200, pause=0.05, process=process)
        if line is None:
            self.could_not_start(args, output)
        return process, int(line.split()[1])

    # --- Setting up ------------------------------------------------------------------------------
    def make_data(self):
        s, work = self.s, self.work
        for name in ("src/big", "src/medium", "src/small", "src/ten", "src/delete",
                     "delete-source", "dst", "log", "run"):
            (work / name).mkdir(parents=True, exist_ok=True)
        (work / "run").chmod(0o700)  # the agent's single-instance lock lives here
        print(f"Making the data in {work}...")
        write_random(work / "src/big/big.bin", s.big_size)
        split_random(work / "src/medium", "m", s.medium_count, MEDIUM_SIZE)
        split_random(work / "src/small", "s", s.small_count, SMALL_SIZE)
        for i in range(10):
            write_random(work / f"src/ten/t{i}.bin", s.ten_size)
        # The files DELETEFILE=Yes deletes on the service are copied from here before each run.
        split_random(work / "delete-source", "d", s.delete_count, MEDIUM_SIZE)
        if "one" in self.tls_sets:
            (work / "src/one").mkdir(parents=True, exist_ok=True)
            split_random(work / "src/one", "o", s.one_count, SMALL_SIZE)

    def start_services(self):
        """One service per set; with --rtt, two more sets: the many files again, to be moved
        with DELETEFILE=Yes and with rsync --remove-source-files (filled again from medium and
        small before each run); with --tls, the services of tls_sets, those named SET_tls with
        TLS=Yes (each makes its certificate at its first start and logs its fingerprint)."""
        work = self.work
        sets = ["big", "medium", "small", "ten", "delete"] + self.move_sets + self.tls_sets
        for set_name in sets:
            tls = set_name.endswith("_tls")
            source = work / "src" / set_name.removesuffix("_tls")
            source.mkdir(parents=True, exist_ok=True)
            directory = work / f"svc-{set_name}"
            directory.mkdir(parents=True, exist_ok=True)
            shutil.copy2(self.programs / "service/QuarvSvc", directory)

            def settings(port, directory=directory, source=source, tls=tls):
                (directory / "QuarvSvc.ini").write_text(
                    f"[SERVER]\nADDRESS=127.0.0.1\nPORT={port}\nBASE={source}\n"
                    f"PASSWORD={self.password}\n" + ("TLS=Yes\n" if tls else ""))

            log = work / f"log/svc-{set_name}.log"
            process, port = self.start_server(settings, log, [directory / "QuarvSvc"])
            self.service_port[set_name], self.service_pid[set_name] = port, process.pid
            if tls:
                self.fingerprint[set_name] = self.logged_fingerprint(log, process)

    def logged_fingerprint(self, log, process):
        """The certificate's fingerprint a TLS service logged at its start."""
        for _ in range(100):
            found = re.search(rb"TLS certificate SHA-256 fingerprint ([0-9A-F:]{95})", read(log))
            if found:
                return found.group(1).decode()
            time.sleep(0.05)
        self.could_not_start([process.args[0], "(no TLS fingerprint logged)"], log)

    def start_rsync(self):
        work = self.work

        def settings(port):
            text = (f"port = {port}\naddress = 127.0.0.1\nuse chroot = no\n"
                    f"pid file = {work}/rsyncd.pid\nlog file = {work}/log/rsyncd.log\n")
            if os.getuid() == 0:
                # As root the daemon would read as nobody, who may not enter the work directory.
                text += "uid = 0\ngid = 0\n"
            for set_name in ("big", "medium", "small"):
                text += f"[{set_name}]\n  path = {work}/src/{set_name}\n  read only = yes\n"
            for set_name in self.move_sets:  # the sender removes what it sent
                text += f"[{set_name}]\n  path = {work}/src/{set_name}\n  read only = no\n"
            (work / "rsyncd.conf").write_text(text)

        daemon, self.rsync_port = self.start_server(
            settings, work / "log/rsyncd.out",
            ["rsync", "--daemon", "--no-detach", f"--config={work}/rsyncd.conf"])
        self.rsync_pid = daemon.pid

    # --- Measuring -------------------------------------------------------------------------------
    def record(self, figure, seconds):
        figure_of(figure)  # a name not in the table fails here, not as an empty line later
        if seconds:
            self.seconds.setdefault(figure, []).append(seconds)

    def timed(self, figure, args, log, env=None):
        """Runs a command with its output in log and records its seconds under figure; its exit
        status."""
        t0 = time.monotonic()
        with open(log, "wb") as out:
            status = subprocess.run([str(a) for a in args], stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, env=env).returncode
        self.record(figure, f"{time.monotonic() - t0:.4f}")
        return status

    @staticmethod
    def keep_max(table, key, value):
        if value and (key not in table or int(value) > int(table[key])):
            table[key] = value

    def fail(self, what):
        print(f"  FAILED: {what}", file=sys.stderr, flush=True)
        self.failures += 1

    def fresh(self, figure, rep):
        """A new, empty destination."""
        directory = self.work / "dst" / f"{figure}.{rep}"
        directory.mkdir(parents=True, exist_ok=True)
        return directory

    def check_arrived(self, directory, count, total, what):
        if not arrived(directory, count, total):
            self.fail(f"{what} did not arrive whole")

    def record_cpu(self, figure, **processes):
        """The CPU seconds of each process of the run just recorded under figure."""
        if self.seconds.get(figure):
            self.cpu.setdefault(figure, []).append(
                (self.seconds[figure][-1], {k: v for k, v in processes.items() if v is not None}))

    @staticmethod
    def time_output(path):
        """The last line that /usr/bin/time wrote (it may say first how the command ended)."""
        lines = path.read_text().splitlines() if path.exists() else []
        return lines[-1].split() if lines else []

    def run_quarv(self, figure, set_name, destination, delete="No", sample=False):
        """One agent run against the service of the set (with TLS when the service has a
        fingerprint); with sample, the socket buffers are sampled with ss meanwhile."""
        pid = self.service_pid[set_name]
        reset_peak_rss(pid)
        port = self.route.get(set_name, self.service_port[set_name])
        relay = self.route_pid.get(set_name)
        fingerprint = self.fingerprint.get(set_name)
        (self.work / "agent/QuarvAgent.ini").write_text(
            f"[AGENT]\nHOST=127.0.0.1\nPORT={port}\nPASSWORD={self.password}\n"
            f"BASE={destination}\nTRY=1\nCHECKFILETIME=Yes\nDELETEFILE={delete}\n"
            + (f"TLS=Yes\nFINGERPRINT={fingerprint}\n" if fingerprint else ""))
        env = dict(os.environ, XDG_RUNTIME_DIR=str(self.work / "run"))
        rss = self.work / "agent.rss"
        service_cpu, relay_cpu = cpu_seconds(pid), cpu_seconds(relay) if relay else None
        sampler = SocketSampler(port, self.service_port[set_name])
        with sampler if sample and relay else contextlib.nullcontext():
            self.timed(figure, ["/usr/bin/time", "-f", "%M %U %S", "-o", rss,
                                self.work / "agent/QuarvAgent"],
                       self.work / f"log/{figure}.log", env)
        if sampler.samples:
            for key, value in dict(sampler.largest, samples=sampler.samples).items():
                self.keep_max(self.buffers.setdefault(figure, {}), key, str(value))
        if fingerprint:
            found = re.search(rf"{TLS_CONNECTED.decode()}（(.*?)）".encode(),
                              read(self.work / f"log/{figure}.log"))
            if found:
                self.tls_description = found.group(1).decode()
            else:
                self.fail(f"{figure} did not connect with TLS")
        words = self.time_output(rss)
        self.keep_max(self.agent_rss, figure, words[0] if words else "")
        self.keep_max(self.service_rss, figure, peak_rss(pid))
        self.record_cpu(figure, service=cpu_since(pid, service_cpu),
                        agent=sum(map(float, words[1:3])) if len(words) >= 3 else None,
                        relay=cpu_since(relay, relay_cpu) if relay else None)

    def run_rsync(self, figure, source, destination, *options):
        """One rsync run; the CPU seconds of the client (with the receiver it forks), of the
        daemon's process for the connection and of the relay, if any."""
        port = self.rsync_route or self.rsync_port
        relay, times = self.rsync_route_pid, self.work / "rsync.time"
        daemon_cpu = cpu_seconds(self.rsync_pid, children=True)
        relay_cpu = cpu_seconds(relay) if relay else None
        self.timed(figure, ["/usr/bin/time", "-f", "%U %S", "-o", times, "rsync", "-a", *options,
                            f"rsync://127.0.0.1:{port}/{source}", f"{destination}/"],
                   self.work / f"log/{figure}.log")
        wait_children(self.rsync_pid)
        words = self.time_output(times)
        self.record_cpu(figure, daemon=cpu_since(self.rsync_pid, daemon_cpu, children=True),
                        client=sum(map(float, words[:2])) if len(words) >= 2 else None,
                        relay=cpu_since(relay, relay_cpu) if relay else None)

    def run_line(self, figure, size):
        """The delay line alone: size bytes from memory through the relay to a sink that
        discards, no protocol and no digest; its own seconds, and the CPU seconds of the three
        processes."""
        log, times = self.work / f"log/{figure}.log", self.work / "line.time"
        sink_cpu, relay_cpu = cpu_seconds(self.sink_pid), cpu_seconds(self.line_route_pid)
        with open(log, "wb") as out:
            status = subprocess.run(
                ["/usr/bin/time", "-f", "%U %S", "-o", str(times),
                 str(self.bin / "bench/quarv_delay_line"), "send", "--port", str(self.line_route),
                 "--bytes", str(size)], stdin=subprocess.DEVNULL, stdout=out,
                stderr=subprocess.STDOUT).returncode
        report = log.read_text(errors="replace")
        found = re.search(r"delay_line_carry .* seconds=([0-9.]*) .* ok=1", report)
        if status != 0 or not found:
            self.fail(f"{figure}: {report.rstrip(chr(10))}")
            return
        self.record(figure, found.group(1))
        words = self.time_output(times)
        self.record_cpu(figure, sink=cpu_since(self.sink_pid, sink_cpu),
                        sender=sum(map(float, words[:2])) if len(words) >= 2 else None,
                        relay=cpu_since(self.line_route_pid, relay_cpu))

    def run_ceiling(self, figure, block, destination):
        log = self.work / f"log/{figure}.log"
        if self.timed(figure, [self.bin / "bench/quarv_ceiling", self.work / "src/big/big.bin",
                               destination / "big.bin", block], log) != 0:
            self.fail(f"{figure}: {log.read_text(errors='replace').rstrip(chr(10))}")

    def measure_md5(self):
        print("MD5 on 1 MiB blocks...", flush=True)
        log = self.work / "log/md5.log"
        with open(log, "wb") as out:
            status = subprocess.run([self.bin / "bench/quarv_md5_bench",
                                     "--benchmark_filter=/1048576"], stdout=out,
                                    stderr=subprocess.STDOUT).returncode
        if status != 0:
            sys.exit(status)
        lines = [l for l in log.read_text().splitlines() if l.startswith("md5 block=1MiB")]
        if not lines:
            sys.exit(1)
        for key in ("ours_best", "ours_median", "openssl_best", "openssl_median"):
            found = re.search(rf".* {key}=([0-9.]*)", lines[0])
            self.md5[key] = found.group(1) if found else ""

    def partial_file(self, destination, quarv):
        """The first half of the big file, as an interrupted run leaves it: for Quarv its
        partial file with the service's time, for rsync the file itself."""
        source = self.work / "src/big/big.bin"
        with open(source, "rb") as data:
            half = data.read(self.s.half_size)
        if quarv:
            partial = destination / "_incomplete_big.bin"
            partial.write_bytes(half)
            times = source.stat()
            os.utime(partial, ns=(times.st_atime_ns, times.st_mtime_ns))
        else:
            (destination / "big.bin").write_bytes(half)

    def measure_sides(self):
        """Each side alone: the service against a receiver that discards, the agent against a
        sender that serves from memory; the same size as the big file. With --tls each
        repetition measures both with TLS too, right after the plain ones."""
        s, work, peers = self.s, self.work, self.bin / "bench/quarv_null_peers"
        print(f"Each side alone against a null peer, {s.big_size // MIB} MiB, {s.repeat} times...",
              flush=True)
        senders = []
        for set_name, options in [("null", [])] + ([("null_tls", ["--tls"])] if s.tls else []):
            output = work / f"log/{set_name.replace('_', '-')}-sender.out"
            sender, port = self.start_listening(
                output, [peers, "serve", "--password", self.password, "--name", "big.bin",
                         "--size", s.big_size, *options, "--time-limit", 7200])
            self.service_port[set_name], self.service_pid[set_name] = port, sender.pid
            if options:
                found = re.search(rb"fingerprint ([0-9A-F:]{95})", read(output))
                if not found:
                    self.could_not_start(sender.args, output)
                self.fingerprint[set_name] = found.group(1).decode()
            senders.append(sender)
        sides = [(NAME.side_service, "big", NAME.side_agent, "null")]
        if s.tls:
            sides.append((NAME.side_service_tls, "big_tls", NAME.side_agent_tls, "null_tls"))
        for rep in range(1, s.repeat + 1):
            for service_figure, service, agent_figure, sender in sides:
                self.run_receiver(service_figure, service, rep)
                directory = self.fresh(agent_figure, rep)
                self.run_quarv(agent_figure, sender, directory)
                # The null sender's, not a Quarv process's.
                self.service_rss.pop(agent_figure, None)
                self.check_arrived(directory, 1, s.big_size, f"{agent_figure} run {rep}")
                shutil.rmtree(directory)
        stop(*senders)

    def run_receiver(self, figure, set_name, rep):
        """The service of the set sending the big file to the null receiver, with TLS when the
        service has a fingerprint."""
        work, peers = self.work, self.bin / "bench/quarv_null_peers"
        pid = self.service_pid[set_name]
        warm(work / "src/big")
        out = work / f"log/{figure}.{rep}.log"
        reset_peak_rss(pid)
        fingerprint = self.fingerprint.get(set_name)
        tls = ["--tls-fingerprint", fingerprint] if fingerprint else []
        # It reads and digests the file once before the clock starts, to check the digest.
        with open(out, "wb") as log:
            status = subprocess.run(
                [str(a) for a in [peers, "receive", "--port", self.service_port[set_name],
                                  "--password", self.password, "--name", "big.bin",
                                  "--digest-of", work / "src/big/big.bin", *tls, "--time-limit",
                                  600]], stdout=log, stderr=subprocess.STDOUT).returncode
        report = out.read_text(errors="replace")
        if status != 0:
            self.fail(f"{figure} run {rep}: {report.rstrip(chr(10))}")
        found = re.search(r".* seconds=([0-9.]*) ", report)
        self.record(figure, found.group(1) if found else "")
        self.keep_max(self.service_rss, figure, peak_rss(pid))

    def measure_big(self):
        s, work = self.s, self.work
        print(f"One file of {s.big_size // MIB} MiB: ceiling, rsync, Quarv, {s.repeat} times...",
              flush=True)
        tls = (NAME.quarv_big_tls,) if s.tls else ()
        for rep in range(1, s.repeat + 1):
            for figure in (NAME.ceiling_small, NAME.ceiling_large, NAME.rsync_big,
                           NAME.quarv_big) + tls:
                warm(work / "src/big")
                directory = self.fresh(figure, rep)
                if figure == NAME.ceiling_small:
                    self.run_ceiling(figure, SMALL_BLOCK, directory)
                elif figure == NAME.ceiling_large:
                    self.run_ceiling(figure, LARGE_BLOCK, directory)
                elif figure == NAME.rsync_big:
                    self.run_rsync(figure, "big/big.bin", directory, "--checksum-choice=md5")
                elif figure == NAME.quarv_big_tls:
                    self.run_quarv(figure, "big_tls", directory)
                else:
                    self.run_quarv(figure, "big", directory)
                self.check_arrived(directory, 1, s.big_size, f"{figure} run {rep}")
                shutil.rmtree(directory)  # one large file: freed at once, never written back

    def measure_resume(self):
        s, work = self.s, self.work
        print(f"Resume of the second half, {s.repeat} times...", flush=True)
        for rep in range(1, s.repeat + 1):
            for figure in (NAME.rsync_resume, NAME.rsync_resume_md5, NAME.quarv_resume):
                directory = self.fresh(figure, rep)
                self.partial_file(directory, figure == NAME.quarv_resume)
                warm(work / "src/big")
                if figure == NAME.rsync_resume:
                    self.run_rsync(figure, "big/big.bin", directory, "--append")
                elif figure == NAME.rsync_resume_md5:
                    self.run_rsync(figure, "big/big.bin", directory, "--append",
                                   "--checksum-choice=md5")
                else:
                    self.run_quarv(figure, "big", directory)
                    if RESUMED not in (work / f"log/{figure}.log").read_bytes():
                        self.fail(f"{figure} run {rep} did not resume")
                self.check_arrived(directory, 1, s.big_size, f"{figure} run {rep}")
                shutil.rmtree(directory)

    def measure_many_files(self):
        """The destinations stay until the end (creating files right after deleting thousands is
        many times slower for a while on some file systems)."""
        s, work = self.s, self.work
        print(f"{s.medium_count} files of 100 KiB and {s.small_count} files of 1 KiB, "
              f"{s.repeat} times...", flush=True)
        for set_name in ("medium", "small"):
            count, size = s.count(set_name), s.size(set_name)
            # (tool, the service's set): with --tls, Quarv once more against the TLS service.
            runs = [("rsync", set_name), ("quarv", set_name)]
            runs += [("quarv", f"{set_name}_tls")] if s.tls else []
            for rep in range(1, s.repeat + 1):
                for tool, service in runs:
                    figure = FIGURE[f"{tool}_{service}"].name
                    directory = self.fresh(figure, rep)
                    warm(work / "src" / set_name)
                    if tool == "rsync":
                        self.run_rsync(figure, f"{set_name}/", directory)
                    else:
                        self.run_quarv(figure, service, directory)
                    self.check_arrived(directory, count, count * size, f"{figure} run {rep}")

    def measure_delete(self):
        s, work = self.s, self.work
        print(f"{s.delete_count} files of 100 KiB with DELETEFILE=No and =Yes, {s.repeat} times...",
              flush=True)
        for rep in range(1, s.repeat + 1):
            for source in sorted((work / "delete-source").iterdir()):
                shutil.copy(source, work / "src/delete")
            for figure in (NAME.quarv_keep, NAME.quarv_delete):
                directory = self.fresh(figure, rep)
                warm(work / "src/delete")
                if figure == NAME.quarv_keep:
                    self.run_quarv(figure, "delete", directory, "No")
                else:
                    self.run_quarv(figure, "delete", directory, "Yes")
                    if any((work / "src/delete").iterdir()):
                        self.fail(f"{figure} run {rep} left files on the service")
                self.check_arrived(directory, s.delete_count, s.bytes("delete"),
                                   f"{figure} run {rep}")

    def measure_ten(self):
        s, work = self.s, self.work
        print(f"Ten agents at once, one file of {s.ten_size // MIB} MiB each...", flush=True)
        figure, pid = NAME.quarv_ten, self.service_pid["ten"]
        for rep in range(1, s.repeat + 1):
            warm(work / "src/ten")
            reset_peak_rss(pid)
            homes = [work / f"ten.{rep}.{i}" for i in range(10)]
            for i, home in enumerate(homes):
                (home / "run").mkdir(parents=True, exist_ok=True)
                (home / "dst").mkdir(parents=True, exist_ok=True)
                (home / "run").chmod(0o700)
                shutil.copy2(self.programs / "agent/QuarvAgent", home)
                # Every other file is there already (any entry of the name counts without
                # CHECKFILETIME), so that each agent fetches its own.
                for j in range(10):
                    if j != i:
                        (home / f"dst/t{j}.bin").write_bytes(b"")
                (home / "QuarvAgent.ini").write_text(
                    f"[AGENT]\nHOST=127.0.0.1\nPORT={self.service_port['ten']}\n"
                    f"PASSWORD={self.password}\nBASE={home / 'dst'}\nTRY=1\nCHECKFILETIME=No\n"
                    "DELETEFILE=No\n")
            t0 = time.monotonic()
            agents = [self.start(["/usr/bin/time", "-f", "%M", "-o", home / "rss",
                                  home / "QuarvAgent"], home / "log",
                                 dict(os.environ, XDG_RUNTIME_DIR=str(home / "run")))
                      for home in homes]
            for agent in agents:
                agent.wait()
            self.record(figure, f"{time.monotonic() - t0:.4f}")
            self.keep_max(self.service_rss, figure, peak_rss(pid))
            for i, home in enumerate(homes):
                rss = (home / "rss").read_text().split() if (home / "rss").exists() else []
                self.keep_max(self.agent_rss, figure, rss[-1] if rss else "")
                fetched = home / f"dst/t{i}.bin"
                if not fetched.exists() or fetched.stat().st_size != s.ten_size:
                    self.fail(f"{figure} agent {i} run {rep}")
            for home in homes:
                shutil.rmtree(home)
            time.sleep(1)  # the sessions of this round give back their places

    def refill(self, set_name):
        """A move set's service directory, filled again from the set it copies."""
        for source in sorted((self.work / "src" / set_name.removesuffix("_move")).iterdir()):
            shutil.copy(source, self.work / "src" / set_name)

    def measure_delay_line_at(self, rtt):
        """The many-file figures, the resume and the whole big file through the delay line at
        one round trip, each with the line alone carrying as many bytes (line_resume, line_big).
        Seconds are kept under FIGURE@RTT."""
        s, work, relay = self.s, self.work, self.bin / "bench/quarv_delay_line"
        delay = f"{float(rtt) / 2:.6g}"
        print(f"Through the delay line at {rtt} ms round trip ({delay} ms each way), "
              f"{s.repeat} times...", flush=True)
        with open(work / f"log/delay-check.{rtt}.log", "wb") as log:
            if subprocess.run([str(relay), "check", "--delay-ms", delay, "--bytes",
                               str(256 * MIB)], stdout=log, stderr=subprocess.STDOUT).returncode:
                self.fail(f"delay line check at {rtt} ms")
        lines = []
        for set_name in ["big", "medium", "small"] + self.move_sets + self.tls_sets:
            line, self.route[set_name] = self.start_listening(
                work / f"log/delay-{set_name}.{rtt}.out",
                [relay, "relay", "--target", self.service_port[set_name], "--delay-ms", delay,
                 "--time-limit", 86400])
            self.route_pid[set_name] = line.pid
            lines.append(line)
        line, self.rsync_route = self.start_listening(
            work / f"log/delay-rsync.{rtt}.out",
            [relay, "relay", "--target", self.rsync_port, "--delay-ms", delay, "--time-limit",
             86400])
        self.rsync_route_pid = line.pid
        lines.append(line)
        sink, sink_port = self.start_listening(work / f"log/delay-sink.{rtt}.out",
                                               [relay, "sink", "--time-limit", 86400])
        line, self.line_route = self.start_listening(
            work / f"log/delay-line.{rtt}.out",
            [relay, "relay", "--target", sink_port, "--delay-ms", delay, "--time-limit", 86400])
        self.sink_pid, self.line_route_pid = sink.pid, line.pid
        lines += [line, sink]
        for rep in range(1, s.repeat + 1):
            for set_name in ["medium", "small"] + self.move_sets:
                self.delay_line_set(rtt, rep, set_name)
            if s.tls:
                self.delay_line_one(rtt, rep)
            for figure in self.delay_bulk():
                self.delay_line_bulk(rtt, rep, figure.name)
        stop(*lines)
        self.route, self.route_pid = {}, {}
        self.rsync_route, self.rsync_route_pid = 0, 0
        self.line_route, self.line_route_pid, self.sink_pid = 0, 0, 0

    def delay_bulk(self):
        """The big-file figures through the delay line: with --tls, Quarv's with TLS after its
        plain one."""
        return with_tls(DELAY_BULK, self.s.tls)

    def delay_line_one(self, rtt, rep):
        """A whole agent run for one small file through the delay line, plain and with TLS: the
        handshake's cost, against all the rest of a run's exchanges."""
        for figure, set_name in ((NAME.quarv_one, "one"), (NAME.quarv_one_tls, "one_tls")):
            directory = self.fresh(f"{figure}.rtt{rtt}", rep)
            self.run_quarv(f"{figure}@{rtt}", set_name, directory)
            self.check_arrived(directory, self.s.one_count, self.s.bytes("one"),
                               f"{figure} at {rtt} ms run {rep}")
            shutil.rmtree(directory)

    def delay_line_bulk(self, rtt, rep, figure):
        """One repetition of a figure of the big file through the delay line: the resume of its
        second half, or the whole file (rsync with MD5, as Quarv), or the line alone carrying as
        many bytes. The socket buffers are sampled in Quarv's first repetition."""
        s, work = self.s, self.work
        key, size = f"{figure}@{rtt}", FIGURE[figure].size
        resume = size == "half"
        if figure.startswith("line_"):
            self.run_line(key, s.bytes(size))
            return
        directory = self.fresh(f"{figure}.rtt{rtt}", rep)
        if resume:
            self.partial_file(directory, figure == NAME.quarv_resume)
        warm(work / "src/big")
        if figure.startswith("quarv_"):
            service = "big_tls" if figure == NAME.quarv_big_tls else "big"
            self.run_quarv(key, service, directory, sample=rep == 1)
            if resume and RESUMED not in (work / f"log/{key}.log").read_bytes():
                self.fail(f"{figure} at {rtt} ms run {rep} did not resume")
        elif figure == NAME.rsync_resume:
            self.run_rsync(key, "big/big.bin", directory, "--append")
        elif figure == NAME.rsync_resume_md5:
            self.run_rsync(key, "big/big.bin", directory, "--append", "--checksum-choice=md5")
        else:
            self.run_rsync(key, "big/big.bin", directory, "--checksum-choice=md5")
        self.check_arrived(directory, 1, s.big_size, f"{figure} at {rtt} ms run {rep}")
        shutil.rmtree(directory)

    def delay_line_set(self, rtt, rep, set_name):
        """One repetition of a many-file set, rsync then Quarv, through the delay line."""
        count, size = self.s.count(set_name), self.s.size(set_name)
        moved = set_name.endswith("_move")
        source = self.work / "src" / set_name
        # (tool, the service's set): with --tls, Quarv once more against the TLS service.
        runs = [("rsync", set_name), ("quarv", set_name)]
        runs += [("quarv", f"{set_name}_tls")] if f"{set_name}_tls" in self.tls_sets else []
        for tool, service in runs:
            figure = FIGURE[f"{tool}_{service}"].name
            key = f"{figure}@{rtt}"
            directory = self.fresh(f"{figure}.rtt{rtt}", rep)
            if moved:
                self.refill(set_name)
            warm(source)
            if tool == "rsync":
                options = ["--remove-source-files", "--fsync"] if moved else []
                self.run_rsync(key, f"{set_name}/", directory, *options)
            else:
                self.run_quarv(key, service, directory, "Yes" if moved else "No")
            self.check_arrived(directory, count, count * size, f"{figure} at {rtt} ms run {rep}")
            if moved and any(source.iterdir()):
                self.fail(f"{figure} at {rtt} ms run {rep} left files on the service")
                for path in source.rglob("*"):
                    if path.is_file():
                        path.unlink()
            shutil.rmtree(directory)

    # --- Results ---------------------------------------------------------------------------------
    def times(self, key):
        figure_of(key)
        values = self.seconds.get(key, [])
        return best(values), median(values)

    def report_md5(self):
        md5 = self.md5
        self.machine.append(
            f"BENCH figure=md5_ours unit=MB/s best={md5['ours_best']} median={md5['ours_median']}"
            f" ratio_openssl_best={ratio(md5['ours_best'], md5['openssl_best'])}"
            f" ratio_openssl_median={ratio(md5['ours_median'], md5['openssl_median'])}")
        self.machine.append(f"BENCH figure=md5_openssl unit=MB/s best={md5['openssl_best']} "
                            f"median={md5['openssl_median']}")

    def report_loopback(self):
        s, md5 = self.s, self.md5
        # The ceiling: the faster of the two block sizes (by the best repetition).
        ceiling = NAME.ceiling_small
        if number(self.times(NAME.ceiling_large)[0]) < number(self.times(ceiling)[0]):
            ceiling = NAME.ceiling_large
        ceiling_best, ceiling_median = (mbps(s.big_size, t) for t in self.times(ceiling))
        print()
        print(f"Results ({s.repeat} repetitions each; best / median; ratios are speed ratios, "
              "above 1 is faster;")
        print(f"the ceiling is {ceiling} at {ceiling_best} MB/s best, {ceiling_median} MB/s "
              "median)")
        print(f"{'figure':<34} {'best / median':>21} {'vs ceiling':>15} {'vs rsync':>15} "
              f"{'agent RSS':>14} {'service RSS':>15}")
        vs_openssl = (f"openssl {ratio(md5['ours_best'], md5['openssl_best'])} / "
                      f"{ratio(md5['ours_median'], md5['openssl_median'])}")
        print(f"{'md5 ours, 1 MiB blocks':<34} "
              f"{md5['ours_best'] + ' / ' + md5['ours_median'] + ' MB/s':>21} {'-':>15} "
              f"{vs_openssl:>15}")
        print(f"{'md5 OpenSSL, 1 MiB blocks':<34} "
              f"{md5['openssl_best'] + ' / ' + md5['openssl_median'] + ' MB/s':>21}")

        for figure in with_tls(LOOPBACK, s.tls):
            name, size = figure.name, s.bytes(figure.size)
            tb, tm = self.times(name)
            rb, rmed = mbps(size, tb), mbps(size, tm)
            cb, cm = ratio(rb, ceiling_best), ratio(rmed, ceiling_median)
            shown = f"{rb} / {rmed} MB/s" if figure.kind == "rate" else f"{tb} / {tm} s"
            vs_peer = "-"
            line = (f"BENCH figure={name} bytes={size} seconds_best={tb} seconds_median={tm} "
                    f"mbps_best={rb} mbps_median={rmed} ratio_ceiling_best={cb} "
                    f"ratio_ceiling_median={cm}")
            if figure.peer:
                pb, pm = self.times(figure.peer)
                vs_peer = f"{ratio(pb, tb)} / {ratio(pm, tm)}"
                line += f" ratio_rsync_best={ratio(pb, tb)} ratio_rsync_median={ratio(pm, tm)}"
            line += self.rss_fields(name)
            print(f"{s.label(figure):<34} {shown:>21} {cb + ' / ' + cm:>15} {vs_peer:>15} "
                  f"{kib(self.agent_rss.get(name)):>14} {kib(self.service_rss.get(name)):>15}")
            self.machine.append(line)
            if name == NAME.quarv_resume:
                # The same figure against the peer that digests with MD5 too: added to its line.
                (mb, mm), (qb, qm) = self.times(NAME.rsync_resume_md5), (tb, tm)
                print(f"{'  against rsync --append md5':<34} {'':>21} {'':>15} "
                      f"{ratio(mb, qb) + ' / ' + ratio(mm, qm):>15}")
                self.machine[-1] += (f" ratio_rsync_md5_best={ratio(mb, qb)}"
                                     f" ratio_rsync_md5_median={ratio(mm, qm)}")
        self.report_resume_share()
        self.report_delete_cost()

    def report_resume_share(self):
        """The resume against half of a whole transfer: 1 means it costs only the remaining
        bytes."""
        resumed = number(self.times(NAME.quarv_resume)[0])
        whole = number(self.times(NAME.quarv_big)[0])
        share = f"{resumed / (whole / 2):.2f}"
        print()
        print(f"Quarv resume of the second half takes {share} times half of a whole transfer "
              "(best).")
        self.machine.append(f"BENCH figure=quarv_resume_share value={share}")

    def report_delete_cost(self):
        """DELETEFILE=Yes: the fetched files and their directory entries put on stable storage
        (one sync for many where the file system allows it) and their DELEs, per file over the
        same run without deleting."""
        deleting = number(self.times(NAME.quarv_delete)[1])
        keeping = number(self.times(NAME.quarv_keep)[1])
        cost = f"{(deleting - keeping) * 1000 / self.s.delete_count:.2f}"
        print(f"DELETEFILE=Yes costs {cost} ms more per file (median): the files put on stable "
              "storage before their DELEs, and the DELEs.")
        self.machine.append(f"BENCH figure=quarv_delete_cost unit=ms/file value={cost}")

    def rss_fields(self, key):
        fields = ""
        if self.agent_rss.get(key):
            fields += f" agent_rss_kib={self.agent_rss[key]}"
        if self.service_rss.get(key):
            fields += f" service_rss_kib={self.service_rss[key]}"
        return fields

    def report_rtt(self, figure, rtt):
        """One figure of the delay-line table, in seconds; against rsync's figure (its peer) and
        the line alone carrying as many bytes (its line figure), where the table gives them."""
        key, size = f"{figure.name}@{rtt}", self.s.bytes(figure.size)
        tb, tm = self.times(key)
        if not tb:
            return
        vs_peer, vs_line = "-", "-"
        line = (f"BENCH figure={figure.name} rtt_ms={rtt} bytes={size} seconds_best={tb} "
                f"seconds_median={tm} mbps_best={mbps(size, tb)} mbps_median={mbps(size, tm)}")
        if figure.peer:
            pb, pm = self.times(f"{figure.peer}@{rtt}")
            vs_peer = f"{ratio(pb, tb)} / {ratio(pm, tm)}"
            line += f" ratio_rsync_best={ratio(pb, tb)} ratio_rsync_median={ratio(pm, tm)}"
        if figure.line:
            lb, lm = self.times(f"{figure.line}@{rtt}")
            vs_line = f"{ratio(lb, tb)} / {ratio(lm, tm)}"
            line += f" ratio_line_best={ratio(lb, tb)} ratio_line_median={ratio(lm, tm)}"
        line += self.rss_fields(key)
        print(f"{rtt:>6} {self.s.label(figure):<40} {tb + ' / ' + tm + ' s':>21} {vs_line:>13} "
              f"{vs_peer:>13} {kib(self.agent_rss.get(key)):>12} "
              f"{kib(self.service_rss.get(key)):>12}")
        self.machine.append(line)

    def report_delay_line_check(self, rtt):
        """The delay line's own check: the round trip measured through it."""
        lines = (self.work / f"log/delay-check.{rtt}.log").read_text(errors="replace").splitlines()
        check = "\n".join(l for l in lines if l.startswith("delay_line_check figure=rtt"))
        found = re.search(r".*rtt_median_ms=([0-9.]*)", check)
        print(f"{rtt:>6} {'delay line: measured round trip / asked':<40} "
              f"{(found.group(1) if found else '') + ' ms / ' + rtt + ' ms':>21}")
        rtt_fields = "\n".join(l.removeprefix("delay_line_check figure=rtt ")
                               for l in check.splitlines())
        throughput = "\n".join(
            l.removeprefix("delay_line_check figure=throughput ")
            .replace(" ok=", " throughput_ok=", 1)
            for l in lines if l.startswith("delay_line_check figure=throughput"))
        self.machine.append(f"BENCH figure=delay_line rtt_ms={rtt} {rtt_fields} {throughput}")

    def report_delay_line(self):
        s = self.s
        print()
        print(f"Through the delay line ({s.repeat} repetitions each; best / median seconds; vs "
              "rsync is rsync's")
        print("time over Quarv's, above 1 is faster; vs line is the time of the line alone "
              "carrying as many")
        print("bytes without protocol nor digest over the figure's, 1 is the line's own rate; "
              "moving is")
        print("DELETEFILE=Yes against rsync --remove-source-files --fsync)")
        print(f"{'rtt ms':>6} {'figure':<40} {'best / median':>21} {'vs line':>13} "
              f"{'vs rsync':>13} {'agent RSS':>12} {'service RSS':>12}")
        for rtt in s.rtt_list:
            self.report_delay_line_check(rtt)
            sets = [f"{tool}_{set_name}" for set_name in ["medium", "small"] + self.move_sets
                    for tool in ("rsync", "quarv")]
            one = figures(NAME.quarv_one) if s.tls else ()
            for figure in with_tls(figures(*sets) + one, s.tls) + self.delay_bulk():
                self.report_rtt(figure, rtt)
                if figure.name != NAME.quarv_resume:
                    continue
                # The same figure against the peer that digests with MD5 too: added to its line.
                (mb, mm), (qb, qm) = (self.times(f"{NAME.rsync_resume_md5}@{rtt}"),
                                      self.times(f"{figure.name}@{rtt}"))
                if qb:
                    print(f"{rtt:>6} {'  against rsync --append md5':<40} {'':>21} {'':>13} "
                          f"{ratio(mb, qb) + ' / ' + ratio(mm, qm):>13}")
                    self.machine[-1] += (f" ratio_rsync_md5_best={ratio(mb, qb)}"
                                         f" ratio_rsync_md5_median={ratio(mm, qm)}")
        self.report_beyond_line()
        self.report_tcp_limits()
        self.report_cpu()
        self.report_buffers()

    def report_beyond_line(self):
        """Each big-file figure's median time beyond the line's own for as many bytes, in round
        trips: the same count at every rtt means the exchanges' round trips, a count that
        shrinks as the rtt grows means time spent on the bytes."""
        compared = [(figure.name, figure.line) for figure in self.delay_bulk() if figure.line]
        print()
        print("Beyond the line: a figure's median time less the line's alone for as many bytes, "
              "in seconds")
        print("and in round trips (the same count at every rtt: round trips of the exchanges; "
              "fewer as the")
        print("rtt grows: time spent on the bytes)")
        print(f"{'rtt ms':>6} " + " ".join(f"{figure:>18}" for figure, _ in compared))
        for rtt in self.s.rtt_list:
            seconds, fields = [], ""
            for figure, line_figure in compared:
                own, line = self.times(f"{figure}@{rtt}")[1], self.times(f"{line_figure}@{rtt}")[1]
                if not own or not line or float(rtt) <= 0:
                    seconds.append(f"{'-':>18}")
                    continue
                beyond = float(own) - float(line)
                trips = beyond / (float(rtt) / 1000)
                seconds.append(f"{beyond:>7.3f} s {trips:>6.1f} rt")
                fields += f" {figure}_s={beyond:.3f} {figure}_rtts={trips:.1f}"
            print(f"{rtt:>6} " + " ".join(f"{text:>18}" for text in seconds))
            self.machine.append(f"BENCH figure=beyond_line rtt_ms={rtt}{fields}")

    def report_tcp_limits(self):
        """The kernel's autotuning limits, and what they let one connection carry per round trip
        on a real link (the delay line acknowledges as it reads, so it is not bound by them)."""
        limits = tcp_limits()
        rmem, wmem = limits["tcp_rmem"], limits["tcp_wmem"]
        print()
        print(f"TCP autotuning of this kernel (min default max, bytes): tcp_rmem "
              f"{' '.join(map(str, rmem))}, tcp_wmem {' '.join(map(str, wmem))};")
        print(f"net.core.rmem_max {' '.join(map(str, limits['rmem_max']))}, wmem_max "
              f"{' '.join(map(str, limits['wmem_max']))} (the most a program may set by hand, "
              "which ends autotuning).")
        self.machine.append("BENCH figure=tcp_limits" + "".join(
            f" {name}={','.join(map(str, values))}" for name, values in limits.items()))
        if len(rmem) < 3 or len(wmem) < 3:
            return
        print("On a real link one connection carries at most one window per round trip: the "
              "largest")
        print("receive buffer (tcp_rmem max; the window is the part of it not taken by "
              "overhead) and the")
        print("largest send buffer (tcp_wmem max, which holds the bytes not acknowledged yet), "
              "over the rtt:")
        print(f"{'rtt ms':>6} {'receive window bound':>22} {'send buffer bound':>19} "
              f"{'bound':>13} {'Quarv resume, median':>22}")
        for rtt in self.s.rtt_list:
            seconds = float(rtt) / 1000
            if seconds <= 0:
                continue
            receive, send = rmem[2] / seconds / 1e6, wmem[2] / seconds / 1e6
            bound = min(receive, send)
            quarv = self.times(f"{NAME.quarv_resume}@{rtt}")[1]
            rate = mbps(self.s.half_size, quarv) if quarv else ""
            print(f"{rtt:>6} {receive:>17.1f} MB/s {send:>14.1f} MB/s {bound:>8.1f} MB/s "
                  f"{rate + ' MB/s' if rate else '-':>22}")
            self.machine.append(
                f"BENCH figure=tcp_window_bound rtt_ms={rtt} receive_mbps={receive:.1f} "
                f"send_mbps={send:.1f} bound_mbps={bound:.1f}"
                + (f" quarv_resume_mbps_median={rate} ratio_quarv_resume_median="
                   f"{ratio(rate, bound)}" if rate else ""))

    def report_cpu(self):
        """The CPU seconds of each process in the median repetition of the big-file figures
        through the line: near the machine's cores times the wall time, the run is bound by the
        CPU of this machine."""
        cores = len(os.sched_getaffinity(0))
        roles = (("receiver", ("agent", "client", "sink")), ("sender", ("service", "daemon",
                                                                         "sender")))
        print()
        print(f"CPU seconds (user + system) in the median repetition, on {cores} cores: receiver "
              "is the agent, the")
        print("rsync client (with the receiver it forks) or the line's sink; sender the service, "
              "the rsync")
        print(f"daemon's process or the line's sender; busy is their sum with the relay's over "
              f"{cores} x wall")
        print(f"{'rtt ms':>6} {'figure':<20} {'wall s':>8} {'receiver':>9} {'sender':>8} "
              f"{'relay':>7} {'total':>7} {'busy':>6}")
        for rtt in self.s.rtt_list:
            for figure in [bulk.name for bulk in self.delay_bulk()]:
                runs = sorted(self.cpu.get(f"{figure}@{rtt}", []), key=lambda r: float(r[0]))
                if not runs:
                    continue
                seconds, processes = runs[(len(runs) + 1) // 2 - 1]
                total = sum(processes.values())
                busy = total / (cores * float(seconds))

                def of(names, processes=processes):
                    return next((processes[n] for n in names if n in processes), None)

                shown = [f"{v:.2f}" if v is not None else "-"
                         for v in [of(names) for _, names in roles] + [processes.get("relay")]]
                print(f"{rtt:>6} {figure:<20} {float(seconds):>8.2f} {shown[0]:>9} {shown[1]:>8} "
                      f"{shown[2]:>7} {total:>7.2f} {busy:>6.2f}")
                self.machine.append(
                    f"BENCH figure=cpu_{figure} rtt_ms={rtt} seconds={seconds} cores={cores}"
                    + "".join(f" {name}_cpu_s={value:.2f}" for name, value in processes.items())
                    + f" total_cpu_s={total:.2f} busy={busy:.2f}")

    def report_buffers(self):
        """The socket buffers the kernel gave in Quarv's first repetition through the line."""
        sampled = [(rtt, figure, self.buffers[f"{figure}@{rtt}"]) for rtt in self.s.rtt_list
                   for figure in (NAME.quarv_resume, NAME.quarv_big)
                   if f"{figure}@{rtt}" in self.buffers]
        print()
        if not sampled:
            print("Socket buffers: not sampled (no ss: install iproute2)")
            return
        print("Socket buffers the kernel gave in Quarv's first repetition (the largest of the ss "
              "samples,")
        print("KiB, receive / send; the relay's ends: the one facing the agent, the one facing "
              "the service)")
        print(f"{'rtt ms':>6} {'figure':<14} {'agent':>15} {'service':>15} {'relay, agent':>15} "
              f"{'relay, service':>15} {'samples':>8}")
        for rtt, figure, found in sampled:
            def pair(role, found=found):
                values = [found.get(f"{role}_{kind}") for kind in ("rcvbuf", "sndbuf")]
                return " / ".join(f"{int(v) // 1024}" if v else "-" for v in values)

            print(f"{rtt:>6} {figure:<14} {pair('agent'):>15} {pair('service'):>15} "
                  f"{pair('relay_in'):>15} {pair('relay_out'):>15} {found.get('samples'):>8}")
            self.machine.append(f"BENCH figure=socket_buffers rtt_ms={rtt} of={figure}" + "".join(
                f" {key}={value}" for key, value in sorted(found.items())))

    def side_line(self, figure):
        """One side alone, as MB/s and as a share of our MD5's speed."""
        name, size, md5 = figure.name, self.s.bytes(figure.size), self.md5
        tb, tm = self.times(name)
        if not tb:
            return
        rb, rmed = mbps(size, tb), mbps(size, tm)
        shares = f"{ratio(rb, md5['ours_best'])} / {ratio(rmed, md5['ours_median'])}"
        print(f"{self.s.label(figure):<44} {rb + ' / ' + rmed + ' MB/s':>21} {shares:>15} "
              f"{kib(self.agent_rss.get(name)):>14} {kib(self.service_rss.get(name)):>15}")
        self.machine.append(
            f"BENCH figure={name} bytes={size} seconds_best={tb} seconds_median={tm} "
            f"mbps_best={rb} mbps_median={rmed} ratio_md5_best={ratio(rb, md5['ours_best'])} "
            f"ratio_md5_median={ratio(rmed, md5['ours_median'])}{self.rss_fields(name)}")

    def report_sides(self):
        md5 = self.md5
        print()
        print(f"Each side alone against a null peer ({self.s.repeat} repetitions; best / median; "
              "vs MD5 is the")
        print("share of our MD5's speed on one core in this run, "
              f"{md5['ours_best']} / {md5['ours_median']} MB/s)")
        print(f"{'figure':<44} {'best / median':>21} {'vs MD5':>15} {'agent RSS':>14} "
              f"{'service RSS':>15}")
        for figure in with_tls(figures(NAME.side_service, NAME.side_agent), self.s.tls):
            self.side_line(figure)

    def goal_text(self, goal):
        if goal.measure == "rtts":
            return f"<= {goal.limit:g} rt more at {HANDSHAKE_GOAL_RTT}+ ms"
        return f">= {goal.limit:.2f} of {'MD5' if goal.measure == 'md5' else 'plain'}"

    def report_tls(self):
        """Each TLS figure against its plain one of this run, and against its goal: a speed
        ratio to the plain figure (or to our MD5's speed, for each side alone); through the delay
        line also its median time beyond the plain one's, in round trips. Whether a goal is met
        is told by the median repetition."""
        s, md5 = self.s, self.md5
        print()
        print(f"TLS against plain in this run ({self.tls_description or 'no TLS session seen'}; "
              "best / median;")
        print("vs plain and vs MD5 are speed ratios, above 1 is faster; a goal is told met by "
              "the median)")
        print(f"{'figure':<48} {'vs plain':>13} {'vs MD5':>13} {'goal':>22} {'median':>7}")
        for figure in FIGURES:
            tb, tm = self.times(figure.name)
            if not figure.goal or not tb:
                continue
            size = s.bytes(figure.size)
            pb, pm = self.times(figure.plain)
            vs_plain = (ratio(pb, tb), ratio(pm, tm))
            vs_md5 = ("-", "-")
            line = (f"BENCH figure=tls_vs_plain of={figure.name} ratio_plain_best={vs_plain[0]} "
                    f"ratio_plain_median={vs_plain[1]}")
            if figure.goal.measure == "md5":
                vs_md5 = (ratio(mbps(size, tb), md5["ours_best"]),
                          ratio(mbps(size, tm), md5["ours_median"]))
                line += f" ratio_md5_best={vs_md5[0]} ratio_md5_median={vs_md5[1]}"
            judged = vs_md5[1] if figure.goal.measure == "md5" else vs_plain[1]
            met = number(judged) >= figure.goal.limit
            print(f"{s.label(figure):<48} {' / '.join(vs_plain):>13} {' / '.join(vs_md5):>13} "
                  f"{self.goal_text(figure.goal):>22} {'met' if met else 'MISSED':>7}")
            self.machine.append(line + f" goal={figure.goal.measure}>={figure.goal.limit:g} "
                                f"met={int(met)}")
        if s.rtt_list:
            self.report_tls_delay_line()

    def report_tls_delay_line(self):
        """The TLS figures through the delay line: against plain, and the median time beyond
        the plain figure's in round trips (the handshake's, for the whole run of one file)."""
        s = self.s
        print()
        print("TLS through the delay line: vs plain is plain's time over the TLS figure's (best / "
              "median); beyond")
        print("plain is the TLS median less the plain median, in seconds and in round trips")
        print(f"{'rtt ms':>6} {'figure':<40} {'vs plain':>13} {'beyond plain':>20} {'goal':>26} "
              f"{'median':>7}")
        for rtt in s.rtt_list:
            for figure in FIGURES:
                tb, tm = self.times(f"{figure.name}@{rtt}")
                if not figure.plain or not tb:
                    continue
                pb, pm = self.times(f"{figure.plain}@{rtt}")
                vs_plain = f"{ratio(pb, tb)} / {ratio(pm, tm)}"
                beyond = number(tm) - number(pm)
                trips = beyond / (float(rtt) / 1000) if float(rtt) > 0 else None
                shown = f"{beyond:.3f} s" + (f" {trips:5.1f} rt" if trips is not None else "")
                line = (f"BENCH figure=tls_vs_plain of={figure.name} rtt_ms={rtt} "
                        f"ratio_plain_best={ratio(pb, tb)} ratio_plain_median={ratio(pm, tm)} "
                        f"beyond_plain_s={beyond:.3f}")
                if trips is not None:
                    line += f" beyond_plain_rtts={trips:.2f}"
                goal, verdict = "-", ""
                if figure.goal.measure == "rtts" and float(rtt) >= HANDSHAKE_GOAL_RTT:
                    goal = self.goal_text(figure.goal)
                    met = trips is not None and trips <= figure.goal.limit
                    verdict = "met" if met else "MISSED"
                    line += f" goal=rtts<={figure.goal.limit:g} met={int(met)}"
                print(f"{rtt:>6} {s.label(figure):<40} {vs_plain:>13} {shown:>20} {goal:>26} "
                      f"{verdict:>7}")
                self.machine.append(line)

    # --- The rate limit (--rate) -----------------------------------------------------------------
    def run_rate(self):
        """With --rate KIB, the run is this figure alone: one file of ten seconds' worth at the
        limit (at least 1 MiB) fetched from a service on 127.0.0.1 by an agent with RATE=KIB; the
        rate over the agent's whole run (connection, login and list included) against the limit.
        The burst of a quarter of a second's worth puts a paced run about 2.5 % above it."""
        kib = self.s.rate_kib
        size = max(MIB, min(1024 * MIB, kib * 1024 * 10))
        self.work = work = work_directory("quarv-bench", os.environ.get("QUARV_BENCH_DIR"))
        try:
            for name in ("src/rate", "svc-rate", "agent", "log", "run"):
                (work / name).mkdir(parents=True, exist_ok=True)
            (work / "run").chmod(0o700)  # the agent's single-instance lock lives here
            write_random(work / "src/rate/rate.bin", size)
            shutil.copy2(self.programs / "service/QuarvSvc", work / "svc-rate")
            shutil.copy2(self.programs / "agent/QuarvAgent", work / "agent")

            def settings(port):
                (work / "svc-rate/QuarvSvc.ini").write_text(
                    f"[SERVER]\nADDRESS=127.0.0.1\nPORT={port}\nBASE={work / 'src/rate'}\n"
                    f"PASSWORD={self.password}\n")

            _, port = self.start_server(settings, work / "log/svc-rate.log",
                                        [work / "svc-rate/QuarvSvc"])
            destination = self.fresh(NAME.quarv_rate, 0)
            (work / "agent/QuarvAgent.ini").write_text(
                f"[AGENT]\nHOST=127.0.0.1\nPORT={port}\nPASSWORD={self.password}\n"
                f"BASE={destination}\nTRY=1\nRATE={kib}\n")
            print(f"One file of {size / MIB:.1f} MiB at RATE={kib}...", flush=True)
            warm(work / "src/rate")
            self.timed(NAME.quarv_rate, [work / "agent/QuarvAgent"], work / "log/quarv_rate.log",
                       dict(os.environ, XDG_RUNTIME_DIR=str(work / "run")))
            self.check_arrived(destination, 1, size, "the file under RATE=")
            seconds = self.seconds[NAME.quarv_rate][-1]
            measured = size / 1024 / float(seconds)
            print(f"rate: measured {measured:.0f} KiB/s against the limit {kib} KiB/s "
                  f"(ratio {measured / kib:.3f})")
            print(f"BENCH figure={NAME.quarv_rate} bytes={size} seconds={seconds} limit_kib={kib} "
                  f"measured_kib={measured:.1f} ratio={measured / kib:.3f}")
            return 1 if self.failures else 0
        finally:
            self.stop_all()
            shutil.rmtree(work, ignore_errors=True)

    # --- The whole run ---------------------------------------------------------------------------
    def run(self):
        s = self.s
        self.work = work_directory("quarv-bench", os.environ.get("QUARV_BENCH_DIR"))
        try:
            self.make_data()
            self.start_services()
            self.start_rsync()
            (self.work / "agent").mkdir()
            shutil.copy2(self.programs / "agent/QuarvAgent", self.work / "agent")
            cores = len(os.sched_getaffinity(0))
            print(f"Load before the run: {load()} on {cores} cores", flush=True)
            self.measure_md5()
            self.measure_sides()
            if not s.rtt_list:
                self.measure_big()
                self.measure_resume()
                self.measure_many_files()
                self.measure_delete()
                self.measure_ten()
            else:
                for rtt in s.rtt_list:
                    self.measure_delay_line_at(rtt)
            self.stop_all()
            print(f"Load after the run: {load()}")
            self.report_md5()
            if not s.rtt_list:
                self.report_loopback()
            else:
                self.report_delay_line()
            self.report_sides()
            if s.tls:
                self.report_tls()
            print()
            for line in self.machine:
                print(line)
            if self.failures:
                print(f"{self.failures} transfer(s) did not arrive whole (see above)",
                      file=sys.stderr)
                return 1
            return 0
        finally:
            self.stop_all()
            shutil.rmtree(self.work, ignore_errors=True)


def build():
    """Installs what the run needs when it is missing, and builds the bench preset; the build
    directory and the directory of the programs measured."""
    subprocess.run([ROOT / "scripts/lib/apt.sh", "cmake", "make", "g++", "rsync", "time",
                    "iproute2", "libbenchmark-dev", "libssl-dev"], check=True)
    print("Building the bench preset...", flush=True)
    bin_dir = Path(os.environ.get("QUARV_BENCH_BUILD") or ROOT / "build/bench")
    for command in (["cmake", "--preset", "bench", "-B", str(bin_dir)],
                    ["cmake", "--build", str(bin_dir), "-j",
                     os.environ.get("QUARV_BENCH_JOBS") or "2"]):
        status = subprocess.run(command, cwd=ROOT, stdout=subprocess.DEVNULL).returncode
        if status != 0:
            sys.exit(status)
    programs = Path(os.environ.get("QUARV_BENCH_PROGRAMS") or bin_dir)
    for program in ("service/QuarvSvc", "agent/QuarvAgent"):
        if not os.access(programs / program, os.X_OK):
            print(f"no {program} in {programs}", file=sys.stderr)
            sys.exit(2)
    if programs != bin_dir:
        print(f"Measuring the programs of {programs}")
    return bin_dir, programs


def main():
    sys.stdout.reconfigure(line_buffering=True)
    settings = Settings(sys.argv[1:])
    os.chdir(ROOT)
    interrupt_on_sigterm()
    try:
        bin_dir, programs = build()
        bench = Bench(settings, bin_dir, programs)
        return bench.run_rate() if settings.rate_kib else bench.run()
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
