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
                 DELETEFILE=Yes against the same with DELETEFILE=No: what the sync of each
                 fetched file before its DELE costs, with the DELE itself
  per side       each program alone against a peer that does no work (bench/null_peers.cpp):
                 the service sending the big file to a receiver that discards it, the agent
                 fetching a body of the same size from a sender that serves it from memory;
                 as MB/s and as a share of our MD5's speed on one core in the same run
  delay line     with --rtt: the many-file figures (with DELETEFILE=No and =Yes) and the resume
                 through bench/delay_line.cpp, a relay that adds a one-way delay of half the
                 round trip to each direction, for Quarv and for the rsync daemon (moving with
                 --remove-source-files --fsync: the same guarantee as DELETEFILE=Yes, the file
                 is on stable storage before its source is removed); the loopback figures above
                 are not run then

Each figure is repeated, interleaved with the figures it is compared with; the best and the
median repetition are printed, as MB/s or seconds, with the ratios to the ceiling and to rsync
(speed ratios: above 1 is faster) and the peak RSS of both Quarv processes. One line per figure
starting with "BENCH " is meant for machines. Every run writes to a fresh destination, and every
source is read again just before a run, so that it comes from the page cache.

Usage: scripts/bench.py [--quick] [--repeat N] [--rtt [MS,MS,...]]
  --quick      small data and two repetitions: a smoke check of the whole run (~30 s)
  --repeat N   repetitions of each figure (default 5, quick 2)
  --rtt LIST   the delay-line table at these round-trip times in milliseconds, comma-separated
               (alone: 0,2,20,50). Moving 10000 files one round trip at a time takes a long while
               at 50 ms: start with --quick.
Environment: QUARV_BENCH_DIR       where the data go (default: $TMPDIR or /tmp; needs ~3 GiB)
             QUARV_BENCH_JOBS      build jobs (default 2)
             QUARV_BENCH_BUILD     the build directory of the bench preset (default build/bench)
             QUARV_BENCH_PROGRAMS  a build directory whose service/QuarvSvc and agent/QuarvAgent
                                   are measured instead of this tree's (an older build, for a
                                   before-and-after table)
On Debian it installs what it needs when it is missing (apt-get; run as root or with sudo).
Exit status: 0 when every transfer arrived whole, 1 otherwise.
"""
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MIB = 1024 * 1024
MEDIUM_SIZE = 100 * 1024
SMALL_SIZE = 1024
SMALL_BLOCK = 10240
LARGE_BLOCK = 245760  # 24 blocks of 10240 bytes, as the agent receives
RESUMED = "から再開します".encode()
USAGE = "usage: {} [--quick] [--repeat N] [--rtt [MS,MS,...]]"


class Settings:
    """The command line: the sizes and counts of the run."""

    def __init__(self, argv):
        quick, repeat, self.rtt_list = False, None, []
        args = list(argv)
        while args:
            arg = args.pop(0)
            if arg == "--quick":
                quick = True
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
        self.repeat = int(repeat or (2 if quick else 5))
        self.half_size = self.big_size // 2

    def count(self, set_name):
        return getattr(self, f"{set_name.removesuffix('_move')}_count")

    @staticmethod
    def size(set_name):
        return MEDIUM_SIZE if set_name.startswith("medium") else SMALL_SIZE


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


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5):
            return True
    except OSError:
        return False


def warm(*directories):
    """Reads the sources again, so that a run takes them from the page cache."""
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
        self.rsync_port = 0
        self.rsync_route = 0  # the port rsync connects to, when not the daemon's own
        self.move_sets = ["medium_move", "small_move"] if settings.rtt_list else []
        self.seconds, self.agent_rss, self.service_rss, self.bytes_of = {}, {}, {}, {}
        self.failures = 0
        self.md5 = {}
        self.machine = []

    # --- Processes -------------------------------------------------------------------------------
    def start(self, args, output, env=None):
        with open(output, "wb") as out:
            process = subprocess.Popen([str(a) for a in args], stdin=subprocess.DEVNULL,
                                       stdout=out, stderr=subprocess.STDOUT, env=env)
        self.started.append(process)
        return process

    def stop_one(self, process):
        if process.poll() is None:
            process.terminate()
        process.wait()

    def stop_all(self):
        for process in self.started:
            self.stop_one(process)
        self.started = []

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
            for _ in range(100):
                if port_open(port) and process.poll() is None:
                    return process, port
                if process.poll() is not None:
                    break
                time.sleep(0.05)
            self.stop_one(process)
        print(f"could not start: {' '.join(map(str, args))}", file=sys.stderr)
        sys.stderr.write(Path(log).read_text(errors="replace"))
        sys.exit(1)

    def start_listening(self, output, args):
        """Starts a program that prints "listening PORT" once it accepts connections; the
        process and its port."""
        process = self.start(args, output)
        for _ in range(200):
            for line in Path(output).read_text(errors="replace").splitlines():
                words = line.split()
                if len(words) > 1 and words[0] == "listening":
                    return process, int(words[1])
            if process.poll() is not None:
                break
            time.sleep(0.05)
        print(f"could not start: {' '.join(map(str, args))}", file=sys.stderr)
        sys.stderr.write(Path(output).read_text(errors="replace"))
        sys.exit(1)

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

    def start_services(self):
        """One service per set; with --rtt, two more sets: the many files again, to be moved
        with DELETEFILE=Yes and with rsync --remove-source-files (filled again from medium and
        small before each run)."""
        work = self.work
        for set_name in ["big", "medium", "small", "ten", "delete"] + self.move_sets:
            (work / "src" / set_name).mkdir(parents=True, exist_ok=True)
            directory = work / f"svc-{set_name}"
            directory.mkdir(parents=True, exist_ok=True)
            shutil.copy2(self.programs / "service/QuarvSvc", directory)

            def settings(port, directory=directory, set_name=set_name):
                (directory / "QuarvSvc.ini").write_text(
                    f"[SERVER]\nADDRESS=127.0.0.1\nPORT={port}\nBASE={work / 'src' / set_name}\n"
                    f"PASSWORD={self.password}\n")

            process, port = self.start_server(settings, work / f"log/svc-{set_name}.log",
                                              [directory / "QuarvSvc"])
            self.service_port[set_name], self.service_pid[set_name] = port, process.pid

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

        _, self.rsync_port = self.start_server(
            settings, work / "log/rsyncd.out",
            ["rsync", "--daemon", "--no-detach", f"--config={work}/rsyncd.conf"])

    # --- Measuring -------------------------------------------------------------------------------
    def record(self, figure, seconds):
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

    def run_quarv(self, figure, set_name, destination, delete="No"):
        """One agent run against the service of the set."""
        pid = self.service_pid[set_name]
        reset_peak_rss(pid)
        port = self.route.get(set_name, self.service_port[set_name])
        (self.work / "agent/QuarvAgent.ini").write_text(
            f"[AGENT]\nHOST=127.0.0.1\nPORT={port}\nPASSWORD={self.password}\n"
            f"BASE={destination}\nTRY=1\nCHECKFILETIME=Yes\nDELETEFILE={delete}\n")
        env = dict(os.environ, XDG_RUNTIME_DIR=str(self.work / "run"))
        rss = self.work / "agent.rss"
        self.timed(figure, ["/usr/bin/time", "-f", "%M", "-o", rss, self.work / "agent/QuarvAgent"],
                   self.work / f"log/{figure}.log", env)
        lines = rss.read_text().split() if rss.exists() else []
        self.keep_max(self.agent_rss, figure, lines[-1] if lines else "")
        self.keep_max(self.service_rss, figure, peak_rss(pid))

    def run_rsync(self, figure, source, destination, *options):
        port = self.rsync_route or self.rsync_port
        self.timed(figure, ["rsync", "-a", *options, f"rsync://127.0.0.1:{port}/{source}",
                            f"{destination}/"], self.work / f"log/{figure}.log")

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
        sender that serves from memory; the same size as the big file."""
        s, work, peers = self.s, self.work, self.bin / "bench/quarv_null_peers"
        pid = self.service_pid["big"]
        print(f"Each side alone against a null peer, {s.big_size // MIB} MiB, {s.repeat} times...",
              flush=True)
        sender, port = self.start_listening(
            work / "log/null-sender.out",
            [peers, "serve", "--password", self.password, "--name", "big.bin", "--size",
             s.big_size, "--time-limit", 7200])
        self.service_port["null"], self.service_pid["null"] = port, sender.pid
        for rep in range(1, s.repeat + 1):
            warm(work / "src/big")
            out = work / f"log/side_service.{rep}.log"
            reset_peak_rss(pid)
            # It reads and digests the file once before the clock starts, to check the digest.
            with open(out, "wb") as log:
                status = subprocess.run(
                    [str(a) for a in [peers, "receive", "--port", self.service_port["big"],
                                      "--password", self.password, "--name", "big.bin",
                                      "--digest-of", work / "src/big/big.bin", "--time-limit",
                                      600]], stdout=log, stderr=subprocess.STDOUT).returncode
            report = out.read_text(errors="replace")
            if status != 0:
                self.fail(f"side_service run {rep}: {report.rstrip(chr(10))}")
            found = re.search(r".* seconds=([0-9.]*) ", report)
            self.record("side_service", found.group(1) if found else "")
            self.keep_max(self.service_rss, "side_service", peak_rss(pid))
            directory = self.fresh("side_agent", rep)
            self.run_quarv("side_agent", "null", directory)
            self.service_rss.pop("side_agent", None)  # the null sender's, not a Quarv process's
            self.check_arrived(directory, 1, s.big_size, f"side_agent run {rep}")
            shutil.rmtree(directory)
        self.stop_one(sender)

    def measure_big(self):
        s, work = self.s, self.work
        print(f"One file of {s.big_size // MIB} MiB: ceiling, rsync, Quarv, {s.repeat} times...",
              flush=True)
        self.bytes_of["big"] = s.big_size
        for rep in range(1, s.repeat + 1):
            for figure in ("ceiling_small", "ceiling_large", "rsync_big", "quarv_big"):
                warm(work / "src/big")
                directory = self.fresh(figure, rep)
                if figure == "ceiling_small":
                    self.run_ceiling(figure, SMALL_BLOCK, directory)
                elif figure == "ceiling_large":
                    self.run_ceiling(figure, LARGE_BLOCK, directory)
                elif figure == "rsync_big":
                    self.run_rsync(figure, "big/big.bin", directory, "--checksum-choice=md5")
                else:
                    self.run_quarv(figure, "big", directory)
                self.check_arrived(directory, 1, s.big_size, f"{figure} run {rep}")
                shutil.rmtree(directory)  # one large file: freed at once, never written back

    def measure_resume(self):
        s, work = self.s, self.work
        print(f"Resume of the second half, {s.repeat} times...", flush=True)
        for rep in range(1, s.repeat + 1):
            for figure in ("rsync_resume", "rsync_resume_md5", "quarv_resume"):
                directory = self.fresh(figure, rep)
                self.partial_file(directory, figure == "quarv_resume")
                warm(work / "src/big")
                if figure == "rsync_resume":
                    self.run_rsync(figure, "big/big.bin", directory, "--append")
                elif figure == "rsync_resume_md5":
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
            self.bytes_of[set_name] = count * size
            for rep in range(1, s.repeat + 1):
                for tool in ("rsync", "quarv"):
                    figure = f"{tool}_{set_name}"
                    directory = self.fresh(figure, rep)
                    warm(work / "src" / set_name)
                    if tool == "rsync":
                        self.run_rsync(figure, f"{set_name}/", directory)
                    else:
                        self.run_quarv(figure, set_name, directory)
                    self.check_arrived(directory, count, count * size, f"{figure} run {rep}")

    def measure_delete(self):
        s, work = self.s, self.work
        print(f"{s.delete_count} files of 100 KiB with DELETEFILE=No and =Yes, {s.repeat} times...",
              flush=True)
        self.bytes_of["delete"] = s.delete_count * MEDIUM_SIZE
        for rep in range(1, s.repeat + 1):
            for source in sorted((work / "delete-source").iterdir()):
                shutil.copy(source, work / "src/delete")
            for figure in ("quarv_keep", "quarv_delete"):
                directory = self.fresh(figure, rep)
                warm(work / "src/delete")
                if figure == "quarv_keep":
                    self.run_quarv(figure, "delete", directory, "No")
                else:
                    self.run_quarv(figure, "delete", directory, "Yes")
                    if any((work / "src/delete").iterdir()):
                        self.fail(f"{figure} run {rep} left files on the service")
                self.check_arrived(directory, s.delete_count, self.bytes_of["delete"],
                                   f"{figure} run {rep}")

    def measure_ten(self):
        s, work = self.s, self.work
        print(f"Ten agents at once, one file of {s.ten_size // MIB} MiB each...", flush=True)
        self.bytes_of["ten"] = 10 * s.ten_size
        pid = self.service_pid["ten"]
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
            self.record("quarv_ten", f"{time.monotonic() - t0:.4f}")
            self.keep_max(self.service_rss, "quarv_ten", peak_rss(pid))
            for i, home in enumerate(homes):
                rss = (home / "rss").read_text().split() if (home / "rss").exists() else []
                self.keep_max(self.agent_rss, "quarv_ten", rss[-1] if rss else "")
                fetched = home / f"dst/t{i}.bin"
                if not fetched.exists() or fetched.stat().st_size != s.ten_size:
                    self.fail(f"quarv_ten agent {i} run {rep}")
            for home in homes:
                shutil.rmtree(home)
            time.sleep(1)  # the sessions of this round give back their places

    def refill(self, set_name):
        """A move set's service directory, filled again from the set it copies."""
        for source in sorted((self.work / "src" / set_name.removesuffix("_move")).iterdir()):
            shutil.copy(source, self.work / "src" / set_name)

    def measure_delay_line_at(self, rtt):
        """The many-file figures and the resume through the delay line at one round trip.
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
        for set_name in ["big", "medium", "small"] + self.move_sets:
            line, self.route[set_name] = self.start_listening(
                work / f"log/delay-{set_name}.{rtt}.out",
                [relay, "relay", "--target", self.service_port[set_name], "--delay-ms", delay,
                 "--time-limit", 86400])
            lines.append(line)
        line, self.rsync_route = self.start_listening(
            work / f"log/delay-rsync.{rtt}.out",
            [relay, "relay", "--target", self.rsync_port, "--delay-ms", delay, "--time-limit",
             86400])
        lines.append(line)
        for rep in range(1, s.repeat + 1):
            for set_name in ["medium", "small"] + self.move_sets:
                self.delay_line_set(rtt, rep, set_name)
            for figure in ("rsync_resume", "quarv_resume"):
                key = f"{figure}@{rtt}"
                directory = self.fresh(f"{figure}.rtt{rtt}", rep)
                self.partial_file(directory, figure == "quarv_resume")
                warm(work / "src/big")
                if figure == "quarv_resume":
                    self.run_quarv(key, "big", directory)
                    if RESUMED not in (work / f"log/{key}.log").read_bytes():
                        self.fail(f"{figure} at {rtt} ms run {rep} did not resume")
                else:
                    self.run_rsync(key, "big/big.bin", directory, "--append")
                self.check_arrived(directory, 1, s.big_size, f"{figure} at {rtt} ms run {rep}")
                shutil.rmtree(directory)
        for line in lines:
            self.stop_one(line)
        self.route = {}
        self.rsync_route = 0

    def delay_line_set(self, rtt, rep, set_name):
        """One repetition of a many-file set, rsync then Quarv, through the delay line."""
        count, size = self.s.count(set_name), self.s.size(set_name)
        moved = set_name.endswith("_move")
        source = self.work / "src" / set_name
        self.bytes_of[set_name] = count * size
        for tool in ("rsync", "quarv"):
            figure = f"{tool}_{set_name}"
            key = f"{figure}@{rtt}"
            directory = self.fresh(f"{figure}.rtt{rtt}", rep)
            if moved:
                self.refill(set_name)
            warm(source)
            if tool == "rsync":
                options = ["--remove-source-files", "--fsync"] if moved else []
                self.run_rsync(key, f"{set_name}/", directory, *options)
            else:
                self.run_quarv(key, set_name, directory, "Yes" if moved else "No")
            self.check_arrived(directory, count, count * size, f"{figure} at {rtt} ms run {rep}")
            if moved and any(source.iterdir()):
                self.fail(f"{figure} at {rtt} ms run {rep} left files on the service")
                for path in source.rglob("*"):
                    if path.is_file():
                        path.unlink()
            shutil.rmtree(directory)

    # --- Results ---------------------------------------------------------------------------------
    def times(self, key):
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
        ceiling = "ceiling_small"
        if number(self.times("ceiling_large")[0]) < number(self.times("ceiling_small")[0]):
            ceiling = "ceiling_large"
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

        def report(figure, label, size, peer, kind):
            tb, tm = self.times(figure)
            rb, rmed = mbps(size, tb), mbps(size, tm)
            cb, cm = ratio(rb, ceiling_best), ratio(rmed, ceiling_median)
            shown = f"{rb} / {rmed} MB/s" if kind == "rate" else f"{tb} / {tm} s"
            vs_peer = "-"
            line = (f"BENCH figure={figure} bytes={size} seconds_best={tb} seconds_median={tm} "
                    f"mbps_best={rb} mbps_median={rmed} ratio_ceiling_best={cb} "
                    f"ratio_ceiling_median={cm}")
            if peer:
                pb, pm = self.times(peer)
                vs_peer = f"{ratio(pb, tb)} / {ratio(pm, tm)}"
                line += f" ratio_rsync_best={ratio(pb, tb)} ratio_rsync_median={ratio(pm, tm)}"
            line += self.rss_fields(figure)
            print(f"{label:<34} {shown:>21} {cb + ' / ' + cm:>15} {vs_peer:>15} "
                  f"{kib(self.agent_rss.get(figure)):>14} {kib(self.service_rss.get(figure)):>15}")
            self.machine.append(line)

        big_mib, half = s.big_size // MIB, s.half_size
        report("ceiling_small", "ceiling, 10240-byte blocks", s.big_size, "", "rate")
        report("ceiling_large", "ceiling, 240 KiB blocks", s.big_size, "", "rate")
        report("rsync_big", f"rsync md5, 1 file of {big_mib} MiB", s.big_size, "", "rate")
        report("quarv_big", f"Quarv, 1 file of {big_mib} MiB", s.big_size, "rsync_big", "rate")
        report("rsync_resume", "rsync --append, second half", half, "", "time")
        report("rsync_resume_md5", "rsync --append md5, second half", half, "", "time")
        report("quarv_resume", "Quarv resume, second half", half, "rsync_resume", "time")
        # The same figure against the peer that digests with MD5 too: added to its line.
        (mb, mm), (qb, qm) = self.times("rsync_resume_md5"), self.times("quarv_resume")
        print(f"{'  against rsync --append md5':<34} {'':>21} {'':>15} "
              f"{ratio(mb, qb) + ' / ' + ratio(mm, qm):>15}")
        self.machine[-1] += (f" ratio_rsync_md5_best={ratio(mb, qb)}"
                             f" ratio_rsync_md5_median={ratio(mm, qm)}")
        medium, small = self.bytes_of["medium"], self.bytes_of["small"]
        report("rsync_medium", f"rsync, {s.medium_count} x 100 KiB", medium, "", "time")
        report("quarv_medium", f"Quarv, {s.medium_count} x 100 KiB", medium, "rsync_medium",
               "time")
        report("rsync_small", f"rsync, {s.small_count} x 1 KiB", small, "", "time")
        report("quarv_small", f"Quarv, {s.small_count} x 1 KiB", small, "rsync_small", "time")
        report("quarv_ten", "Quarv, 10 agents at once", self.bytes_of["ten"], "", "rate")
        report("quarv_keep", f"Quarv, {s.delete_count} x 100 KiB, kept", self.bytes_of["delete"],
               "", "time")
        report("quarv_delete", "Quarv, the same with DELETEFILE=Yes", self.bytes_of["delete"], "",
               "time")
        self.report_resume_share()
        self.report_delete_cost()

    def report_resume_share(self):
        """The resume against half of a whole transfer: 1 means it costs only the remaining
        bytes."""
        resumed, whole = number(self.times("quarv_resume")[0]), number(self.times("quarv_big")[0])
        share = f"{resumed / (whole / 2):.2f}"
        print()
        print(f"Quarv resume of the second half takes {share} times half of a whole transfer "
              "(best).")
        self.machine.append(f"BENCH figure=quarv_resume_share value={share}")

    def report_delete_cost(self):
        """DELETEFILE=Yes: the sync of every fetched file and its directory entry and the DELE
        (no more than the next file's request goes ahead of a DELE), per file over the same run
        without deleting."""
        deleting = number(self.times("quarv_delete")[1])
        keeping = number(self.times("quarv_keep")[1])
        cost = f"{(deleting - keeping) * 1000 / self.s.delete_count:.2f}"
        print(f"DELETEFILE=Yes costs {cost} ms more per file (median): the sync before each DELE "
              "and the DELE, each file in its own round trip.")
        self.machine.append(f"BENCH figure=quarv_delete_cost unit=ms/file value={cost}")

    def rss_fields(self, key):
        fields = ""
        if self.agent_rss.get(key):
            fields += f" agent_rss_kib={self.agent_rss[key]}"
        if self.service_rss.get(key):
            fields += f" service_rss_kib={self.service_rss[key]}"
        return fields

    def report_rtt(self, figure, rtt, label, size, peer=""):
        """One figure of the delay-line table, in seconds."""
        key = f"{figure}@{rtt}"
        tb, tm = self.times(key)
        if not tb:
            return
        vs_peer = "-"
        line = (f"BENCH figure={figure} rtt_ms={rtt} bytes={size} seconds_best={tb} "
                f"seconds_median={tm} mbps_best={mbps(size, tb)} mbps_median={mbps(size, tm)}")
        if peer:
            pb, pm = self.times(f"{peer}@{rtt}")
            vs_peer = f"{ratio(pb, tb)} / {ratio(pm, tm)}"
            line += f" ratio_rsync_best={ratio(pb, tb)} ratio_rsync_median={ratio(pm, tm)}"
        line += self.rss_fields(key)
        print(f"{rtt:>6} {label:<44} {tb + ' / ' + tm + ' s':>21} {vs_peer:>15} "
              f"{kib(self.agent_rss.get(key)):>14} {kib(self.service_rss.get(key)):>15}")
        self.machine.append(line)

    def report_delay_line_check(self, rtt):
        """The delay line's own check: the round trip measured through it."""
        lines = (self.work / f"log/delay-check.{rtt}.log").read_text(errors="replace").splitlines()
        check = "\n".join(l for l in lines if l.startswith("delay_line_check figure=rtt"))
        found = re.search(r".*rtt_median_ms=([0-9.]*)", check)
        print(f"{rtt:>6} {'delay line: measured round trip / asked':<44} "
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
        print("time over Quarv's, above 1 is faster; moving is DELETEFILE=Yes against rsync")
        print("--remove-source-files --fsync)")
        print(f"{'rtt ms':>6} {'figure':<44} {'best / median':>21} {'vs rsync':>15} "
              f"{'agent RSS':>14} {'service RSS':>15}")
        for rtt in s.rtt_list:
            self.report_delay_line_check(rtt)
            for set_name in ["medium", "small"] + self.move_sets:
                label = f"{s.count(set_name)} x "
                label += "100 KiB" if set_name.startswith("medium") else "1 KiB"
                if set_name.endswith("_move"):
                    label += ", moved"
                size = self.bytes_of.get(set_name, "")
                self.report_rtt(f"rsync_{set_name}", rtt, f"rsync, {label}", size)
                self.report_rtt(f"quarv_{set_name}", rtt, f"Quarv, {label}", size,
                                f"rsync_{set_name}")
            self.report_rtt("rsync_resume", rtt, "rsync --append, second half", s.half_size)
            self.report_rtt("quarv_resume", rtt, "Quarv resume, second half", s.half_size,
                            "rsync_resume")

    def side_line(self, figure, label):
        """One side alone, as MB/s and as a share of our MD5's speed."""
        size, md5 = self.s.big_size, self.md5
        tb, tm = self.times(figure)
        if not tb:
            return
        rb, rmed = mbps(size, tb), mbps(size, tm)
        shares = f"{ratio(rb, md5['ours_best'])} / {ratio(rmed, md5['ours_median'])}"
        print(f"{label:<44} {rb + ' / ' + rmed + ' MB/s':>21} {shares:>15} "
              f"{kib(self.agent_rss.get(figure)):>14} {kib(self.service_rss.get(figure)):>15}")
        self.machine.append(
            f"BENCH figure={figure} bytes={size} seconds_best={tb} seconds_median={tm} "
            f"mbps_best={rb} mbps_median={rmed} ratio_md5_best={ratio(rb, md5['ours_best'])} "
            f"ratio_md5_median={ratio(rmed, md5['ours_median'])}{self.rss_fields(figure)}")

    def report_sides(self):
        big_mib, md5 = self.s.big_size // MIB, self.md5
        print()
        print(f"Each side alone against a null peer ({self.s.repeat} repetitions; best / median; "
              "vs MD5 is the")
        print("share of our MD5's speed on one core in this run, "
              f"{md5['ours_best']} / {md5['ours_median']} MB/s)")
        print(f"{'figure':<44} {'best / median':>21} {'vs MD5':>15} {'agent RSS':>14} "
              f"{'service RSS':>15}")
        self.side_line("side_service", f"service sending {big_mib} MiB, receiver discards")
        self.side_line("side_agent", f"agent fetching {big_mib} MiB, sender from memory")

    # --- The whole run ---------------------------------------------------------------------------
    def run(self):
        s = self.s
        base = os.environ.get("QUARV_BENCH_DIR") or os.environ.get("TMPDIR") or "/tmp"
        self.work = Path(subprocess.run(["mktemp", "-d", f"{base}/quarv-bench.XXXXXX"], check=True,
                                      stdout=subprocess.PIPE, text=True).stdout.strip())
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
                    "libbenchmark-dev", "libssl-dev"], check=True)
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

    def interrupted(*_):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, interrupted)
    try:
        bin_dir, programs = build()
        return Bench(settings, bin_dir, programs).run()
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
