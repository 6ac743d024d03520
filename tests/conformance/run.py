#!/usr/bin/env python3
"""Runs the serial layer's conformance program against a pseudo-terminal and plays the line's
other end for it.

    run.py PROGRAM                         the POSIX backend, natively
    run.py --wine --com N PROGRAM.exe      the Windows backend under Wine: COMn is mapped onto
                                           the pseudo-terminal ($WINEPREFIX/dosdevices/comn),
                                           COMn+1 must name nothing

The program asks on its standard output ("@ REQUEST"), one request per line; each gets a
one-line answer on its standard input. Everything else it prints is passed through. Exit code:
the program's (0 when every case passed); 1 when the harness itself failed.
"""
import argparse
import os
import select
import subprocess
import sys
import termios
import threading

# The state the line is in before the program opens it: not the one the library sets, so that
# close must put something back. (A pseudo-terminal keeps neither parity nor a character size
# other than 8 bits.)
INITIAL_STTY = ["4800", "cstopb"]

SPEEDS = {getattr(termios, "B%d" % r): r for r in (
    50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600,
    115200, 230400) if hasattr(termios, "B%d" % r)}


class Line:
    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)
        self.saved = None
        subprocess.run(["stty"] + INITIAL_STTY, stdin=self.slave, check=True)

    def stty_g(self):
        return subprocess.run(["stty", "-g"], stdin=self.slave, check=True,
                              capture_output=True, text=True).stdout.strip()

    def describe(self):
        cflag = termios.tcgetattr(self.slave)[2]
        ospeed = termios.tcgetattr(self.slave)[5]
        return "%s %s" % (SPEEDS.get(ospeed, "B?%d" % ospeed),
                          "cstopb" if cflag & termios.CSTOPB else "-cstopb")

    def take(self, count):
        got = b""
        while len(got) < count:
            ready, _, _ = select.select([self.master], [], [], 5.0)
            if not ready:
                break
            got += os.read(self.master, count - len(got))
        return " ".join("%02X" % b for b in got)

    def send(self, text):
        os.write(self.master, bytes.fromhex(text))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine", action="store_true", help="run PROGRAM under Wine")
    parser.add_argument("--com", type=int, default=40, help="COM number under Wine (default 40)")
    parser.add_argument("--timeout", type=float, default=300, help="bound of the whole run, s")
    parser.add_argument("--log", help="where the program's standard error goes (default: ours)")
    parser.add_argument("program")
    args = parser.parse_args()

    line = Line()
    runner = []
    device, missing = line.path, "/dev/tqrf-conformance-missing-%d" % os.getpid()
    links = []
    if args.wine:
        prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
        dosdevices = os.path.join(prefix, "dosdevices")
        if not os.path.isdir(dosdevices):
            print("run.py: %s does not exist: the Wine prefix needs `wineboot -i` first" % dosdevices,
                  file=sys.stderr)
            return 1
        link = os.path.join(dosdevices, "com%d" % args.com)
        for stale in (link, os.path.join(dosdevices, "com%d" % (args.com + 1))):
            if os.path.lexists(stale):
                os.unlink(stale)
        os.symlink(line.path, link)
        links.append(link)
        runner = ["wine"]
        device, missing = "\\\\.\\COM%d" % args.com, "\\\\.\\COM%d" % (args.com + 1)
    print("run.py: %s on %s (%s)" % (os.path.basename(args.program), device, line.path), flush=True)

    errors = open(args.log, "a") if args.log else None
    proc = subprocess.Popen(runner + [args.program, device, missing], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=errors, text=True, bufsize=1)
    timed_out = threading.Event()

    def stop():
        timed_out.set()
        proc.kill()

    killer = threading.Timer(args.timeout, stop)
    killer.start()
    timers = []
    try:
        for text in proc.stdout:
            text = text.rstrip("\r\n")
            if not text.startswith("@ "):
                print(text, flush=True)
                continue
            request = text[2:].split(" ", 1)
            what, rest = request[0], request[1] if len(request) > 1 else ""
            if what == "stty-save":
                line.saved = line.stty_g()
                answer = "ok"
            elif what == "stty-compare":
                now = line.stty_g()
                answer = "same" if now == line.saved else "differs: before %s after %s" % (
                    line.saved, now)
            elif what == "line":
                answer = line.describe()
            elif what == "take":
                answer = line.take(int(rest))
            elif what == "send":
                line.send(rest)
                answer = "ok"
            elif what == "send-later":
                timer = threading.Timer(0.2, line.send, [rest])
                timers.append(timer)
                timer.start()
                answer = "ok"
            elif what == "hangup":
                os.close(line.master)
                answer = "ok"
            elif what == "open-elsewhere":
                rc = subprocess.run(runner + [args.program, "--try-open", device],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=errors, timeout=120).returncode
                answer = {0: "refused", 1: "opened"}.get(rc, "exit %d" % rc)
            else:
                answer = "unknown request"
            proc.stdin.write(answer + "\n")
            proc.stdin.flush()
        rc = proc.wait()
    finally:
        killer.cancel()
        for timer in timers:
            timer.cancel()
        for link in links:
            if os.path.lexists(link):
                os.unlink(link)
    if timed_out.is_set():
        print("run.py: the program did not finish within %g s" % args.timeout, file=sys.stderr)
        return 1
    return rc if rc >= 0 else 1


if __name__ == "__main__":
    sys.exit(main())
