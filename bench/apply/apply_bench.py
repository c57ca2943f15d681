#!/usr/bin/env python3
"""Times the update run against copying the same files with other tools.

For each payload size it lays out, in a scratch folder, a payload of nine
files of random bytes (the largest 35 MB at 150 MiB, scaled with the size)
plus the archive the version check reads, a patch built from it with
patchkit, stored 7z and zip archives of it, and an installation holding
full-size old versions of every file (so that the run's backups are real).
Then, in alternating rounds, it times from a fresh copy of the installation:
the native patch program (answering Yes), cp + sync -f, 7zz x + sync -f and
unzip + sync -f. The patch flushes what it writes itself; each peer's time
ends with sync -f of the same file system. It prints the minimum and median
of each, their ratio to cp + sync -f, and the patch's peak resident size.
With --cold the installation's files are dropped from the page cache after
each copy, as on a player's machine.
"""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time

MIB = 1 << 20
# The payload at 150 MiB, in MiB; other sizes scale it.
SHAPE = [35, 30, 25, 20, 15, 12, 8, 4, 1]
EXPECTED = "DEDE0353B57306CE"  # the archive of the version the patch applies to
PATCHED = "D5DB29012F39456F"   # the archive as the patch installs it


def random_file(path, size):
    with open(path, "wb") as out:
        left = size
        while left > 0:
            piece = min(left, 8 * MIB)
            out.write(os.urandom(piece))
            left -= piece


def run(command, **kwargs):
    subprocess.run(command, check=True, **kwargs)


def lay_out(work, total_mib, tools, stub_program=None):
    payload = os.path.join(work, "payload")
    original = os.path.join(work, "installed")
    for folder in (payload, original):
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
    scale = total_mib / sum(SHAPE)
    for index, mib in enumerate(SHAPE):
        size = max(1, int(mib * scale * MIB)) + index  # sizes that are not whole pieces
        name = "data%05d.arc" % (1200 + index)
        random_file(os.path.join(payload, name), size)
        random_file(os.path.join(original, name), size)
    for folder, fingerprint in ((payload, PATCHED), (original, EXPECTED)):
        archive = os.path.join(folder, "data01110.arc")
        random_file(archive, 6000)
        run([tools.suffix, archive, fingerprint], stdout=subprocess.DEVNULL)
    with open(os.path.join(original, "uninst.lst"), "wb") as out:
        out.write(b"data01110.arc\r\n")

    stub = os.path.join(work, "stub")
    if stub_program:
        shutil.copy(stub_program, stub)
    elif subprocess.run(["strip", "-o", stub, tools.program], stderr=subprocess.DEVNULL).returncode != 0:
        shutil.copy(tools.program, stub)
    patched = os.path.join(work, "patched")
    run([tools.patchkit, "build", "--hash-list", "--stub", stub, "--out", patched, payload], stdout=subprocess.DEVNULL)
    os.chmod(patched, 0o755)
    for archive in ("payload.7z", "payload.zip"):
        path = os.path.join(work, archive)
        if os.path.exists(path):
            os.remove(path)
    run(["7zz", "a", "-mx0", "-bd", "-bso0", os.path.join(work, "payload.7z"), "."], cwd=payload)
    run(["zip", "-0", "-q", "-r", os.path.join(work, "payload.zip"), "."], cwd=payload)

    registry = os.path.join(work, "registry.reg")
    game = os.path.join(work, "game")
    with open(registry, "w", encoding="utf-8") as out:
        out.write("Windows Registry Editor Version 5.00\n\n")
        out.write("[HKEY_LOCAL_MACHINE\\Software\\PELWIN SOFT\\Lumetria]\n")
        out.write('"InstalledFolder"="%s"\n' % game.replace("\\", "\\\\"))
    return patched


COLD = False  # --cold: the installation's files are not in the page cache


def reset(work):
    game = os.path.join(work, "game")
    shutil.rmtree(game, ignore_errors=True)
    run(["cp", "-a", os.path.join(work, "installed"), game])
    # What the reset wrote must not be flushed on the next run's time.
    run(["sync", "-f", game])
    if COLD:
        # As on a player's machine, where the installed game has long left
        # the cache: only the payload and the tools are cached.
        for name in os.listdir(game):
            descriptor = os.open(os.path.join(game, name), os.O_RDONLY)
            try:
                os.posix_fadvise(descriptor, 0, 0, os.POSIX_FADV_DONTNEED)
            finally:
                os.close(descriptor)


def timed(command, env=None, stdin=None):
    """Wall time of one command."""
    start = time.perf_counter()
    result = subprocess.run(command, env=env, input=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        raise RuntimeError("%s ended with %d" % (command[0], result.returncode))
    return elapsed


def peak_resident(command, env, stdin, work):
    """The command's peak resident size in KiB, as GNU time reports it (a
    child of this script would count the script's own pages from before the
    exec)."""
    report = os.path.join(work, "rss")
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + command, env=env, input=stdin,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    with open(report) as text:
        return int(text.read().split()[-1])


def bench(work, total_mib, rounds, tools):
    patched = lay_out(work, total_mib, tools)
    game = os.path.join(work, "game")
    payload = os.path.join(work, "payload")
    env = dict(os.environ, LUMETRIA_REGISTRY=os.path.join(work, "registry.reg"),
               XDG_RUNTIME_DIR=os.path.join(work, "run"))
    os.makedirs(env["XDG_RUNTIME_DIR"], exist_ok=True)
    shell = lambda text: ["sh", "-c", text]
    commands = [
        ("patch (native)", [patched], env, b"y\n\n"),
        ("cp + sync -f", shell('cp -r "%s"/. "%s" && sync -f "%s"' % (payload, game, game)), None, None),
        ("7zz x + sync -f", shell('7zz x -y -bd -bso0 -o"%s" "%s" && sync -f "%s"' %
                                  (game, os.path.join(work, "payload.7z"), game)), None, None),
        ("unzip + sync -f", shell('unzip -o -q "%s" -d "%s" && sync -f "%s"' %
                                  (os.path.join(work, "payload.zip"), game, game)), None, None),
    ]
    times = {name: [] for name, _, _, _ in commands}
    for _ in range(rounds):
        for name, command, command_env, stdin in commands:
            reset(work)
            times[name].append(timed(command, command_env, stdin))
            if name.startswith("patch"):
                with open(os.path.join(game, "data01200.arc"), "rb") as got, \
                        open(os.path.join(payload, "data01200.arc"), "rb") as want:
                    if got.read() != want.read():
                        raise RuntimeError("the patch did not install the payload")
    reset(work)
    peak = peak_resident(commands[0][1], env, commands[0][3], work)
    return times, peak


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_bench(work, total_mib, rounds, tools):
    """patch.exe under Wine, from Yes to the completion box, against
    CopyFileW + FlushFileBuffers of the same files in the same prefix."""
    lay_out(work, total_mib, tools, stub_program=tools.wine_stub)
    patched = os.path.join(work, "patched.exe")
    os.replace(os.path.join(work, "patched"), patched)
    wine = [tools.wine_run] + tools.wine_args.split() + [tools.wine_prefix]
    game = os.path.join(work, "game")
    run(wine + ["reg", "add", "HKLM\\Software\\PELWIN SOFT\\Lumetria", "/v", "InstalledFolder", "/d",
                wine_path(game), "/f"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    commands = [
        ("patch.exe (Wine)", wine + [tools.timer, "patch", wine_path(patched)]),
        ("CopyFileW + flush", wine + [tools.timer, "copy", wine_path(os.path.join(work, "payload")), wine_path(game)]),
    ]
    times = {name: [] for name, _ in commands}
    for _ in range(rounds):
        for name, command in commands:
            reset(work)
            result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            if result.returncode != 0:
                raise RuntimeError("%s did not complete" % name)
            times[name].append(float(result.stdout.decode().split()[-1]))
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, help="the native patch program")
    parser.add_argument("--patchkit", required=True)
    parser.add_argument("--suffix", required=True, help="the hash_suffix tool")
    parser.add_argument("--work", required=True, help="scratch folder (on the disk to measure)")
    parser.add_argument("--sizes", default="150,600", help="payload sizes in MiB")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--wine-stub", help="a Win32 patch.exe: time it under Wine instead")
    parser.add_argument("--wine-run", help="cmake/wine-run")
    parser.add_argument("--wine-args", default="", help="e.g. --win64")
    parser.add_argument("--wine-prefix")
    parser.add_argument("--timer", help="the Win32 build's apply_timer.exe")
    parser.add_argument("--cold", action="store_true",
                        help="drop the installation's files from the page cache before each run")
    tools = parser.parse_args()
    global COLD
    COLD = tools.cold
    # 7zz and zip run inside the payload folder: the archives' paths must not
    # depend on the current folder.
    tools.work = os.path.abspath(tools.work)
    os.makedirs(tools.work, exist_ok=True)
    print("%-18s %9s %9s %9s %9s" % ("", "MiB", "min s", "median s", "vs floor" if tools.wine_stub else "vs cp"))
    for total in [int(size) for size in tools.sizes.split(",")]:
        if tools.wine_stub:
            times = wine_bench(os.path.join(tools.work, "wine%d" % total), total, tools.rounds, tools)
            floor = statistics.median(times["CopyFileW + flush"])
            for name, values in times.items():
                median = statistics.median(values)
                print("%-18s %9d %9.3f %9.3f %8.2fx" % (name, total, min(values), median, median / floor))
            sys.stdout.flush()
            shutil.rmtree(os.path.join(tools.work, "wine%d" % total), ignore_errors=True)
            continue
        times, peak = bench(os.path.join(tools.work, str(total)), total, tools.rounds, tools)
        floor = statistics.median(times["cp + sync -f"])
        for name, values in times.items():
            median = statistics.median(values)
            print("%-18s %9d %9.3f %9.3f %8.2fx" % (name, total, min(values), median, median / floor))
        print("%-18s %9d   peak resident size %.1f MB" % ("patch (native)", total, peak / 1024))
        sys.stdout.flush()
        shutil.rmtree(os.path.join(tools.work, str(total)), ignore_errors=True)


if __name__ == "__main__":
    main()
