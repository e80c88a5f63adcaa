"""Helpers shared by the Python scripts (bench.py, windows_system_test.py): ports on 127.0.0.1,
background processes with their output in a file, bounded waits for a port or a line of that
output, and stopping the processes again. Imported from the scripts' own directory."""
import os
import signal
import socket
import subprocess
import time
from pathlib import Path

STOP_WAIT = 10  # seconds a process has to end after SIGTERM before it gets SIGKILL


def port_open(port):
    """Whether something accepts connections on the port of 127.0.0.1."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5):
            return True
    except OSError:
        return False


def wait_for_port(port, state, tries=50, pause=0.2, process=None):
    """Waits (at most tries x pause seconds) until the port is served (state "open") or no longer
    served ("closed"); with process, gives up as soon as that process has ended."""
    for _ in range(tries):
        if process is not None and process.poll() is not None:
            return False
        if port_open(port) == (state == "open"):
            return True
        time.sleep(pause)
    return False


def free_port():
    """A port of 127.0.0.1 that nothing listens on now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read(path):
    """A file's bytes, or none when it cannot be read."""
    try:
        return Path(path).read_bytes()
    except OSError:
        return b""


def start(args, output, env=None):
    """Starts a program in the background with both its output streams in the file output and
    no input; the process."""
    with open(output, "wb") as out:
        return subprocess.Popen([str(a) for a in args], stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT, env=env)


def wait_for_line(path, prefix, tries=50, pause=0.2, process=None):
    """Waits (at most tries x pause seconds) for a whole line of the file (its newline written)
    that starts with prefix (bytes); that line without its line end, or None. With process,
    gives up once that process has ended and the line is not there."""
    for _ in range(tries):
        ended = process is not None and process.poll() is not None
        for line in read(path).splitlines(keepends=True):
            if line.startswith(prefix) and line.endswith(b"\n"):
                return line.rstrip(b"\r\n")
        if ended:
            return None
        time.sleep(pause)
    return None


def stop(*processes, limit=STOP_WAIT):
    """Ends the processes (subprocess.Popen): SIGTERM to each still running, then SIGKILL to any
    not ended within limit seconds; waits for them all."""
    for process in processes:
        if process.poll() is None:
            process.terminate()
    deadline = time.monotonic() + limit
    for process in processes:
        try:
            process.wait(max(deadline - time.monotonic(), 0))
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def work_directory(name, base=None):
    """A new directory for a run's files, as mktemp -d makes it: NAME.XXXXXX under base (default
    $TMPDIR, or /tmp)."""
    base = base or os.environ.get("TMPDIR") or "/tmp"
    made = subprocess.run(["mktemp", "-d", f"{base}/{name}.XXXXXX"], check=True,
                          stdout=subprocess.PIPE, text=True)
    return Path(made.stdout.strip())


def interrupt_on_sigterm():
    """SIGTERM raises KeyboardInterrupt, as Ctrl-C does, so that a script cleans up on both."""

    def interrupted(*_):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, interrupted)
