"""The server as the benchmark scripts run it: a private installation copied from the stage
with one watch folder delivering into one folder, started in application mode, and the wait
for a drop of clips to be filed."""

import contextlib
import os
import re
import shutil
import socket
import subprocess
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def process_cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime, stime, cutime, cstime: fields 14 to 17 of the line, 12 to 15 after the name.
    return sum(int(v) for v in fields[11:15]) / os.sysconf("SC_CLK_TCK")


def install_server(stage, install, workers):
    """Copies the server into INSTALL with a configuration of WORKERS workers whose source looks
    every second; returns its (watch, out, incoming) folders, incoming for the clips to drop."""
    os.makedirs(install)
    shutil.copy2(os.path.join(stage, "lmVidmill"), install)
    shutil.copytree(os.path.join(stage, "bin"), os.path.join(install, "bin"))
    shutil.copytree(os.path.join(stage, "codecs"), os.path.join(install, "codecs"))
    folders = tuple(os.path.join(install, n) for n in ("watch", "out", "incoming"))
    for folder in folders:
        os.makedirs(folder)
    watch, out, _ = folders
    config = os.path.join(install, "config.dat")
    subprocess.run([os.path.join(stage, "lmvmdemoconfig"), config, watch, out,
                    str(free_port())], check=True)
    with open(config, encoding="utf-8") as f:
        text = f.read()
    text = re.sub(r"<threads>\d+</threads>", f"<threads>{workers}</threads>", text)
    text = re.sub(r"<tmrint>\d+</tmrint>", "<tmrint>1</tmrint>", text)
    with open(config, "w", encoding="utf-8") as f:
        f.write(text)
    return folders


@contextlib.contextmanager
def running_server(install, cores=None):
    """The installed server (on CORES only, when given), once its log says it has started;
    terminated on leaving."""
    server = subprocess.Popen([os.path.join(install, "lmVidmill"), "-NOSERVICE"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              preexec_fn=(lambda: os.sched_setaffinity(0, cores)) if cores
                              else None)
    try:
        log_folder = os.path.join(install, "logs")
        deadline = time.time() + 30
        while time.time() < deadline:
            if os.path.isdir(log_folder) and any(
                    "Starting server..." in open(os.path.join(log_folder, n),
                                                 errors="replace").read()
                    for n in os.listdir(log_folder)):
                break
            time.sleep(0.1)
        time.sleep(1)
        yield server
    finally:
        server.terminate()
        server.wait()


def wait_until_filed(server, watch, clips, seconds):
    """Waits until CLIPS source files have reached the completed and failed folders of WATCH;
    returns (completed, failed), fewer than CLIPS together when the time ran out or the server
    ended."""
    completed, failed = os.path.join(watch, "Completed"), os.path.join(watch, "Failed")
    limit = time.monotonic() + seconds
    while True:
        done = len(os.listdir(completed)) if os.path.isdir(completed) else 0
        lost = len(os.listdir(failed)) if os.path.isdir(failed) else 0
        if done + lost >= clips or time.monotonic() > limit or server.poll() is not None:
            return done, lost
        time.sleep(0.02)
