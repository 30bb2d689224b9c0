"""Starts whole commands for bench/run.py and reports each one's time and peak resident memory.

usage: python -S bench/spawn.py     (one JSON request per line on stdin, one answer per line)

A request is {"argv": [...], "env": {...}, "cwd": DIR, "stderr": FILE, "timeout": SECONDS};
the answer is {"t": seconds, "peak_kb": KB, "code": exit status (minus the signal number when
a signal ended it), "timeout": true when the command was stopped at its time limit, "own_kb":
this process's resident memory when it forked the command}. The first
line this process prints is {"ready": true, "own_kb": its own resident memory}.

Why a process of its own: the child's peak comes from os.wait4 (ru_maxrss), and Linux counts
the memory of the process that forks a child, as it was at the fork, into that child's
ru_maxrss (with vfork, the forking process's own peak). Forked from this small process, a
child's reading is its own peak unless that peak is below this process's resident memory
(`own_kb`, about 10 MB: less than any interpreter that imports json). POSIX only.
"""
import json
import os
import signal
import sys
import time


def resident_kb():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def run(req):
    err = os.open(req["stderr"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    null = os.open(os.devnull, os.O_RDWR)
    state = {"pid": None, "stopped": False}

    def stop(signum, frame):
        if state["pid"] is not None:
            state["stopped"] = True
            try:
                os.kill(state["pid"], signal.SIGKILL)
            except OSError:
                pass

    signal.signal(signal.SIGALRM, stop)
    argv, env, cwd = req["argv"], req["env"], req["cwd"]
    own = resident_kb()
    t0 = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        try:
            os.dup2(null, 0)
            os.dup2(null, 1)
            os.dup2(err, 2)
            os.chdir(cwd)
            os.execvpe(argv[0], argv, env)
        except BaseException as exc:
            os.write(2, ("cannot start %s: %s\n" % (argv[0], exc)).encode("utf-8", "replace"))
        finally:
            os._exit(127)
    state["pid"] = pid
    signal.setitimer(signal.ITIMER_REAL, req["timeout"])
    _, status, usage = os.wait4(pid, 0)
    t = time.perf_counter() - t0
    state["pid"] = None
    signal.setitimer(signal.ITIMER_REAL, 0)
    os.close(err)
    os.close(null)
    code = os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status)
    peak = usage.ru_maxrss
    if sys.platform == "darwin":
        peak //= 1024  # bytes there, kilobytes on Linux
    return {"t": t, "peak_kb": peak, "code": code, "timeout": state["stopped"],
            "own_kb": own}


def main():
    out = sys.stdout
    out.write(json.dumps({"ready": True, "own_kb": resident_kb()}) + "\n")
    out.flush()
    for line in sys.stdin:
        if not line.strip():
            continue
        try:
            answer = run(json.loads(line))
        except Exception as exc:  # reported to run.py, which treats it as a failed run
            answer = {"error": "%s: %s" % (type(exc).__name__, exc)}
        out.write(json.dumps(answer) + "\n")
        out.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
