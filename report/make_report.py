#!/usr/bin/python3
"""Speed and banding-removal quality of bitgrade against its peers.

Writes report/results.md (the tables), report/profile.png (one row's
profile) and report/cambi.png (CAMBI against span), and prints the tables.
Run through `./dev report` (--quality-only leaves the timings out; --speed-only prints
their first table alone; --widths-only the table of widths that are no multiple of 16
alone; --depth-only the CAMBI tables of the output depths and of real encodes alone;
--adaptive-only those of the adaptive window and the plateaus mode; --deep-only those of
10-bit input; --plateaus-only that of the bands x264 makes; --delivery-only what
survives an 8-bit x264 encode).
"""
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

import banding

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BITGRADE = os.path.join(ROOT, "build", "default", "bitgrade")
WORK = os.path.join(ROOT, "build", "report")
OUT_DIR = os.path.join(ROOT, "report")


def run(command, stdin=None, stdout=subprocess.DEVNULL):
    return subprocess.run(command, shell=True, check=True, input=stdin, stdout=stdout, stderr=subprocess.PIPE)


# ---------------------------------------------------------------- speed

def timed(command, runs):
    """Median wall time of whole runs of a shell command, in seconds."""
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        run(command)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def gradient_file(name, noise, frames, size="1920x1080"):
    """A moving gradient, with grain (every window busy) or clean (every window smoothed)."""
    path = os.path.join(WORK, name)
    if not os.path.exists(path):
        grain = ",noise=alls=2:allf=t" if noise else ""
        run(f"ffmpeg -v error -y -f lavfi -i 'gradients=s={size}:speed=0.02:r=25{grain}' "
            f"-frames:v {frames} -f yuv4mpegpipe -pix_fmt yuv420p {path}")
    return path


BENCH = os.path.join(ROOT, "build", "default", "bench", "bitgrade_bench")


def in_process(source):
    """Milliseconds a frame of `source` takes in process, level 3 with the defaults (bitgrade_bench)."""
    out = subprocess.run([BENCH, "--benchmark_filter=FileFrames", "--benchmark_min_time=1",
                          "--benchmark_format=json"], check=True, capture_output=True, text=True,
                         env=dict(os.environ, BITGRADE_BENCH_Y4M=source)).stdout
    bench = json.loads(out)["benchmarks"][0]
    return bench["real_time"] / 1000 if bench["time_unit"] == "us" else bench["real_time"]


def speed(frames=200, runs=9):
    source = gradient_file(f"speed_input_{frames}.y4m", True, frames)
    clean = gradient_file(f"speed_input_clean_{frames}.y4m", False, frames)
    ff = "ffmpeg -v error -threads 1 -filter_threads 1 -i "
    one, two = f"{BITGRADE} --quiet --threads 1", f"{BITGRADE} --quiet --threads 2"
    avx2 = "avx2" in open("/proc/cpuinfo").read()
    isa = "AVX2" if avx2 else "SSE4.1"
    rows = [
        ("bitgrade level 1 (plain), 1 thread", f"{one} --sseopt 1 {source} > /dev/null", 1),
        ("bitgrade level 2 (streaming), 1 thread", f"{one} --sseopt 2 {source} > /dev/null", runs),
        ("bitgrade level 3 (vector) SSE4.1, 1 thread", f"{one} --sseopt 3 --cpu sse41 {source} > /dev/null", runs),
    ]
    if avx2:
        rows.append(("bitgrade level 3 (vector) AVX2, 1 thread", f"{one} --sseopt 3 --cpu avx2 {source} > /dev/null",
                     runs))
    best = rows[-1][0]
    rows += [
        (f"bitgrade level 3 {isa}, 2 threads", f"{two} --sseopt 3 {source} > /dev/null", runs),
        (f"pipe in and out: cat, bitgrade level 3 {isa} on 1 thread, cat",
         f"cat {source} | {one} --sseopt 3 | cat > /dev/null", runs),
        (f"pipe in and out: cat, bitgrade level 3 {isa} on 2 threads, cat",
         f"cat {source} | {two} --sseopt 3 | cat > /dev/null", runs),
        ("ffmpeg gradfun (8-bit), 1 thread", f"{ff}{source} -vf gradfun -f null -", runs),
        ("ffmpeg deband on 16-bit, 1 thread", f"{ff}{source} -vf format=yuv420p16le,deband -f null -", runs),
        (f"clean gradient: bitgrade level 3 {isa}, 1 thread", f"{one} --sseopt 3 {clean} > /dev/null", runs),
        (f"bitgrade level 3 {isa} --span 3 --max-span 24, 1 thread",
         f"{one} --span 3 --max-span 24 {source} > /dev/null", runs),
        (f"clean gradient: bitgrade level 3 {isa} --span 3 --max-span 24, 1 thread",
         f"{one} --span 3 --max-span 24 {clean} > /dev/null", runs),
        (f"bitgrade level 3 {isa} --span 4 --max-span 40, 1 thread",
         f"{one} --span 4 --max-span 40 {source} > /dev/null", runs),
        (f"bitgrade level 3 {isa} --span 4 --plateaus, 1 thread", f"{one} --span 4 --plateaus {source} > /dev/null",
         runs),
        (f"bitgrade level 3 {isa} --span 4 --max-span 40 --plateaus, 1 thread",
         f"{one} --span 4 --max-span 40 --plateaus {source} > /dev/null", runs),
        (f"clean gradient: bitgrade level 3 {isa} --span 4 --max-span 40 --plateaus, 1 thread",
         f"{one} --span 4 --max-span 40 --plateaus {clean} > /dev/null", runs),
        ("clean gradient: ffmpeg gradfun (8-bit), 1 thread", f"{ff}{clean} -vf gradfun -f null -", runs),
        ("floor: bitgrade --unfiltered (read, write 16-bit), 1 thread", f"{one} --unfiltered {source} > /dev/null",
         runs),
        ("cat of the same file (reading alone)", f"cat {source} > /dev/null", runs),
        ("cat into cat of the same file (a pipe alone)", f"cat {source} | cat > /dev/null", runs),
    ]
    # Whole runs, reading included: each program reads the file its own way.
    # The rows take turns, so that a machine whose speed drifts treats them
    # alike; so does the in-process time of the same frames.
    times = {name: [] for name, _, _ in rows}
    process = []
    for turn in range(runs):
        process.append(in_process(source))
        for name, cmd, n in rows:
            if turn < n:
                times[name].append(timed(cmd, 1))
    results = [(name, statistics.median(times[name]) * 1000 / frames) for name, _, _ in rows]
    inproc = statistics.median(process)
    results.insert([name for name, _ in results].index(best) + 1,
                   (f"in process: bitgrade level 3 {isa}, the same frames one after another", inproc))
    ms = dict(results)
    level3 = ms[best]
    floor = ms["floor: bitgrade --unfiltered (read, write 16-bit), 1 thread"]
    cat = ms["cat of the same file (reading alone)"]
    lines = [f"1920x1080 4:2:0, {frames} frames from a file to /dev/null unless piped, whole process, median of {runs} "
             f"runs taken in turns (level 1: one run). Machine: {machine()}. The file is a moving gradient with "
             "grain, which leaves every window too busy to smooth; the clean gradient rows use the same gradient "
             "without grain, where almost every window is smoothed.", "",
             "| what | ms per frame | × level 3 | × floor |", "|---|---:|---:|---:|"]
    lines += [f"| {name} | {t:.2f} | {t / level3:.2f} | {t / floor:.2f} |" for name, t in results]
    p1, p2 = (ms[f"pipe in and out: cat, bitgrade level 3 {isa} on {t}, cat"] for t in ("1 thread", "2 threads"))
    t2 = ms[f"bitgrade level 3 {isa}, 2 threads"]
    checks = [
        ("1 thread, file in, /dev/null out, against in process + cat", level3 / (inproc + cat), "≤ 1.2"),
        ("frame rate of 2 threads against 1", level3 / t2, "≥ 1.8"),
        ("pipe in and out against file in, /dev/null out, 1 thread", p1 / level3, "≤ 1.3"),
        ("pipe in and out against file in, /dev/null out, 2 threads", p2 / t2, "≤ 1.3"),
        ("--unfiltered against cat", floor / cat, "≤ 1.5"),
        ("--span 3 --max-span 24 against the default span 3, 1 thread",
         ms[f"bitgrade level 3 {isa} --span 3 --max-span 24, 1 thread"] / level3, "≤ 3"),
        ("the same on the clean gradient",
         ms[f"clean gradient: bitgrade level 3 {isa} --span 3 --max-span 24, 1 thread"] /
         ms[f"clean gradient: bitgrade level 3 {isa}, 1 thread"], "≤ 3"),
        ("--span 4 --max-span 40 --plateaus against the default span 3, 1 thread",
         ms[f"bitgrade level 3 {isa} --span 4 --max-span 40 --plateaus, 1 thread"] / level3, "≤ 3.5"),
        ("the same on the clean gradient",
         ms[f"clean gradient: bitgrade level 3 {isa} --span 4 --max-span 40 --plateaus, 1 thread"] /
         ms[f"clean gradient: bitgrade level 3 {isa}, 1 thread"], "≤ 3.5"),
    ]
    lines += ["", "The command against its floors:", "", "| ratio | measured | target |", "|---|---:|---:|"]
    lines += [f"| {name} | {value:.2f} | {target} |" for name, value, target in checks]
    return "\n".join(lines)


# Common widths that are no multiple of 16, each beside the nearest that is,
# at the same height, so that the process's fixed costs cancel.
WIDTH_PAIRS = [((1366, 768), (1360, 768)), ((854, 480), (848, 480)), ((1080, 1920), (1088, 1920)),
               ((1912, 1080), (1920, 1080))]


def bench_frames(isa_flag):
    """Milliseconds per megapixel of level 3 in process at every size of WIDTH_PAIRS (bitgrade_bench), the median
    of five repetitions."""
    out = subprocess.run([BENCH, f"--benchmark_filter=Frame/level:3/avx2:{isa_flag}/", "--benchmark_min_time=0.3",
                          "--benchmark_repetitions=5", "--benchmark_report_aggregates_only=true",
                          "--benchmark_format=json"], check=True, capture_output=True, text=True).stdout
    result = {}
    for bench in json.loads(out)["benchmarks"]:
        if bench.get("aggregate_name") != "median":
            continue
        fields = dict(part.split(":") for part in bench["run_name"].split("/")[1:] if ":" in part)
        result[(int(fields["width"]), int(fields["height"]))] = bench["ms/MP"]
    return result


def widths(frames=100, runs=9):
    """Level 3 at widths that are no multiple of 16 against their neighbours: whole runs and in process."""
    sizes = [size for pair in WIDTH_PAIRS for size in pair]
    files = {(w, h): gradient_file(f"widths_{w}x{h}_{frames}.y4m", True, frames, f"{w}x{h}") for w, h in sizes}
    one = f"{BITGRADE} --quiet --threads 1"
    times = {size: [] for size in sizes}
    for _ in range(runs):
        for size in sizes:
            times[size].append(timed(f"{one} {files[size]} > /dev/null", 1))
    whole = {(w, h): statistics.median(times[(w, h)]) * 1000 / frames / (w * h / 1e6) for w, h in sizes}
    avx2 = "avx2" in open("/proc/cpuinfo").read()
    columns = [("whole process", whole), ("in process, SSE4.1", bench_frames(0))]
    if avx2:
        columns.append(("in process, AVX2", bench_frames(1)))
    lines = [f"Level 3 at widths that are no multiple of 16, each beside the nearest width that is, at the same "
             f"height: ms per megapixel, one thread, a gradient with grain ({frames} frames, whole runs: median of "
             f"{runs} taken in turns, with the default converter; in process: bitgrade_bench). Machine: "
             f"{machine()}.", "",
             "| size | " + " | ".join(f"{name} | neighbour | ratio" for name, _ in columns) + " |",
             "|---|" + "---:|---:|---:|" * len(columns)]
    for size, neighbour in WIDTH_PAIRS:
        cells = []
        for _, figures in columns:
            a, b = figures.get(size), figures.get(neighbour)
            cells.append(f"{a:.2f} | {b:.2f} | {a / b:.2f}" if a and b else "– | – | –")
        lines.append(f"| {size[0]}×{size[1]} beside {neighbour[0]}×{neighbour[1]} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def machine():
    """The processor as /proc/cpuinfo names it, with what tells its generation apart: a name such as
    'AMD EPYC' covers cores whose vector units differ by a factor of two."""
    info = {}
    with open("/proc/cpuinfo") as f:
        for line in f:
            key, _, value = line.partition(":")
            info.setdefault(key.strip(), value.strip())
    flags = info.get("flags", "").split()
    vectors = ", ".join(name for flag, name in (("avx2", "AVX2"), ("avx512f", "AVX-512")) if flag in flags)
    return (f"{info.get('model name', 'unknown processor')} (family {info.get('cpu family', '?')} "
            f"model {info.get('model', '?')}, {vectors or 'SSE only'}), {os.cpu_count()} cores")


# ---------------------------------------------------------------- quality

W, H = 640, 360


def pictures():
    """Smooth 16-bit ground truths (0..65280, 8-bit level L is L*256), each
    with sharp objects in it, and the mask of the pixels next to their edges."""
    y, x = np.mgrid[0:H, 0:W].astype(np.float64)
    cx, cy = W / 2, H / 2
    smooth = {
        "shallow ramp (8 levels)": 60 + 8 * x / W,
        "ramp (40 levels)": 40 + 40 * x / W,
        "diagonal ramp": 70 + 30 * (x + y) / (W + H),
        "vignette": 110 - 40 * ((x - cx) ** 2 + (y - cy) ** 2) / (cx ** 2 + cy ** 2),
        "slow wave": 100 + 10 * np.sin(x / W * 2 * np.pi) + 6 * np.cos(y / H * 3 * np.pi),
    }
    objects = np.zeros((H, W), bool)
    objects[60:120, 80:200] = True                                   # a block
    objects[((x - 470) ** 2 + (y - 220) ** 2) < 60 ** 2] = True       # a disc
    objects[250:330, 300:304] = True                                  # a thin bar
    edge = np.zeros_like(objects)
    for dy in (-1, 0, 1):
        for dx in (-1, 0, 1):
            edge |= np.roll(np.roll(objects, dy, 0), dx, 1) != objects
    result = []
    for name, levels in smooth.items():
        truth = levels * 256
        truth[objects] = 220 * 256
        result.append((name, np.clip(truth, 0, 65280), edge))
    return result


def quantise(truth):
    return np.clip(np.round(truth / 256), 0, 255).astype(np.uint8)


def bitgrade(luma8, span):
    header = f"YUV4MPEG2 W{W} H{H} F25:1 Ip A1:1 C420jpeg\n".encode()
    chroma = np.full(W * H // 2, 128, np.uint8).tobytes()
    data = run(f"{BITGRADE} --quiet --span {span}", header + b"FRAME\n" + luma8.tobytes() + chroma,
               subprocess.PIPE).stdout
    start = data.index(b"FRAME\n") + 6
    return np.frombuffer(data[start:start + W * H * 2], "<u2").reshape(H, W).astype(np.float64)


def deband16(luma8):
    frame = np.concatenate([luma8.astype("<u2").ravel() * 256, np.full(W * H // 2, 128 * 256, "<u2")])
    data = run(f"ffmpeg -v error -f rawvideo -pix_fmt yuv420p16le -s {W}x{H} -i - -vf deband "
               f"-f rawvideo -pix_fmt yuv420p16le -", frame.tobytes(), subprocess.PIPE).stdout
    return np.frombuffer(data[:W * H * 2], "<u2").reshape(H, W).astype(np.float64)


def psnr(a, truth, mask=None):
    diff = (a - truth) if mask is None else (a - truth)[mask]
    mse = np.mean(diff ** 2)
    return float("inf") if mse == 0 else 10 * np.log10(65535.0 ** 2 / mse)


def quality():
    spans = [1, 3, 6, 8]
    methods = ["8-bit shifted"] + [f"bitgrade span {s}" for s in spans] + ["ffmpeg deband (16-bit)"]
    whole = ["| picture | " + " | ".join(methods) + " |", "|---" * (len(methods) + 1) + "|"]
    edges = list(whole)
    profile = None
    for name, truth, edge in pictures():
        luma8 = quantise(truth)
        outputs = [luma8.astype(np.float64) * 256] + [bitgrade(luma8, s) for s in spans] + [deband16(luma8)]
        whole.append(f"| {name} | " + " | ".join(f"{psnr(o, truth):.2f}" for o in outputs) + " |")
        edges.append(f"| {name} | " + " | ".join(f"{psnr(o, truth, edge):.2f}" for o in outputs) + " |")
        if name.startswith("ramp"):
            profile = (name, truth, outputs)
    plot(*profile)
    return ("16-bit PSNR (dB) against the ground truth, whole picture (luma):\n\n" + "\n".join(whole) +
            "\n\nThe same on the pixels next to the sharp objects' edges, where debanding must not do worse "
            "than the plain shift:\n\n" + "\n".join(edges))


def plot(name, truth, outputs):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    row, xs = 180, slice(0, 200)
    fig, ax = plt.subplots(figsize=(10, 4.2), dpi=100)
    x = np.arange(W)[xs]
    ax.plot(x, truth[row, xs] / 256, color="black", lw=2.2, label="16-bit truth")
    ax.step(x, outputs[0][row, xs] / 256, where="mid", color="tab:gray", lw=1, label="8-bit (shifted)")
    ax.plot(x, outputs[2][row, xs] / 256, color="tab:blue", lw=1.4, label="bitgrade, span 3")
    ax.plot(x, outputs[3][row, xs] / 256, color="tab:green", lw=1.4, label="bitgrade, span 6")
    ax.plot(x, outputs[-1][row, xs] / 256, color="tab:orange", lw=1.2, ls="--", label="ffmpeg deband (16-bit)")
    ax.set_xlabel(f"column (row {row} of '{name}')")
    ax.set_ylabel("level (8-bit units)")
    ax.legend(loc="upper left")
    ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(os.path.join(OUT_DIR, "profile.png"))


def main():
    os.makedirs(WORK, exist_ok=True)
    # The report's sections in order; a named one runs alone with --NAME-only.
    timings = [("speed", speed), ("widths", widths)]
    tables = [(None, quality),
              (None, lambda: banding.section(ROOT, WORK, BITGRADE, run, OUT_DIR)),
              ("depth", lambda: banding.depth_section(ROOT, WORK, BITGRADE, run)),
              ("adaptive", lambda: banding.adaptive_section(ROOT, WORK, BITGRADE, run, OUT_DIR)),
              ("deep", lambda: banding.deep_section(ROOT, WORK, BITGRADE, run)),
              ("plateaus", lambda: banding.plateau_section(ROOT, WORK, BITGRADE, run, OUT_DIR)),
              ("delivery", lambda: banding.delivery_section(ROOT, WORK, BITGRADE, run))]
    for name, make in timings + tables:
        if name and f"--{name}-only" in sys.argv:
            print(make())
            return
    chosen = tables if "--quality-only" in sys.argv else timings + tables
    text = "\n\n".join(make() for _, make in chosen) + "\n"
    with open(os.path.join(OUT_DIR, "results.md"), "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
