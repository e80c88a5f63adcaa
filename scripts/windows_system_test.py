#!/usr/bin/env python3
"""System test of the Windows programs under Wine, with the Linux programs beside them.

 0. QuarvSvc.exe and QuarvAgent.exe are 32-bit console programs importing system DLLs only.
 1. QuarvSvc.exe started by hand ends at once with exit code 1063 and prints nothing.
 2. QuarvSvc.exe as the service ZelQuarvSvc under Wine's service control manager: sc create,
    sc start, RUNNING; a transfer by the Linux QuarvAgent; pause (the port is no longer served)
    and continue (it is served again) through tests/windows/service_control_tool.cpp; sc stop
    (STOPPED with exit code 0, the process ends with 0); sc delete. A file that a Windows
    program has open for writing is not sent. Settings that refuse the start: PORT 0 (STOPPED
    with 1610), no PASSWORD (STOPPED with 1066, service-specific code 1, the port never served).
 3. Interoperation: the Windows QuarvAgent.exe fetches from the Linux QuarvSvc; the Linux
    QuarvAgent fetches from the Windows service. Files byte-exact, with the service's times.
 4. The Windows agent's output to a file is the Linux agent's UTF-8 output in code page 932,
    byte for byte.
 5. Resume across the platforms: a transfer cut by a proxy leaves a partial file, and the other
    platform's agent resumes it from its length.
 6. The Windows agent on a Japanese system (ANSI code page 932): names with double-byte
    characters whose second byte is 0x5C in its directory, its BASE and the file fetched; the
    base prefix's closing backslash in that code page (a test of quarv_windows_tests.exe).
 7. The Windows agent from the Windows service with DELETEFILE=Yes.
 8. The Windows agent on a console (a terminal through Wine's console host, not in code page
    932): the terminal shows the same text as the Linux agent's, Japanese included.
 9. TLS: the Windows agent, pinning the fingerprint that the Linux service's log gives for the
    certificate it made at its first start, fetches from it over TLS and says so.
10. TLS: the Windows service makes its certificate and key beside its settings at its first
    start with TLS=Yes; the Linux agent, pinning the fingerprint of its log (Wine's eventlog
    channel, in QUARV_WINE_SERVICES_LOG of scripts/lib/wine-env.sh), fetches from it over TLS.

Prints one PASS or FAIL line per check and exits non-zero when a check failed. Every Wine
command is bounded in time; on any way out the service is stopped and deleted and every process
the test started is ended.

    scripts/windows_system_test.py

Environment:
  QUARV_WINDOWS_BUILD  the Windows build (default build/mingw32-tests): service/QuarvSvc.exe,
                       agent/QuarvAgent.exe, tests/quarv_service_control_tool.exe,
                       tests/quarv_windows_tests.exe
  QUARV_LINUX_BUILD    the Linux build (default build/default): service/QuarvSvc,
                       agent/QuarvAgent
  QUARV_WINEPREFIX     the Wine prefix (as for scripts/wine-run.sh)
  QUARV_WINE_SERVICES_LOG  set by scripts/lib/wine-env.sh: the output of Wine's services, where
                       the Windows service's log lines are read
  QUARV_WINE_SERVER_PID  set by scripts/ci-windows.sh: a persistent Wine server already runs for
                       the prefix. Without it the test runs under a server of its own
                       (scripts/lib/wine-env.sh run), which ends with it.
  QUARV_KEEP_WORK=1    keeps the temporary directory for inspection
"""
import os
import random
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import time
import traceback
from pathlib import Path

from quarv_scripts import (free_port, interrupt_on_sigterm, port_open, read, start, stop,
                           wait_for_line, wait_for_port, work_directory)

ROOT = Path(__file__).resolve().parent.parent
SERVICE_NAME = "ZelQuarvSvc"
WINE_TIMEOUT = 60  # seconds for any one Wine command
CUT_BYTES = 1024 * 1024  # the proxy cuts within large.bin's body
SUCCESS = "転送は成功しました。"
TLS_CONNECTED = "TLSで接続しました（TLSv1.3"  # the agent's line once the handshake is done
# The service's log line with its certificate's fingerprint, at every start with TLS=Yes.
FINGERPRINT_LINE = re.compile(
    rb"TLS certificate SHA-256 fingerprint ((?:[0-9A-F]{2}:){31}[0-9A-F]{2})")


class Abort(Exception):
    """A failure after which the rest cannot run."""


def winpath(path):
    """A Linux path as Wine sees it through its Z: drive."""
    return "Z:" + str(path).replace("/", "\\")


def text(data):
    """Command output as the shell's $(...) gives it: the trailing newlines cut."""
    return data.decode("utf-8", "surrogateescape").rstrip("\n")


def mtime7(path):
    """The last-write time to 100 ns, as `stat -c %.7Y` prints it."""
    ns = os.stat(path).st_mtime_ns
    return f"{ns // 10**9}.{ns % 10**9 // 100:07d}"


def mtime9(path):
    ns = os.stat(path).st_mtime_ns
    return f"{ns // 10**9}.{ns % 10**9:09d}"


def touch(path, date):
    subprocess.run(["touch", "-d", date, str(path)], check=True)


def iconv(data, source, target):
    result = subprocess.run(["iconv", "-f", source, "-t", target], input=data,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return result.returncode == 0, result.stdout


def field(output, key, index):
    """The field (0-based) of the first line whose first field is key, as awk finds it."""
    for line in output.splitlines():
        words = line.split()
        if words and words[0] == key and len(words) > index:
            return words[index]
    return ""


class SystemTest:
    def __init__(self, windows_build, linux_build):
        self.windows_build = windows_build
        self.linux_build = linux_build
        self.password = f"system-{random.randrange(32768)}{random.randrange(32768)}"
        self.win_svc_exe = windows_build / "service/QuarvSvc.exe"
        self.win_agent_exe = windows_build / "agent/QuarvAgent.exe"
        self.tool_exe = windows_build / "tests/quarv_service_control_tool.exe"
        self.windows_tests_exe = windows_build / "tests/quarv_windows_tests.exe"
        self.work = None
        self.outbox = None
        self.failures = 0
        self.service_created = False
        self.background = []  # every process started in the background
        self.win_port = self.linux_port = 0
        self.linux_service = None
        self.partial_size = 0

    # --- Reporting -------------------------------------------------------------------------------
    def check(self, what, passed):
        if passed:
            print(f"PASS: {what}", flush=True)
        else:
            print(f"FAIL: {what}", flush=True)
            self.failures += 1

    def fail(self, what):
        self.check(what, False)

    # --- Wine ------------------------------------------------------------------------------------
    def wine_bounded(self, *args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=None):
        return subprocess.run(["timeout", str(WINE_TIMEOUT), "wine", *map(str, args)],
                              stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr, env=env)

    def wine_to_file(self, path, *args, env=None):
        """A bounded Wine command with its output (both streams) in a file; its exit status."""
        with open(path, "wb") as out:
            return self.wine_bounded(*args, stdout=out, stderr=subprocess.STDOUT,
                                     env=env).returncode

    def tool(self, *args):
        result = self.wine_bounded(winpath(self.tool_exe), *args, stderr=subprocess.STDOUT)
        return text(result.stdout.replace(b"\r", b""))

    def sc_query(self):
        return text(self.wine_bounded("sc", "query", SERVICE_NAME).stdout.replace(b"\r", b""))

    def service_state(self):
        return field(self.sc_query(), "STATE", 3)

    def exit_code(self, query=None):
        return field(self.sc_query() if query is None else query, "WIN32_EXIT_CODE", 2)

    def wait_for_state(self, state, tries=100):
        """Waits (at most 20 s) until the service reports the state."""
        for _ in range(tries):
            if self.service_state() == state:
                return True
            time.sleep(0.2)
        return False

    def sc(self, *args):
        """sc with its output in sc.out; whether it succeeded."""
        return self.wine_to_file(self.work / "sc.out", "sc", *args) == 0

    def sc_out(self):
        return text(read(self.work / "sc.out"))

    def attributes(self, path):
        value = field(self.tool("attributes", winpath(path)), "ATTRIBUTES", 1)
        return int(value, 16) if value else None

    def hidden_on_windows(self, path):
        attributes = self.attributes(path)
        return attributes is not None and attributes & 2 != 0

    def not_hidden_on_windows(self, path):
        attributes = self.attributes(path)
        return attributes is not None and attributes & 2 == 0

    def start_background(self, args, output, env=None):
        process = start(args, output, env)
        self.background.append(process)
        return process

    def service_process_pids(self):
        """The Windows service's process, found by the unique path of its executable."""
        found = subprocess.run(["pgrep", "-x", "QuarvSvc.exe"], stdout=subprocess.PIPE)
        marker = winpath(self.work).encode()
        pids = []
        for pid in found.stdout.split():
            if marker in read(f"/proc/{pid.decode()}/cmdline").replace(b"\0", b" "):
                pids.append(int(pid))
        return pids

    def cleanup(self):
        if self.service_created:
            self.wine_bounded("sc", "stop", SERVICE_NAME, stdout=subprocess.DEVNULL)
            self.wait_for_state("STOPPED", tries=50)
            self.wine_bounded("sc", "delete", SERVICE_NAME, stdout=subprocess.DEVNULL)
        for pid in self.service_process_pids():
            try:
                os.kill(pid, signal.SIGTERM)
            except OSError:
                pass
        stop(*self.background)
        if os.environ.get("QUARV_KEEP_WORK", "0") == "1":
            print(f"(the test's files are kept in {self.work})")
        else:
            shutil.rmtree(self.work, ignore_errors=True)

    # --- The files and the programs --------------------------------------------------------------
    def make_files(self):
        work, outbox = self.work, self.work / "outbox"
        self.outbox = outbox
        for name in ("outbox", "win-service", "win-agent", "linux-service", "linux-agent",
                     "runtime"):
            (work / name).mkdir(parents=True, exist_ok=True)
        (work / "runtime").chmod(0o700)
        (outbox / "readme.txt").write_bytes(b"Quarv under Wine: a small text file.\r\n")
        (outbox / "large.bin").write_bytes(os.urandom(3 * 1024 * 1024 + 4321))
        (outbox / "empty.log").write_bytes(b"")
        touch(outbox / "readme.txt", "2024-03-01 09:15:30.123456789")
        touch(outbox / "large.bin", "2023-12-24 18:00:00.000000050")
        touch(outbox / "empty.log", "2024-01-02 03:04:05")
        shutil.copy2(self.win_svc_exe, work / "win-service")
        shutil.copy2(self.win_agent_exe, work / "win-agent")
        shutil.copy2(self.linux_build / "service/QuarvSvc", work / "linux-service")
        shutil.copy2(self.linux_build / "agent/QuarvAgent", work / "linux-agent")

    def write_service_ini(self, directory, port, base, password=True, tls=False):
        settings = f"[SERVER]\nADDRESS=127.0.0.1\nPORT={port}\nBASE={base}\n"
        if password:
            settings += f"PASSWORD={self.password}\n"
        if tls:
            settings += "TLS=Yes\n"
        (Path(directory) / "QuarvSvc.ini").write_text(settings)

    def write_agent_ini(self, directory, port, base, tries, password=None, delete="No",
                        fingerprint=None):
        """With a fingerprint, the agent speaks TLS and pins the service's certificate to it."""
        settings = (f"[AGENT]\nHOST=127.0.0.1\nPORT={port}\n"
                    f"PASSWORD={password or self.password}\n"
                    f"BASE={base}\nTRY={tries}\nDELETEFILE={delete}\n")
        if fingerprint:
            settings += f"TLS=Yes\nFINGERPRINT={fingerprint}\n"
        (Path(directory) / "QuarvAgent.ini").write_text(settings)

    def linux_agent(self, port, inbox, tries, output, password=None, fingerprint=None):
        """Runs the Linux agent against a port into a directory; its output goes to a file."""
        Path(inbox).mkdir(parents=True, exist_ok=True)
        self.write_agent_ini(self.work / "linux-agent", port, inbox, tries, password,
                             fingerprint=fingerprint)
        env = dict(os.environ, XDG_RUNTIME_DIR=str(self.work / "runtime"))
        with open(output, "wb") as out:
            subprocess.run(["timeout", "120", str(self.work / "linux-agent/QuarvAgent")],
                           stdout=out, stderr=subprocess.STDOUT, env=env)

    def windows_agent(self, port, inbox, tries, output, password=None, delete="No",
                      fingerprint=None):
        """Runs the Windows agent under Wine; its output (code page 932) goes to a file."""
        Path(inbox).mkdir(parents=True, exist_ok=True)
        self.write_agent_ini(self.work / "win-agent", port, winpath(inbox), tries, password,
                             delete, fingerprint)
        with open(output, "wb") as out, open(f"{output}.err", "wb") as err:
            agent = winpath(self.work / "win-agent/QuarvAgent.exe")
            subprocess.run(["timeout", "120", "wine", agent], stdin=subprocess.DEVNULL,
                           stdout=out, stderr=err)

    # --- What the checks compare -----------------------------------------------------------------
    def same_as_outbox(self, inbox, outbox=None):
        """Every non-empty file of the outbox is in the inbox with the same bytes and the
        service's time (to the 100 ns of the wire), empty files are not fetched, no partial file
        is left."""
        inbox, ok = Path(inbox), True
        for source in sorted(Path(outbox or self.outbox).iterdir()):
            name, target = source.name, inbox / source.name
            if source.stat().st_size == 0:
                if target.exists():
                    print(f"  {name}: empty on the service, yet fetched")
                    ok = False
                continue
            if not target.is_file() or read(source) != read(target):
                print(f"  {name}: missing or different")
                ok = False
            elif mtime7(source) != mtime7(target):
                print(f"  {name}: time {mtime9(target)}, the service's {mtime9(source)}")
                ok = False
        if list(inbox.glob("_incomplete_*")):
            print(f"  partial files left in {inbox}")
            ok = False
        return ok

    @staticmethod
    def contains(path, utf8):
        return utf8.encode() in read(path)

    @staticmethod
    def contains_cp932(path, utf8):
        _, converted = iconv(read(path), "CP932", "UTF-8")
        return utf8.encode() in converted

    def show_diff(self, expected, actual, od=False):
        """The first 20 lines of diff (of od -c with od) between two files."""
        if od:
            dumps = []
            for path in (expected, actual):
                dump = Path(f"{path}.od")
                dump.write_bytes(subprocess.run(["od", "-c", str(path)],
                                                stdout=subprocess.PIPE).stdout)
                dumps.append(dump)
            expected, actual = dumps
        result = subprocess.run(["diff", str(expected), str(actual)], stdout=subprocess.PIPE)
        lines = result.stdout.decode("utf-8", "surrogateescape").splitlines()[:20]
        for line in lines:
            print(line)

    def same_console_bytes(self, linux_output, windows_output):
        """The Windows agent's output (code page 932) is the Linux agent's (UTF-8) converted."""
        converted_ok, converted = iconv(read(linux_output), "UTF-8", "CP932")
        expected = Path(f"{linux_output}.cp932")
        expected.write_bytes(converted)
        if not converted_ok:
            return False
        if converted == read(windows_output):
            return True
        self.show_diff(expected, windows_output, od=True)
        return False

    def start_cut_proxy(self, target_port, output_name):
        """Starts the proxy towards a port; its port."""
        output = self.work / output_name
        self.start_background([sys.executable, ROOT / "scripts/windows/cut_proxy.py",
                               target_port, CUT_BYTES], output)
        port = wait_for_line(output, b"", tries=50, pause=0.1)  # its first line
        if port and port.strip():
            return int(port)
        raise Abort(f"the cutting proxy did not start: {text(read(output))}")

    def partial_as_expected(self, inbox):
        """A cut transfer left large.bin's partial file, shorter than the file and with its time;
        sets partial_size."""
        partial = Path(inbox) / "_incomplete_large.bin"
        self.partial_size = 0
        if not partial.is_file():
            return False
        self.partial_size = partial.stat().st_size
        return (0 < self.partial_size < (self.outbox / "large.bin").stat().st_size
                and mtime7(partial) == mtime7(self.outbox / "large.bin"))

    # --- 0. The executables ----------------------------------------------------------------------
    def only_system_dlls(self, executable):
        """32-bit, and nothing to install beside them: the system's own DLLs only."""
        result = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(executable)],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if result.returncode != 0:
            return False
        headers = result.stdout.decode("utf-8", "replace")
        if not (re.search(r"file format pei-i386$", headers, re.M)
                and re.search(r"^Magic\s+010b", headers, re.M)
                and re.search(r"^Subsystem\s+00000003", headers, re.M)):
            return False
        dlls = sorted({line.split()[2].upper() for line in headers.splitlines()
                       if "DLL Name:" in line and len(line.split()) > 2})
        print(f"  {executable.name}: {' '.join(dlls)}")
        # The static OpenSSL linked in adds WS2_32 (its sockets and WSAStartup) and USER32 (its
        # service check: GetProcessWindowStation, GetUserObjectInformationW, MessageBoxW); its
        # RAND and event log calls are ADVAPI32's. No DLL of MinGW's or OpenSSL's may appear.
        allowed = {"KERNEL32.DLL", "MSVCRT.DLL", "WSOCK32.DLL", "ADVAPI32.DLL", "WS2_32.DLL",
                   "USER32.DLL"}
        return bool(dlls) and set(dlls) <= allowed

    def test_executables(self):
        print("== the executables")
        self.check("QuarvSvc.exe: a 32-bit console program that imports only system DLLs",
                   self.only_system_dlls(self.win_svc_exe))
        self.check("QuarvAgent.exe: a 32-bit console program that imports only system DLLs",
                   self.only_system_dlls(self.win_agent_exe))

    # --- 1. Started by hand ----------------------------------------------------------------------
    def test_started_by_hand(self):
        print("== QuarvSvc.exe started by hand")
        with open(self.work / "by-hand.out", "wb") as out, \
                open(self.work / "by-hand.err", "wb") as err:
            self.wine_bounded(winpath(self.tool_exe), "run",
                              winpath(self.work / "win-service/QuarvSvc.exe"), stdout=out,
                              stderr=err)
        self.check("started by hand it ends with exit code 1063 and prints nothing",
                   text(read(self.work / "by-hand.out").replace(b"\r", b"")) == "EXIT_CODE 1063"
                   and not read(self.work / "by-hand.err"))

    # --- 2. Under the service control manager ----------------------------------------------------
    def test_service_start(self):
        print(f"== QuarvSvc.exe as the service {SERVICE_NAME}")
        if self.service_state():
            # Left by an earlier run that could not clean up.
            self.wine_bounded("sc", "stop", SERVICE_NAME, stdout=subprocess.DEVNULL)
            self.wait_for_state("STOPPED")
            self.wine_bounded("sc", "delete", SERVICE_NAME, stdout=subprocess.DEVNULL)
        self.win_port = free_port()
        self.write_service_ini(self.work / "win-service", self.win_port, winpath(self.outbox))
        self.service_created = True
        if not self.sc("create", SERVICE_NAME, "binPath=",
                       winpath(self.work / "win-service/QuarvSvc.exe")):
            raise Abort(f"sc create: {self.sc_out()}")
        if not self.sc("start", SERVICE_NAME):
            raise Abort(f"sc start: {self.sc_out()}")
        if not (self.wait_for_state("RUNNING") and wait_for_port(self.win_port, "open")):
            raise Abort(f"the service did not reach RUNNING on port {self.win_port}: "
                        f"{self.sc_query()}")
        self.check("sc start: the service reports RUNNING and serves its port", True)

    def test_linux_agent_pause_continue(self):
        work, inbox = self.work, self.work / "in-linux-from-windows"
        self.linux_agent(self.win_port, inbox, 2, work / "linux-from-windows.out")
        self.check("the Linux agent fetched from the Windows service: same bytes and times",
                   self.same_as_outbox(inbox))
        self.check("the Linux agent reported success",
                   self.contains(work / "linux-from-windows.out", SUCCESS))

        self.check("interrogate: RUNNING",
                   self.tool("interrogate", SERVICE_NAME) == "STATE 4 RUNNING")
        self.check("pause: PAUSED", self.tool("pause", SERVICE_NAME) == "STATE 7 PAUSED")
        self.check("paused: the port is no longer served", wait_for_port(self.win_port, "closed"))
        self.check("paused: sc query says PAUSED", self.service_state() == "PAUSED")
        self.check("pause again: still PAUSED",
                   self.tool("pause", SERVICE_NAME) == "STATE 7 PAUSED")
        self.check("continue: RUNNING", self.tool("continue", SERVICE_NAME) == "STATE 4 RUNNING")
        self.check("continued: the port is served again", wait_for_port(self.win_port, "open"))
        (self.outbox / "after-pause.txt").write_bytes(b"Written while the service was paused.\n")
        touch(self.outbox / "after-pause.txt", "2024-05-05 05:05:05.5")
        self.linux_agent(self.win_port, inbox, 2, work / "after-continue.out")
        self.check("continued: the Linux agent fetched the new file",
                   self.contains(work / "after-continue.out", "転送したファイルは 1個 です。"))
        self.check("continued: same bytes and times", self.same_as_outbox(inbox))

    def test_file_open_for_writing(self):
        """A file that a Windows program still has open for writing is not sent."""
        work, inbox = self.work, self.work / "in-linux-from-windows"
        held = self.outbox / "being-written.log"
        held.write_bytes(b"Still being written.\n")
        # (timeout itself in the background, so that its pid ends the program: it passes the
        # signal on.)
        holder = self.start_background(["timeout", WINE_TIMEOUT, "wine", winpath(self.tool_exe),
                                        "hold-open", winpath(held)], work / "hold.out")
        wait_for_line(work / "hold.out", b"HELD")
        self.linux_agent(self.win_port, inbox, 1, work / "held.out")
        self.check("a file open for writing elsewhere is refused with 409 and not fetched",
                   sum(b"409 Conflict" in line for line in read(work / "held.out").splitlines())
                   == 1 and not (inbox / "being-written.log").exists())
        stop(holder)
        self.linux_agent(self.win_port, inbox, 1, work / "released.out")
        self.check("once closed, it is fetched", self.same_as_outbox(inbox))

    # --- 3 and 4. The Windows agent from the Linux service; its console bytes --------------------
    def test_windows_agent_linux_service(self):
        print("== the Windows agent and the Linux service")
        work = self.work
        self.linux_port = free_port()
        self.write_service_ini(work / "linux-service", self.linux_port, self.outbox)
        self.linux_service = self.start_background([work / "linux-service/QuarvSvc"],
                                                   work / "linux-service.out")
        if not wait_for_port(self.linux_port, "open"):
            raise Abort(f"the Linux service did not start on port {self.linux_port}")

        self.windows_agent(self.linux_port, work / "in-windows-from-linux", 2,
                           work / "windows-agent.out")
        self.check("the Windows agent fetched from the Linux service: same bytes and times",
                   self.same_as_outbox(work / "in-windows-from-linux"))
        self.check("the Windows agent reported success (code page 932)",
                   self.contains_cp932(work / "windows-agent.out", SUCCESS))

        self.linux_agent(self.linux_port, work / "in-linux-from-linux", 2, work / "linux-agent.out")
        self.check("the Linux agent fetched from the Linux service",
                   self.same_as_outbox(work / "in-linux-from-linux"))
        # The same run against the same service: only the encoding may differ.
        self.check("the Windows agent's output is the Linux agent's in code page 932, "
                   "byte for byte",
                   self.same_console_bytes(work / "linux-agent.out", work / "windows-agent.out"))
        self.check("the Windows agent's finished file is not hidden",
                   self.not_hidden_on_windows(work / "in-windows-from-linux/large.bin"))
        self.check("the Windows agent wrote nothing to standard error",
                   not read(work / "windows-agent.out.err"))
        # A refused login, with two tries: the failure messages too.
        self.windows_agent(self.linux_port, work / "in-refused", 2, work / "windows-refused.out",
                           "wrong-password")
        self.linux_agent(self.linux_port, work / "in-refused", 2, work / "linux-refused.out",
                         "wrong-password")
        self.check("a refused login: the Linux agent says so",
                   self.contains(work / "linux-refused.out", "ログインに失敗しました。"))
        self.check("a refused login: the same messages in code page 932, byte for byte",
                   self.same_console_bytes(work / "linux-refused.out",
                                           work / "windows-refused.out"))

    # --- 9. TLS: the Windows agent and the Linux service -----------------------------------------
    @staticmethod
    def wait_for_fingerprint(log, start=0):
        """The last fingerprint the service's log shows past its first start bytes, waiting at
        most ten seconds for it; or None."""
        for _ in range(50):
            found = FINGERPRINT_LINE.findall(read(log)[start:])
            if found:
                return found[-1].decode()
            time.sleep(0.2)
        return None

    def test_windows_agent_linux_service_tls(self):
        print("== TLS: the Windows agent and the Linux service")
        work, settings = self.work, self.work / "linux-service-tls"
        settings.mkdir()
        shutil.copy2(work / "linux-service/QuarvSvc", settings)
        port = free_port()
        self.write_service_ini(settings, port, self.outbox, tls=True)
        service = self.start_background([settings / "QuarvSvc"], work / "linux-service-tls.out")
        if not wait_for_port(port, "open", process=service):
            raise Abort(f"the Linux service with TLS=Yes did not start on port {port}: "
                        f"{text(read(work / 'linux-service-tls.out'))}")
        # Its first start made the certificate; the pin is what its log says.
        fingerprint = self.wait_for_fingerprint(work / "linux-service-tls.out")
        if not fingerprint:
            self.fail("TLS: no fingerprint in the Linux service's log")
            stop(service)
            return
        self.windows_agent(port, work / "in-windows-tls", 1, work / "windows-tls.out",
                           fingerprint=fingerprint)
        self.check("TLS: the Windows agent fetched from the Linux service: same bytes and times",
                   self.same_as_outbox(work / "in-windows-tls"))
        self.check("TLS: the Windows agent's console shows the TLS line (code page 932)",
                   self.contains_cp932(work / "windows-tls.out", TLS_CONNECTED))
        stop(service)

    # --- 10. TLS: the Windows service and the Linux agent ----------------------------------------
    def restart_service(self, tls):
        """Stops the Windows service, writes its settings (with TLS or without) and starts it
        again; whether it runs and serves its port."""
        self.sc("stop", SERVICE_NAME)
        if not self.wait_for_state("STOPPED"):
            return False
        self.write_service_ini(self.work / "win-service", self.win_port, winpath(self.outbox),
                               tls=tls)
        return (self.sc("start", SERVICE_NAME) and self.wait_for_state("RUNNING")
                and wait_for_port(self.win_port, "open"))

    def test_windows_service_tls(self):
        """The Windows service's log is read from Wine's eventlog channel, in the file that
        scripts/lib/wine-env.sh gives the service control manager as its output."""
        print("== TLS: the Windows service and the Linux agent")
        work = self.work
        pair = [work / "win-service/QuarvSvc.crt", work / "win-service/QuarvSvc.key"]
        log = Path(os.environ.get("QUARV_WINE_SERVICES_LOG", "/nonexistent"))
        logged_before = len(read(log))
        made_before = any(path.exists() for path in pair)
        running = self.restart_service(tls=True)
        self.check("TLS=Yes: the Windows service runs and serves its port", running)
        if running:
            self.check("TLS=Yes: its first start made QuarvSvc.crt and QuarvSvc.key beside its "
                       "settings", not made_before and all(path.is_file() for path in pair))
            fingerprint = self.wait_for_fingerprint(log, logged_before)
            if fingerprint:
                self.linux_agent(self.win_port, work / "in-linux-tls", 1, work / "linux-tls.out",
                                 fingerprint=fingerprint)
                self.check("TLS: the Linux agent, pinning the fingerprint of the Windows "
                           "service's log, fetched from it: same bytes and times",
                           self.same_as_outbox(work / "in-linux-tls")
                           and self.contains(work / "linux-tls.out", TLS_CONNECTED))
            else:
                self.fail(f"TLS: no fingerprint in the Windows service's log ({log})")
        if not self.restart_service(tls=False):
            raise Abort(f"without TLS the Windows service did not run again: {self.sc_query()}")

    # --- 8. The Windows agent on a console -------------------------------------------------------
    # With a terminal as its output, Wine gives the program a console whose host shows on the
    # terminal, in the terminal's encoding (UTF-8 here), the characters that the program wrote.
    # The locale is not Japanese, so the console's code page is not 932 either: code page 932
    # bytes written as they are would arrive garbled; only characters written as such read right.
    def terminal_shows(self, terminal_output, expected):
        """What the terminal shows, without the console host's cursor and title sequences and the
        CRs, is the text expected."""
        shown = re.sub(rb"\x1b\][^\x07\n]*\x07", b"", read(terminal_output))
        shown = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", shown).replace(b"\r", b"")
        shown_file = Path(f"{terminal_output}.text")
        shown_file.write_bytes(shown)
        if shown == read(expected):
            return True
        self.show_diff(expected, shown_file)
        return False

    def test_console(self):
        print("== the Windows agent on a console")
        work, inbox = self.work, self.work / "in-console"
        inbox.mkdir(parents=True, exist_ok=True)
        self.write_agent_ini(work / "win-agent", self.linux_port, winpath(inbox), 2)
        command = "wine " + shlex.quote(winpath(work / "win-agent/QuarvAgent.exe"))
        env = dict(os.environ, LC_ALL="C.UTF-8", SHELL="/bin/bash")
        with open(work / "console.out", "wb") as out:
            subprocess.run(["timeout", "120", "script", "-qec", command, "/dev/null"],
                           stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                           env=env)
        self.check("on a console: the Windows agent fetched from the Linux service",
                   self.same_as_outbox(inbox))
        # The Linux agent's output of the same run (section 3) is the text expected, character
        # for character, progress marks included.
        self.check("on a console: the terminal shows the Linux agent's text, Japanese included",
                   self.terminal_shows(work / "console.out", work / "linux-agent.out"))

    # --- 6. The Windows agent on a Japanese system (ANSI code page 932) -------------------------
    # Wine takes the ANSI code page from the locale: with ja_JP.UTF-8 the agent runs as on a
    # Japanese Windows. A Linux service serving names in code page 932 stands in for a Japanese
    # Windows service. Every name holds a double-byte character whose second byte is 0x5C (表,
    # ソ): the agent's directory, its BASE (at the very end) and the file name, so that a
    # backslash test that ignores double-byte characters would break each.
    def test_japanese_code_page(self):
        print("== the Windows agent with the Japanese code page")
        work = self.work
        (work / "locale").mkdir(parents=True, exist_ok=True)
        made = subprocess.run(["localedef", "-i", "ja_JP", "-f", "UTF-8",
                               str(work / "locale/ja_JP.UTF-8")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if made.returncode != 0:
            print("SKIP: no ja_JP locale could be made (localedef, Debian's locales package): "
                  "not checked")
            return
        ja_outbox, ja_agent = work / "outbox-ja", work / "エージェント表"
        ja_inbox = work / "受信表"
        ja_name = "表示ソフト.txt"
        for directory in (ja_outbox, ja_agent, ja_inbox, work / "linux-service-ja"):
            directory.mkdir(parents=True, exist_ok=True)
        _, ja_name_cp932 = iconv(ja_name.encode(), "UTF-8", "CP932")
        served = ja_outbox / os.fsdecode(ja_name_cp932)
        served.write_bytes(b"A file with a Japanese name.\n")
        touch(served, "2024-02-02 02:02:02.2")
        shutil.copy2(work / "linux-service/QuarvSvc", work / "linux-service-ja")
        ja_port = free_port()
        self.write_service_ini(work / "linux-service-ja", ja_port, ja_outbox)
        self.start_background([work / "linux-service-ja/QuarvSvc"], os.devnull)
        if not wait_for_port(ja_port, "open"):
            raise Abort(f"the Linux service did not start on port {ja_port}")
        shutil.copy2(work / "win-agent/QuarvAgent.exe", ja_agent)
        # A settings file on Windows is in the ANSI code page.
        self.write_agent_ini(ja_agent, ja_port, winpath(ja_inbox), 1)
        _, settings = iconv(read(ja_agent / "QuarvAgent.ini"), "UTF-8", "CP932")
        (ja_agent / "QuarvAgent.ini").write_bytes(settings)
        env = dict(os.environ, LOCPATH=str(work / "locale"), LC_ALL="ja_JP.UTF-8")
        with open(work / "japanese.out", "wb") as out:
            subprocess.run(["timeout", "120", "wine", winpath(ja_agent / "QuarvAgent.exe")],
                           stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                           env=env)
        fetched = ja_inbox / ja_name
        self.check("code page 932: the Windows agent fetched the Japanese name into its "
                   "Japanese BASE", fetched.is_file() and read(served) == read(fetched))
        self.check("code page 932: with the service's time",
                   fetched.exists() and mtime7(fetched) == mtime7(served))
        self.check("code page 932: the console names the file in code page 932",
                   self.contains_cp932(work / "japanese.out", f"{ja_name}を転送します。"))
        # The service's base prefix and the lead bytes, in the same code page.
        result = self.wine_bounded(winpath(self.windows_tests_exe),
                                   "--gtest_filter=Win32BasePrefixTest.CodePage932*",
                                   stderr=subprocess.STDOUT, env=env)
        output = result.stdout.replace(b"\r", b"")
        (work / "japanese-prefix.out").write_bytes(output)
        self.check("code page 932: a BASE ending in a character whose second byte is 0x5C gets "
                   "its backslash", b"[  PASSED  ] 1 test." in output.splitlines())

    # --- 5. Resume across the platforms ----------------------------------------------------------
    def test_resume_across_platforms(self):
        print("== resume across the platforms")
        work, resumed_at = self.work, "位置、{},0から再開します。"
        # The Linux agent's transfer from the Windows service is cut; the Windows agent resumes
        # it from the Linux service.
        proxy_port = self.start_cut_proxy(self.win_port, "proxy-1.out")
        self.linux_agent(proxy_port, work / "in-resume-1", 1, work / "resume-1-cut.out")
        self.check("cut (Linux agent, Windows service): a shorter partial file with the "
                   "service's time", self.partial_as_expected(work / "in-resume-1"))
        self.windows_agent(self.linux_port, work / "in-resume-1", 1, work / "resume-1.out")
        self.check("the Windows agent resumed the Linux agent's partial file from its length",
                   self.contains_cp932(work / "resume-1.out", resumed_at.format(self.partial_size)))
        self.check("resumed by the Windows agent: same bytes and times",
                   self.same_as_outbox(work / "in-resume-1"))

        # The Windows agent's transfer from the Linux service is cut; the Linux agent resumes it
        # from the Windows service.
        proxy_port = self.start_cut_proxy(self.linux_port, "proxy-2.out")
        self.windows_agent(proxy_port, work / "in-resume-2", 1, work / "resume-2-cut.out")
        self.check("cut (Windows agent, Linux service): a shorter partial file with the "
                   "service's time", self.partial_as_expected(work / "in-resume-2"))
        self.check("the Windows agent's partial file is hidden",
                   self.hidden_on_windows(work / "in-resume-2/_incomplete_large.bin"))
        self.linux_agent(self.win_port, work / "in-resume-2", 1, work / "resume-2.out")
        self.check("the Linux agent resumed the Windows agent's partial file from its length",
                   self.contains(work / "resume-2.out", resumed_at.format(self.partial_size)))
        self.check("resumed by the Linux agent: same bytes and times",
                   self.same_as_outbox(work / "in-resume-2"))

    # --- 7. Windows to Windows, deleting on the service ------------------------------------------
    def test_windows_to_windows_deleting(self):
        print("== the Windows agent and the Windows service, DELETEFILE=Yes")
        work = self.work
        shutil.copytree(self.outbox, work / "outbox-before", symlinks=True)
        self.windows_agent(self.win_port, work / "in-windows-deleting", 1,
                           work / "windows-deleting.out", None, "Yes")
        self.check("the Windows agent fetched from the Windows service: same bytes and times",
                   self.same_as_outbox(work / "in-windows-deleting", work / "outbox-before"))
        self.check("DELETEFILE=Yes: the service deleted every fetched file (the empty one stays)",
                   sorted(p.name for p in self.outbox.iterdir()) == ["empty.log"])

    # --- 2, continued. Stop and delete -----------------------------------------------------------
    def test_stop_with_open_session(self):
        print("== stopping the service")
        work = self.work
        watch = self.start_background(["timeout", WINE_TIMEOUT, "wine", winpath(self.tool_exe),
                                       "wait-exit", SERVICE_NAME], work / "exit.out")
        wait_for_line(work / "exit.out", b"PROCESS")
        # A session is open while the service stops.
        with socket.create_connection(("127.0.0.1", self.win_port), timeout=10) as session:
            session.sendall(b"HELO\r\n")
            greeting = b""
            try:
                while b"\n" not in greeting:
                    chunk = session.recv(4096)
                    if not chunk:
                        break
                    greeting += chunk
            except OSError:
                pass
            self.check("a session is open before the stop", greeting[:4] == b"200 ")
            if not self.sc("stop", SERVICE_NAME):
                self.fail(f"sc stop: {self.sc_out()}")
            if self.wait_for_state("STOPPED"):
                self.check("sc stop: STOPPED with exit code 0", self.exit_code() == "0")
            else:
                self.fail(f"sc stop: the service did not reach STOPPED: {self.sc_query()}")
            self.check("the stop closed the open session", self.closed_by_peer(session))
        watch.wait()
        self.check("the service's process ended with exit code 0",
                   b"EXIT_CODE 0" in read(work / "exit.out").replace(b"\r", b"").splitlines())
        self.check("stopped: the port is no longer served", wait_for_port(self.win_port, "closed"))

    @staticmethod
    def closed_by_peer(session):
        """Whether the connection was closed by the other end within ten seconds."""
        deadline = time.monotonic() + 10
        try:
            while True:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                session.settimeout(left)
                if not session.recv(65536):
                    return True
        except socket.timeout:
            return False
        except OSError:
            return True

    def test_settings_that_refuse_the_start(self):
        work, outbox = self.work, winpath(self.outbox)
        # A service whose settings do not let it start stops with an error code (PORT 0: 1610).
        self.write_service_ini(work / "win-service", 0, outbox)
        self.sc("start", SERVICE_NAME)
        if self.wait_for_state("STOPPED"):
            self.check("PORT 0: sc start ends in STOPPED with the error code 1610",
                       self.exit_code() == "1610")
        else:
            self.fail(f"PORT 0: the service did not stop: {self.sc_query()}")

        # Without a password the service does not start: STOPPED with
        # ERROR_SERVICE_SPECIFIC_ERROR and the service's own code 1, and the port is never served.
        self.write_service_ini(work / "win-service", self.win_port, outbox, password=False)
        self.sc("start", SERVICE_NAME)
        if self.wait_for_state("STOPPED"):
            query = self.sc_query()
            (work / "no-password.query").write_text(query + "\n")
            self.check("no PASSWORD: sc start ends in STOPPED with 1066 and the service-specific "
                       "code 1", self.exit_code(query) == "1066"
                       and field(query, "SERVICE_EXIT_CODE", 2) == "1")
            self.check("no PASSWORD: the port is not served", not port_open(self.win_port))
        else:
            self.fail(f"no PASSWORD: the service did not stop: {self.sc_query()}")
        self.write_service_ini(work / "win-service", self.win_port, outbox)

    def test_stop_while_paused(self):
        """Started again, paused and stopped while paused."""
        if not self.sc("start", SERVICE_NAME):
            self.fail(f"sc start: {self.sc_out()}")
        self.check("started again: RUNNING", self.wait_for_state("RUNNING"))
        self.check("paused again: PAUSED", self.tool("pause", SERVICE_NAME) == "STATE 7 PAUSED")
        if not self.sc("stop", SERVICE_NAME):
            self.fail(f"sc stop: {self.sc_out()}")
        if self.wait_for_state("STOPPED"):
            self.check("sc stop while paused: STOPPED with exit code 0", self.exit_code() == "0")
        else:
            self.fail(f"sc stop while paused: the service did not reach STOPPED: "
                      f"{self.sc_query()}")

    def test_continue_with_spoilt_settings(self):
        """Paused, its settings spoilt, continued: it cannot serve again, and stops with the
        error code rather than report RUNNING."""
        work = self.work
        if not self.sc("start", SERVICE_NAME):
            self.fail(f"sc start: {self.sc_out()}")
        self.check("started once more: RUNNING and serving",
                   self.wait_for_state("RUNNING") and wait_for_port(self.win_port, "open"))
        self.check("paused once more: PAUSED",
                   self.tool("pause", SERVICE_NAME) == "STATE 7 PAUSED")
        self.write_service_ini(work / "win-service", 0, winpath(self.outbox))
        answer = self.tool("continue", SERVICE_NAME)
        (work / "continue.out").write_text(answer + "\n")
        if self.wait_for_state("STOPPED"):
            self.check("continue with PORT 0: STOPPED with the error code 1610, never RUNNING",
                       self.exit_code() == "1610" and answer != "STATE 4 RUNNING")
        else:
            self.fail(f"continue with PORT 0: the service did not stop: {self.sc_query()}")

    def test_delete(self):
        if self.sc("delete", SERVICE_NAME) and not self.service_state():
            self.service_created = False
            self.check("sc delete: the service is gone", True)
        else:
            self.fail(f"sc delete: {self.sc_out()}")
        stop(self.linux_service)

    def run(self):
        self.work = work_directory("quarv-wine-system")
        try:
            self.make_files()
            self.test_executables()
            self.test_started_by_hand()
            self.test_service_start()
            self.test_linux_agent_pause_continue()
            self.test_file_open_for_writing()
            self.test_windows_agent_linux_service()
            self.test_windows_agent_linux_service_tls()
            self.test_console()
            self.test_japanese_code_page()
            self.test_resume_across_platforms()
            self.test_windows_service_tls()
            self.test_windows_to_windows_deleting()
            self.test_stop_with_open_session()
            self.test_settings_that_refuse_the_start()
            self.test_stop_while_paused()
            self.test_continue_with_spoilt_settings()
            self.test_delete()
            if self.failures:
                print(f"windows system test: {self.failures} check(s) FAILED")
                return 1
            print("windows system test: all checks passed")
            return 0
        except Abort as failure:
            print(f"FAIL: {failure}", flush=True)
            return 1
        except Exception as error:  # pylint: disable=broad-except
            # A command that failed outside a check ends the test; say where.
            print(f"FAIL: {error!r}", flush=True)
            traceback.print_exc()
            return 1
        finally:
            self.cleanup()


def main():
    sys.stdout.reconfigure(line_buffering=True, errors="surrogateescape")
    windows_build = Path(os.environ.get("QUARV_WINDOWS_BUILD") or ROOT / "build/mingw32-tests")
    linux_build = Path(os.environ.get("QUARV_LINUX_BUILD") or ROOT / "build/default")
    windows_build, linux_build = windows_build.resolve(), linux_build.resolve()
    for program in (windows_build / "service/QuarvSvc.exe", windows_build / "agent/QuarvAgent.exe",
                    windows_build / "tests/quarv_service_control_tool.exe",
                    windows_build / "tests/quarv_windows_tests.exe",
                    linux_build / "service/QuarvSvc", linux_build / "agent/QuarvAgent"):
        if not os.access(program, os.X_OK):
            print(f"FAIL: {program} is missing: build the mingw32-tests and default presets first",
                  file=sys.stderr)
            return 1
    if os.environ.get("QUARV_WINE_ENV") != "1":
        # The Wine environment, and a persistent server of our own unless one runs: without one,
        # Wine ends a service some seconds after the last other Wine program has ended.
        os.environ["QUARV_WINDOWS_BUILD"] = str(windows_build)
        os.environ["QUARV_LINUX_BUILD"] = str(linux_build)
        helper = str(ROOT / "scripts/lib/wine-env.sh")
        os.execv(helper, [helper, "run", sys.executable, str(Path(__file__).resolve())])

    interrupt_on_sigterm()
    try:
        return SystemTest(windows_build, linux_build).run()
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
