"""Driver-level figures of the loop backend against the runtime backend's thread, and fio as the limit.

    python bench/loop_ring.py [--rounds 3] [--dir DIR] [--only NAME,...] [--contenders NAME,...]
                              [--fadvise-random] [--fio-hint 0|1]

--fadvise-random opens the cold rows' file with os.open, marks that descriptor POSIX_FADV_RANDOM (no
readahead) and hands it to the driver with adopt; fio does the same by default (its fadvise_hint), which
--fio-hint 0 turns off, so both sides can be compared with and without readahead.

Every figure comes from a fresh interpreter (`--worker`), contenders interleaved round by round. Cold rows
drop the file's pages (posix_fadvise DONTNEED) before each run and read each 4 KiB block at most once, in a
random order, as fio's random map does. Prints one line per run and a table of medians and ranges.

CPU per operation is the process's time (every thread, the kernel's work included); fio's is its job's, so
on the cold rows it is what the kernel spends per read below any library. "blocking" is os.pread in a loop
on the cold row at 1 in flight and open + read + close of the same 8 KiB files on the small-file row.
"""
import argparse
import asyncio
import json
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import time

GIB = 1 << 30
BLOCK = 4096
COLD_COUNTS = {1: 4000, 8: 16000, 64: 40000}


def drop(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


async def cold_reads(k, path, depth, count, seed, random_hint):
    if random_hint:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_RANDOM)
        h = (await k.adopt(fd, True))[0]
    else:
        h = (await k.open(path, True, False, False, False, False, False))[0]
    blocks = random.Random(seed).sample(range(GIB // BLOCK), count)
    it = iter(blocks)

    async def worker():
        buf = bytearray(BLOCK)
        for b in it:
            await k.readinto(h, b * BLOCK, buf)

    drop(path)
    c0, t0 = cpu(), time.perf_counter()
    await asyncio.gather(*[worker() for _ in range(depth)])
    t, c = time.perf_counter() - t0, cpu() - c0
    await k.close(h)
    return {"rate": count / t, "cpu_us": c / count * 1e6}


async def cached_reads(k, path, tasks, seconds):
    h = (await k.open(path, True, False, False, False, False, False))[0]
    span = 64 << 20
    fd = os.open(path, os.O_RDONLY)
    os.pread(fd, span, 0)
    os.close(fd)
    done = 0
    stop = time.perf_counter() + seconds

    async def worker(seed):
        nonlocal done
        rnd = random.Random(seed)
        n = 0
        while time.perf_counter() < stop:
            for _ in range(64):
                await k.read(h, rnd.randrange(span // BLOCK) * BLOCK, BLOCK)
            n += 64
        done += n

    c0, t0 = cpu(), time.perf_counter()
    await asyncio.gather(*[worker(i) for i in range(tasks)])
    t, c = time.perf_counter() - t0, cpu() - c0
    await k.close(h)
    return {"rate": done / t, "cpu_us": c / done * 1e6}


async def small_files(k, files, tasks, seconds):
    done = 0
    stop = time.perf_counter() + seconds

    async def worker(i):
        nonlocal done
        n = 0
        while time.perf_counter() < stop:
            p = files[(i + n * tasks) % len(files)]
            h = (await k.open(p, True, False, False, False, False, False))[0]
            data = await k.read(h, 0, 8192)
            assert len(data) == 8192
            await k.close(h)
            n += 1
        done += n

    c0, t0 = cpu(), time.perf_counter()
    await asyncio.gather(*[worker(i) for i in range(tasks)])
    t, c = time.perf_counter() - t0, cpu() - c0
    return {"rate": done / t, "cpu_us": c / done * 1e6}


def blocking_cold(path, count, seed, random_hint):
    blocks = random.Random(seed).sample(range(GIB // BLOCK), count)
    fd = os.open(path, os.O_RDONLY)
    if random_hint:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_RANDOM)
    drop(path)
    c0, t0 = cpu(), time.perf_counter()
    for b in blocks:
        os.pread(fd, BLOCK, b * BLOCK)
    t, c = time.perf_counter() - t0, cpu() - c0
    os.close(fd)
    return {"rate": count / t, "cpu_us": c / count * 1e6}


def blocking_small(files, seconds):
    done = 0
    stop = time.perf_counter() + seconds
    c0, t0 = cpu(), time.perf_counter()
    while time.perf_counter() < stop:
        for p in files[:64]:
            fd = os.open(p, os.O_RDONLY | os.O_CLOEXEC)
            data = os.read(fd, 8192)
            os.close(fd)
            assert len(data) == 8192
        done += 64
    t, c = time.perf_counter() - t0, cpu() - c0
    return {"rate": done / t, "cpu_us": c / done * 1e6}


def worker(case):
    if case["contender"] == "blocking" and case["row"] == "small":
        return blocking_small(case["files"], case["seconds"])
    if case["contender"] == "blocking":
        return blocking_cold(case["path"], case["count"], case["seed"], case.get("random_hint", False))
    import _kestrelio as k
    name = k.backend_name()
    if case["row"] == "cold":
        r = asyncio.run(cold_reads(k, case["path"], case["depth"], case["count"], case["seed"],
                                   case.get("random_hint", False)))
    elif case["row"] == "cached":
        r = asyncio.run(cached_reads(k, case["path"], 64, case["seconds"]))
    else:
        r = asyncio.run(small_files(k, case["files"], 64, case["seconds"]))
    r["backend"] = name
    return r


def fio(path, depth, count, hint):
    drop(path)
    engine = ["--ioengine=psync"] if depth == 0 else ["--ioengine=io_uring", f"--iodepth={depth}"]
    out = subprocess.run(["fio", "--name=r", f"--filename={path}", "--direct=0", "--rw=randread", "--bs=4k",
                          f"--size=1G", f"--number_ios={count}", f"--fadvise_hint={hint}", "--output-format=json", *engine],
                         capture_output=True, text=True, check=True)
    job = json.loads(out.stdout)["jobs"][0]
    # fio's own CPU (its thread and the kernel's work done on it): what a read costs below any library.
    cpu_s = (job["usr_cpu"] + job["sys_cpu"]) / 100 * job["job_runtime"] / 1000
    return {"rate": job["read"]["iops"], "cpu_us": cpu_s / max(1, job["read"]["total_ios"]) * 1e6}


def run_worker(case, backend, pythonpath=None):
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    if backend:
        env["KESTRELIO_BACKEND"] = backend
    out = subprocess.run([sys.executable, __file__, "--worker", json.dumps(case)], env=env, capture_output=True,
                         text=True, timeout=600)
    if out.returncode != 0:
        raise RuntimeError(out.stderr)
    return json.loads(out.stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--worker")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--dir", default="/var/tmp/kestrelio-loop-ring-bench")
    ap.add_argument("--only", default="")
    ap.add_argument("--seconds", type=float, default=2.0)
    ap.add_argument("--contenders", default="", help="keep only these contenders (compio, loop, fio, blocking, "
                    "and NAME=[BACKEND@]PYTHONPATH for another build of the extension, e.g. "
                    "before=compio@/tmp/b/kestrelio-py)")
    ap.add_argument("--fadvise-random", action="store_true")
    ap.add_argument("--fio-hint", type=int, default=1)
    a = ap.parse_args()
    if a.worker:
        print(json.dumps(worker(json.loads(a.worker))))
        return
    os.makedirs(a.dir, exist_ok=True)
    big = os.path.join(a.dir, "big")
    if not os.path.exists(big) or os.path.getsize(big) != GIB:
        with open(big, "wb") as f:
            chunk = os.urandom(1 << 20)
            for _ in range(1024):
                f.write(chunk)
    small_dir = os.path.join(a.dir, "small")
    files = [os.path.join(small_dir, "%04d" % i) for i in range(2000)]
    if not os.path.isdir(small_dir):
        os.makedirs(small_dir)
        for p in files:
            with open(p, "wb") as f:
                f.write(os.urandom(8192))
    have_fio = shutil.which("fio") is not None
    rows = []
    for depth in (1, 8, 64):
        rows.append((f"cold d{depth}", {"row": "cold", "path": big, "depth": depth, "count": COLD_COUNTS[depth],
                                        "random_hint": a.fadvise_random},
                     ["compio", "loop"] + (["fio"] if have_fio else []) + (["blocking"] if depth == 1 else [])))
    rows.append(("cached 64", {"row": "cached", "path": big, "seconds": a.seconds}, ["compio", "loop"]))
    rows.append(("small files 64", {"row": "small", "files": files, "seconds": a.seconds},
                 ["compio", "loop", "blocking"]))
    only = set(filter(None, a.only.split(",")))
    # NAME=PATH contenders run the loop backend from another build of the extension.
    extra = dict(c.split("=", 1) for c in a.contenders.split(",") if "=" in c)
    keep = [c.split("=", 1)[0] for c in a.contenders.split(",") if c]
    if keep:
        rows = [(n, s, [c for c in keep if c in cs or c in extra]) for n, s, cs in rows]
    results = {}
    for rnd in range(a.rounds):
        for name, case, contenders in rows:
            if only and name not in only:
                continue
            order = contenders if rnd % 2 == 0 else list(reversed(contenders))
            for c in order:
                s = dict(case, seed=rnd, contender=c)
                if c == "fio":
                    r = fio(big, case["depth"], case["count"], a.fio_hint)
                elif c == "blocking":
                    r = run_worker(s, None)
                elif c in extra:
                    # NAME=BACKEND@PATH picks the backend too (the loop backend by default).
                    backend, _, path = extra[c].rpartition("@")
                    r = run_worker(s, backend or "loop", path)
                else:
                    r = run_worker(s, c)
                results.setdefault((name, c), []).append(r)
                print(f"round {rnd} {name:15} {c:8} " + " ".join(f"{k}={v:.1f}" if isinstance(v, float) else
                                                                 f"{k}={v}" for k, v in r.items()), flush=True)
    print()
    print(f"{'row':15} {'contender':9} {'median/s':>10} {'range/s':>21} {'cpu us/op':>10}")
    for (name, c), rs in results.items():
        rates = [r["rate"] for r in rs]
        cpus = [r["cpu_us"] for r in rs if "cpu_us" in r]
        cpu_text = f"{statistics.median(cpus):10.1f}" if cpus else f"{'':>10}"
        print(f"{name:15} {c:9} {statistics.median(rates):10.0f} {min(rates):10.0f}-{max(rates):<10.0f} {cpu_text}")


if __name__ == "__main__":
    main()
