"""Banding as the field measures it: CAMBI (libvmaf's Contrast Aware
Multiscale Banding Index; 0 is none, about 5 starts to annoy) of clips made
here at 16 bits and quantised to 8, through bitgrade at several spans and
its peers, with the 16-bit truth beside them.

CAMBI works at 10 bits. 16-bit outputs go in at 10 bits two ways: rounded,
and through ffmpeg's own conversion (-pix_fmt yuv420p10le), which dithers
with an ordered 8x8 matrix. 8-bit outputs go in as they are (CAMBI first
applies its anti-dither filter to 8-bit input) and shifted to 10 bits.
"""
import json
import os
import subprocess

import numpy as np

W, H, FRAMES = 1280, 720, 2
SPANS = [3, 6, 8, 12]

def clips():
    """(name, planes of each frame as 16-bit truth (8-bit level L is L * 256), mask of pixels next to sharp
    edges): a vignette, the same with light grain, a dark gradient with sharp objects, a sky whose chroma
    changes too. Deterministic."""
    y, x = np.mgrid[0:H, 0:W].astype(np.float64)
    cy, cx = np.mgrid[0:H // 2, 0:W // 2].astype(np.float64)
    r2 = ((x - W / 2) ** 2 + (y - H / 2) ** 2) / ((W / 2) ** 2 + (H / 2) ** 2)
    flat = np.full((H // 2, W // 2), 128.0)
    rng = np.random.default_rng(7)
    objects = np.zeros((H, W), bool)
    objects[200:330, 160:420] = True
    objects[((x - 900) ** 2 + (y - 420) ** 2) < 110 ** 2] = True
    objects[480:640, 600:608] = True
    edge = np.zeros_like(objects)
    for dy in (-1, 0, 1):
        for dx in (-1, 0, 1):
            edge |= np.roll(np.roll(objects, dy, 0), dx, 1) != objects
    dark = 17 + 16 * x / W
    dark[objects] = 200
    made = [
        ("vignette", lambda f: (110 - 40 * r2, flat, flat)),
        ("vignette with grain", lambda f: (110 - 40 * r2 + rng.normal(0, 0.3, (H, W)), flat, flat)),
        ("dark gradient with objects", lambda f: (dark, flat, flat)),
        ("sky (luma and chroma)", lambda f: (150 - 50 * y / H, 150 - 12 * cy / (H / 2), 110 + 10 * cx / (W / 2))),
    ]
    result = []
    for name, planes in made:
        frames = [[np.clip(p * 256, 0, 65280) for p in planes(f)] for f in range(FRAMES)]
        result.append((name, frames, edge if name.startswith("dark") else None))
    return result


# Moving clips pan this many pixels a frame (chroma half as far) for this many frames, so that the encoder
# predicts most blocks from the frame before, as it does in real video.
PAN_FRAMES, PAN_STEP = 12, 3


def blurred_noise(rng, shape, sigma):
    """White noise low-passed by a Gaussian of `sigma` pixels (through the FFT), at unit RMS."""
    noise = rng.normal(0, 1, shape)
    fy, fx = np.fft.fftfreq(shape[0])[:, None], np.fft.rfftfreq(shape[1])[None, :]
    gain = np.exp(-2 * (np.pi * sigma) ** 2 * (fx ** 2 + fy ** 2))
    out = np.fft.irfft2(np.fft.rfft2(noise) * gain, s=shape)
    return out / out.std()


def textured_scene():
    """A dim scene of uneven light with fine texture (about 0.5 of an 8-bit code) and grain (0.3), two bright
    textured objects, and chroma that drifts slowly, panning PAN_STEP pixels a frame for PAN_FRAMES frames: the
    smooth, slightly noisy content in which an encoder leaves plateaus. 16-bit planes of each frame, as
    clips() gives them. Deterministic."""
    rng = np.random.default_rng(11)
    wide = W + PAN_STEP * PAN_FRAMES
    y, x = np.mgrid[0:H, 0:wide].astype(np.float64)
    light = 40 + 50 * y / H + 12 * blurred_noise(rng, (H, wide), 120)
    texture = 0.5 * (0.8 * blurred_noise(rng, (H, wide), 1.5) + 0.6 * blurred_noise(rng, (H, wide), 6))
    luma = light + texture + rng.normal(0, 0.3, (H, wide))
    objects = (((x - 900) ** 2 + (y - 420) ** 2) < 110 ** 2) | ((y > 200) & (y < 330) & (x > 160) & (x < 420))
    luma[objects] = 170 + 3 * texture[objects]
    cy = np.mgrid[0:H // 2, 0:wide // 2][0].astype(np.float64)
    u = 128 + 4 * blurred_noise(rng, (H // 2, wide // 2), 60)
    v = 126.5 + 3 * cy / (H / 2)
    frames = []
    for k in range(PAN_FRAMES):
        at, half = PAN_STEP * k, PAN_STEP * k // 2
        planes = (luma[:, at:at + W], u[:, half:half + W // 2], v[:, half:half + W // 2])
        frames.append([np.clip(p * 256, 0, 65280) for p in planes])
    return frames


def y4m(frames, bits, colour):
    """A YUV4MPEG2 stream of `frames`, three planes each, as integers of `bits`."""
    head = f"YUV4MPEG2 W{W} H{H} F25:1 Ip A1:1 {colour}\n".encode()
    dtype = np.uint8 if bits == 8 else np.dtype("<u2")
    return head + b"".join(b"FRAME\n" + b"".join(np.asarray(p).astype(dtype).tobytes() for p in f) for f in frames)


def raw_frames(raw, bits):
    """Planes of each frame of raw 4:2:0 video of 8- or 16-bit samples, as floats."""
    samples = np.frombuffer(raw, np.uint8 if bits == 8 else np.dtype("<u2")).astype(np.float64)
    size, frames = W * H * 3 // 2, []
    for at in range(0, len(samples) - size + 1, size):
        s = samples[at:at + size]
        frames.append([s[:W * H].reshape(H, W), s[W * H:W * H * 5 // 4].reshape(H // 2, W // 2),
                       s[W * H * 5 // 4:].reshape(H // 2, W // 2)])
    return frames


def y4m_frames(data, bits):
    """The frames of a YUV4MPEG2 stream of 8- or 16-bit samples."""
    size = W * H * 3 // 2 * (1 if bits == 8 else 2)
    raw, at = [], data.index(b"\n") + 1
    while at < len(data):
        at = data.index(b"\n", at) + 1  # past the FRAME line
        raw.append(data[at:at + size])
        at += size
    return raw_frames(b"".join(raw), bits)


def quantised(frames16):
    """16-bit planes rounded to 8 bits, as the clips' 8-bit sources are made."""
    return [[np.clip(np.round(p / 256), 0, 255) for p in f] for f in frames16]


def deband16(stream, run):
    """ffmpeg's deband of a YUV4MPEG2 stream, at 16 bits."""
    return raw_frames(run("ffmpeg -v error -f yuv4mpegpipe -i - -vf format=yuv420p16le,deband "
                          "-f rawvideo -pix_fmt yuv420p16le -", stream, subprocess.PIPE).stdout, 16)


def rounded10(frames16):
    """16-bit planes rounded to 10 bits."""
    return [[np.clip(np.floor((p + 32) / 64), 0, 1023) for p in f] for f in frames16]


def ffmpeg10(frames16, run):
    """16-bit planes through ffmpeg's conversion to 10 bits, which dithers."""
    raw = b"".join(np.asarray(p).astype("<u2").tobytes() for f in frames16 for p in f)
    out = run(f"ffmpeg -v error -f rawvideo -pix_fmt yuv420p16le -s {W}x{H} -i - -f rawvideo -pix_fmt yuv420p10le -",
              raw, subprocess.PIPE).stdout
    return raw_frames(out, 16)


class Cambi:
    """CAMBI through libvmaf's `vmaf` command, built on first use into build/vmaf."""

    def __init__(self, root, work):
        self.work = work
        shared = os.path.join(os.path.dirname(root), "shared", "vmaf", "build.sh")
        self.vmaf = os.path.join(root, "build", "vmaf", "bin", "vmaf")
        if not os.path.exists(self.vmaf):
            subprocess.run(["bash", shared, os.path.join(root, "build", "vmaf")], check=True)

    def __call__(self, stream, name):
        """The mean CAMBI over the frames of a YUV4MPEG2 stream of 8 or 10 bits."""
        path = os.path.join(self.work, name + ".y4m")
        with open(path, "wb") as f:
            f.write(stream)
        out = path + ".json"
        subprocess.run([self.vmaf, "-r", path, "-d", path, "--no_prediction", "--feature", "cambi", "--json", "-o",
                        out, "-q"], check=True, stdout=subprocess.DEVNULL)
        with open(out) as f:
            return json.load(f)["pooled_metrics"]["cambi"]["mean"]


# libplacebo's deband (the filter behind VapourSynth's placebo.Deband) through ffmpeg on a CPU Vulkan device
# (Mesa's lavapipe). Its YUV path goes through RGB and resamples chroma, so each plane goes in as a grey frame
# of its own at full range, as the VapourSynth wrapper hands planes over, and comes out at 16 bits.
PLACEBO = {"placebo.Deband, defaults": "deband=1", "placebo.Deband, grain 0": "deband=1:deband_grain=0"}


def placebo_plane(plane, bits, options, run):
    """One plane of `bits` (8, or 16-bit words) through libplacebo; 16-bit out, where 8-bit v is 257 v."""
    h, w = plane.shape
    fmt = "gray" if bits == 8 else "gray16le"
    data = np.asarray(plane).astype(np.uint8 if bits == 8 else "<u2").tobytes()
    out = run(f"ffmpeg -v error -init_hw_device vulkan=vk:0 -filter_hw_device vk -f rawvideo -pix_fmt {fmt} "
              f"-s {w}x{h} -i - -vf 'setparams=range=pc,hwupload,libplacebo={options}:format=gray16le,"
              f"hwdownload,format=gray16le' -f rawvideo -", data, subprocess.PIPE).stdout
    return np.frombuffer(out, "<u2").astype(np.float64).reshape(h, w)


def check_placebo_passes_through(run):
    """With deband=0, libplacebo must hand a plane back exactly (v to 257 v), or its figures mean nothing."""
    plane = np.arange(64 * 32).reshape(32, 64) % 256
    if not np.array_equal(placebo_plane(plane, 8, "deband=0", run), plane * 257):
        raise RuntimeError("libplacebo with deband=0 does not pass a plane through (v -> 257 v)")


def placebo(frames, bits, options, run):
    """Frames of `bits` through libplacebo plane by plane, as 16-bit planes where level L of 8 bits is 256 L."""
    scale = 256 / 257 if bits == 8 else 1.0
    return [[placebo_plane(p, bits, options, run) * scale for p in f] for f in frames]


def psnr(frames, truth, mask=None):
    """Luma PSNR over the whole picture, or where `mask` (one for every frame, or a list of one per frame) holds."""
    masks = mask if isinstance(mask, list) else [mask] * len(frames)
    diff = np.concatenate([((a[0] - t[0]) if m is None else (a[0] - t[0])[m]).ravel()
                           for a, t, m in zip(frames, truth, masks)])
    mse = np.mean(diff ** 2)
    return float("inf") if mse == 0 else 10 * np.log10(65535.0 ** 2 / mse)


def section(root, work, bitgrade, run, out_dir):
    """The report's CAMBI tables, and the picture of CAMBI against span."""
    cambi = Cambi(root, work)
    methods = (["8-bit source"] + [f"bitgrade span {s}" for s in SPANS] +
               ["gradfun (8-bit)", "gradfun strong (8-bit)", "deband at 16 bits"] + list(PLACEBO) + ["16-bit truth"])
    rows, plotted = {}, {}
    check_placebo_passes_through(run)
    for name, truth, edge in clips():
        key = name.split()[0]
        source8 = quantised(truth)
        stream8 = y4m(source8, 8, "C420jpeg")
        outputs16 = {}
        for span in SPANS:
            out = run(f"{bitgrade} --quiet --span {span}", stream8, subprocess.PIPE).stdout
            outputs16[f"bitgrade span {span}"] = y4m_frames(out, 16)
        outputs16["deband at 16 bits"] = deband16(stream8, run)
        for label, options in PLACEBO.items():
            outputs16[label] = placebo(source8, 8, options, run)
        outputs16["16-bit truth"] = truth
        outputs8 = {"8-bit source": source8}
        for label, options in (("gradfun (8-bit)", "gradfun"), ("gradfun strong (8-bit)", "gradfun=3:32")):
            out = run(f"ffmpeg -v error -f yuv4mpegpipe -i - -vf {options} -f rawvideo -pix_fmt yuv420p -", stream8,
                      subprocess.PIPE).stdout
            outputs8[label] = raw_frames(out, 8)
        row = {}
        for method in methods:
            tag = f"{key}-{method.replace(' ', '_')}"
            if method in outputs16:
                frames = outputs16[method]
                rounded = cambi(y4m(rounded10(frames), 10, "C420p10"), tag + "-rounded")
                dithered = cambi(y4m(ffmpeg10(frames, run), 10, "C420p10"), tag + "-dithered")
                row[method] = (rounded, dithered, psnr(frames, truth), psnr(frames, truth, edge) if edge is not None
                               else None)
            else:
                frames = outputs8[method]
                at8 = cambi(y4m(frames, 8, "C420jpeg"), tag + "-8bit")
                shifted = cambi(y4m([[p * 4 for p in f] for f in frames], 10, "C420p10"), tag + "-shifted")
                as16 = [[p * 256 for p in f] for f in frames]
                row[method] = (at8, shifted, psnr(as16, truth), psnr(as16, truth, edge) if edge is not None else None)
        rows[name] = row
        plotted[name] = row
    plot(plotted, os.path.join(out_dir, "cambi.png"))
    return table(rows, methods)


def table(rows, methods):
    lines = [f"CAMBI at 10 bits (mean of {FRAMES} frames of {W}x{H}; lower is less visible banding, about 5 "
             "starts to annoy). 16-bit outputs: rounded to 10 bits / converted to 10 bits by ffmpeg "
             "(-pix_fmt yuv420p10le, an ordered dither). 8-bit outputs: as they are at 8 bits (CAMBI's anti-dither "
             "filter first) / shifted to 10 bits.", "",
             "| clip | " + " | ".join(methods) + " |", "|---" * (len(methods) + 1) + "|"]
    for name, row in rows.items():
        lines.append(f"| {name} | " + " | ".join(f"{row[m][0]:.2f} / {row[m][1]:.2f}" for m in methods) + " |")
    lines += ["", "PSNR (dB, luma) against the 16-bit truth, whole picture, and next to the sharp objects' edges "
              "where the clip has them:", "",
              "| clip | " + " | ".join(methods) + " |", "|---" * (len(methods) + 1) + "|"]
    for name, row in rows.items():
        cells = [f"{row[m][2]:.2f}" + (f" / {row[m][3]:.2f}" if row[m][3] is not None else "") for m in methods]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    lines += ["", "![CAMBI against span, converted to 10 bits by ffmpeg or rounded, with the peers as lines]"
              "(cambi.png)"]
    return "\n".join(lines)


def plot(rows, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, axes = plt.subplots(1, len(rows), figsize=(4 * len(rows), 3.8), dpi=100, sharey=True)
    for ax, (name, row) in zip(axes, rows.items()):
        ax.plot(SPANS, [row[f"bitgrade span {s}"][1] for s in SPANS], "o-", color="tab:blue",
                label="bitgrade, ffmpeg's 10 bits")
        ax.plot(SPANS, [row[f"bitgrade span {s}"][0] for s in SPANS], "o--", color="tab:blue", alpha=0.5,
                label="bitgrade, rounded")
        for method, colour in (("8-bit source", "tab:gray"), ("gradfun (8-bit)", "tab:orange"),
                               ("gradfun strong (8-bit)", "tab:red"), ("deband at 16 bits", "tab:green"),
                               ("placebo.Deband, defaults", "tab:purple"), ("placebo.Deband, grain 0", "tab:pink"),
                               ("16-bit truth", "black")):
            value = row[method][1]
            ax.axhline(value, color=colour, lw=1, ls=":" if method.startswith("8") else "-", label=method)
        ax.set_title(name, fontsize=10)
        ax.set_xlabel("span")
        ax.set_xticks(SPANS)
        ax.grid(alpha=0.3)
    axes[0].set_ylabel("CAMBI at 10 bits")
    axes[-1].legend(fontsize=7, loc="upper right")
    fig.tight_layout()
    fig.savefig(path)


# ---------------------------------------------------------------- depth and encodes

DEPTH_SPAN = 12

# Real encodes: (label, bits the encoder takes, command from a YUV4MPEG2 stream on standard input to `out`).
ENCODERS = [
    ("x265 10-bit, CRF 18", 10, "x265 --log-level error --y4m --input - --preset fast --crf 18 --output-depth 10 "
                                "-o {out}.hevc", "hevc"),
    ("x265 10-bit, CRF 24", 10, "x265 --log-level error --y4m --input - --preset fast --crf 24 --output-depth 10 "
                                "-o {out}.hevc", "hevc"),
    ("SVT-AV1 10-bit, CRF 30", 10, "SvtAv1EncApp -i stdin --preset 8 --crf 30 -b {out}.ivf", "ivf"),
    ("x264 8-bit, CRF 18", 8, "x264 --quiet --demuxer y4m --preset fast --crf 18 -o {out}.264 -", "264"),
]


def ffmpeg_to(frames16, bits, run):
    """16-bit planes through ffmpeg's own dithered conversion to 10 or 8 bits."""
    raw = b"".join(np.asarray(p).astype("<u2").tobytes() for f in frames16 for p in f)
    fmt = "yuv420p10le" if bits == 10 else "yuv420p"
    out = run(f"ffmpeg -v error -f rawvideo -pix_fmt yuv420p16le -s {W}x{H} -i - -f rawvideo -pix_fmt {fmt} -",
              raw, subprocess.PIPE).stdout
    return raw_frames(out, 16 if bits == 10 else 8)


def stream_at(frames, bits):
    return y4m(frames, bits, "C420p10" if bits == 10 else "C420jpeg")


def encoded(stream, encoder, bits, work, name, run):
    """The frames of `stream` after an encode and a decode, at the encoder's bits."""
    _, _, command, ext = encoder
    out = os.path.join(work, name)
    run(command.format(out=out), stream)
    fmt = "yuv420p10le" if bits == 10 else "yuv420p"
    raw = run(f"ffmpeg -v error -i {out}.{ext} -f rawvideo -pix_fmt {fmt} -", None, subprocess.PIPE).stdout
    return raw_frames(raw, 16 if bits == 10 else 8)


def depth_section(root, work, bitgrade, run):
    """CAMBI of bitgrade's own 10- and 8-bit output against ffmpeg's dithered conversion of its 16-bit output,
    and of every way to the encoder after real encodes."""
    cambi = Cambi(root, work)
    inputs = ["ffmpeg's 10 bits of the 16-bit output", "--depth 10 ordered", "--depth 10 diffusion",
              "--depth 10 none", "--depth 8 ordered (at 8 bits)", "16-bit truth, ffmpeg's 10 bits"]
    sources = ["8-bit source", f"bitgrade span {DEPTH_SPAN}", "16-bit truth", "gradfun (8-bit)", "deband at 16 bits"]
    at_input, after = {}, {}
    for name, truth, _ in clips():
        key = name.split()[0]
        source8 = quantised(truth)
        stream8 = y4m(source8, 8, "C420jpeg")

        def bitgrade_at(options, bits):
            out = run(f"{bitgrade} --quiet --span {DEPTH_SPAN} {options}", stream8, subprocess.PIPE).stdout
            return y4m_frames(out, 16 if bits > 8 else 8)

        wide = bitgrade_at("", 16)
        made = {"ffmpeg's 10 bits of the 16-bit output": (ffmpeg_to(wide, 10, run), 10),
                "--depth 10 ordered": (bitgrade_at("--depth 10", 10), 10),
                "--depth 10 diffusion": (bitgrade_at("--depth 10 --dither diffusion", 10), 10),
                "--depth 10 none": (bitgrade_at("--depth 10 --dither none", 10), 10),
                "--depth 8 ordered (at 8 bits)": (bitgrade_at("--depth 8", 8), 8),
                "16-bit truth, ffmpeg's 10 bits": (ffmpeg_to(truth, 10, run), 10)}
        at_input[name] = {label: cambi(stream_at(frames, bits), f"{key}-depth-{i}")
                          for i, (label, (frames, bits)) in enumerate(made.items())}

        gradfun = raw_frames(run("ffmpeg -v error -f yuv4mpegpipe -i - -vf gradfun -f rawvideo -pix_fmt yuv420p -",
                                 stream8, subprocess.PIPE).stdout, 8)
        deband = deband16(stream8, run)
        for encoder in ENCODERS:
            label, bits = encoder[0], encoder[1]
            streams = {"8-bit source": stream8,
                       f"bitgrade span {DEPTH_SPAN}": stream_at(made["--depth 10 ordered"][0], 10) if bits == 10
                       else stream_at(made["--depth 8 ordered (at 8 bits)"][0], 8),
                       "16-bit truth": stream_at(ffmpeg_to(truth, bits, run), bits),
                       "gradfun (8-bit)": y4m(gradfun, 8, "C420jpeg"),
                       "deband at 16 bits": stream_at(ffmpeg_to(deband, bits, run), bits)}
            row = {}
            for i, source in enumerate(sources):
                tag = f"{key}-enc-{ENCODERS.index(encoder)}-{i}"
                frames = encoded(streams[source], encoder, bits, work, tag, run)
                row[source] = cambi(stream_at(frames, bits), tag)
            after[(name, label)] = row
    lines = [f"CAMBI of the encoder's input (mean of {FRAMES} frames of {W}x{H}, bitgrade at span {DEPTH_SPAN}): "
             "bitgrade's own 10 and 8 bits beside ffmpeg's dithered conversion of its 16-bit output, at 10 bits "
             "(the 8-bit output at 8 bits).", "",
             "| clip | " + " | ".join(inputs) + " |", "|---" * (len(inputs) + 1) + "|"]
    lines += [f"| {name} | " + " | ".join(f"{row[i]:.2f}" for i in inputs) + " |" for name, row in at_input.items()]
    lines += ["", "CAMBI after a real encode, decoded at the encoder's bits (x264: 8 bits). bitgrade goes in at the "
              "encoder's bits by its own --depth (ordered dither); the 16-bit truth and deband through ffmpeg's "
              "dithered conversion; the 8-bit source and gradfun as they are.", "",
              "| clip | encoder | " + " | ".join(sources) + " |", "|---" * (len(sources) + 2) + "|"]
    lines += [f"| {name} | {label} | " + " | ".join(f"{row[s]:.2f}" for s in sources) + " |"
              for (name, label), row in after.items()]
    return "\n".join(lines)


# ---------------------------------------------------------------- the adaptive window

ADAPTIVE_SPANS = [3, 6, 12, 24]
# The mode as first measured, and the setting the tables recommend.
ADAPTIVE = ["--span 3 --max-span 24", "--span 4 --max-span 40"]
# The plateaus mode, alone and over the wider adaptive window: the latter is the README's setting for 8-bit sources.
PLATEAUS = ["--span 4 --plateaus", ADAPTIVE[1] + " --plateaus"]
RECOMMENDED = PLATEAUS[1]
# Other settings tried on the way to the truth: wider top rungs, other bottom rungs, and (composed here from
# single-span runs, by the same rule as the mode) rungs closer together than halvings.
EXPLORED = ["--span 3 --max-span 48", "--span 3 --max-span 96", "--span 5 --max-span 40", "--span 6 --max-span 48"]
FINER_RUNGS = [48, 32, 24, 16, 12, 8, 6, 4, 3]


def rungs_of(options):
    """The spans of an adaptive setting, widest first, as the mode makes them."""
    words = options.split()
    span, top = int(words[words.index("--span") + 1]), int(words[words.index("--max-span") + 1])
    spans = []
    while top > span and top > 0:
        spans.append(top)
        top //= 2
    return spans + [span]


def bitgrade_run(bitgrade, run, stream8, options, bits=16):
    out = run(f"{bitgrade} --quiet {options}", stream8, subprocess.PIPE).stdout
    return y4m_frames(out, bits)


def composed(bitgrade, run, stream8, spans):
    """The adaptive rule over any rungs, widest first, from single-span runs: at each luma sample the output of the
    widest rung whose map shows it averaged, else the narrowest's; chroma as the narrowest gives it. Also the rung
    chosen (its index, len(spans) where none averaged)."""
    values = [bitgrade_run(bitgrade, run, stream8, f"--span {s}") for s in spans]
    maps = [bitgrade_run(bitgrade, run, stream8, f"--span {s} --debug", 8) for s in spans]
    frames, chosen = [], []
    for f in range(len(values[-1])):
        luma = values[-1][f][0].copy()
        rung = np.full(luma.shape, len(spans))
        for k in reversed(range(len(spans))):
            averaged = maps[k][f][0] == 0
            luma[averaged] = values[k][f][0][averaged]
            rung[averaged] = k
        frames.append([luma] + values[-1][f][1:])
        chosen.append(rung)
    return frames, chosen


def adaptive_section(root, work, bitgrade, run, out_dir):
    """CAMBI and PSNR of the adaptive window beside every single span it holds, before and after real encodes,
    the settings explored beyond it, and the picture of the rungs the recommended setting chose on the dark clip."""
    cambi = Cambi(root, work)
    singles = [f"--span {s}" for s in ADAPTIVE_SPANS]
    finer = "finer rungs " + ",".join(map(str, FINER_RUNGS))
    methods = singles + ADAPTIVE + PLATEAUS + EXPLORED + [finer, "16-bit truth"]
    encoded_methods = ["8-bit source"] + singles + ADAPTIVE + ["16-bit truth"]
    before, after, psnrs = {}, {}, {}
    for name, truth, edge in clips():
        key = name.split()[0]
        source8 = quantised(truth)
        stream8 = y4m(source8, 8, "C420jpeg")
        outputs = {m: bitgrade_run(bitgrade, run, stream8, m) for m in singles + ADAPTIVE + PLATEAUS + EXPLORED}
        outputs[finer], _ = composed(bitgrade, run, stream8, FINER_RUNGS)
        outputs["16-bit truth"] = truth
        if key == "dark":
            spans = rungs_of(ADAPTIVE[1])
            check, chosen = composed(bitgrade, run, stream8, spans)
            assert all(np.array_equal(a[0], b[0]) for a, b in zip(check, outputs[ADAPTIVE[1]])), \
                "the mode is the composition of its single spans"
            plot_rungs(source8[0][0], chosen[0], spans, os.path.join(out_dir, "adaptive.png"))
        before[name] = {m: cambi(y4m(ffmpeg10(frames, run), 10, "C420p10"), f"{key}-adaptive-{i}")
                        for i, (m, frames) in enumerate(outputs.items())}
        psnrs[name] = {m: (psnr(frames, truth), psnr(frames, truth, edge) if edge is not None else None)
                       for m, frames in outputs.items() if m != "16-bit truth"}
        for e, encoder in enumerate(ENCODERS):
            label, bits = encoder[0], encoder[1]
            row = {}
            for i, method in enumerate(encoded_methods):
                tag = f"{key}-adaptive-enc-{e}-{i}"
                if method == "8-bit source":
                    stream = stream8
                elif method == "16-bit truth":
                    stream = stream_at(ffmpeg_to(truth, bits, run), bits)
                else:
                    stream = stream_at(bitgrade_run(bitgrade, run, stream8, f"{method} --depth {bits}", bits), bits)
                frames = encoded(stream, encoder, bits, work, tag, run)
                as16 = [[p * (1 << (16 - bits)) for p in f] for f in frames]
                row[method] = (cambi(stream_at(frames, bits), tag), psnr(as16, truth))
            after[(name, label)] = row
    lines = [f"The adaptive window: CAMBI at 10 bits through ffmpeg's dithered conversion (mean of {FRAMES} frames "
             f"of {W}x{H}) of every single span that `{ADAPTIVE[0]}` holds, of it and of `{ADAPTIVE[1]}`, of the "
             "plateaus mode, and of the other settings tried (the finer rungs composed from single-span runs by the "
             "mode's own rule).", "",
             "| clip | " + " | ".join(methods) + " |", "|---" * (len(methods) + 1) + "|"]
    lines += [f"| {name} | " + " | ".join(f"{row[m]:.2f}" for m in methods) + " |" for name, row in before.items()]
    shown = methods[:-1]
    lines += ["", "PSNR (dB, luma) against the 16-bit truth, whole picture, and next to the sharp objects' edges "
              "where the clip has them:", "", "| clip | " + " | ".join(shown) + " |",
              "|---" * (len(shown) + 1) + "|"]
    for name, row in psnrs.items():
        cells = [f"{row[m][0]:.2f}" + (f" / {row[m][1]:.2f}" if row[m][1] is not None else "") for m in shown]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    lines += ["", "CAMBI / luma PSNR (dB) against the 16-bit truth after a real encode, decoded at the encoder's "
              "bits: bitgrade at the encoder's bits by its own --depth (ordered dither), the truth through ffmpeg's "
              "dithered conversion.", "",
              "| clip | encoder | " + " | ".join(encoded_methods) + " |", "|---" * (len(encoded_methods) + 2) + "|"]
    lines += [f"| {name} | {label} | " + " | ".join(f"{row[m][0]:.2f} / {row[m][1]:.2f}" for m in encoded_methods) +
              " |" for (name, label), row in after.items()]
    lines += ["", f"![The rung that `{ADAPTIVE[1]}` chose at each sample of the dark clip](adaptive.png)"]
    return "\n".join(lines)


def plot_rungs(luma8, chosen, spans, path):
    """The dark clip beside the rung chosen at each sample, one colour a rung, grey where none averaged."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import ListedColormap
    colours = ["tab:purple", "tab:blue", "tab:green", "tab:orange", "tab:red", "tab:pink"][:len(spans)] + ["0.25"]
    fig, axes = plt.subplots(1, 2, figsize=(13, 4.2), dpi=100)
    low, high = np.percentile(luma8, [0, 90])  # the gradient's levels; the objects above them show white
    axes[0].imshow(luma8, cmap="gray", vmin=low, vmax=high, interpolation="nearest")
    axes[0].set_title("dark gradient with objects (8-bit luma, its levels stretched)", fontsize=10)
    axes[1].imshow(chosen, cmap=ListedColormap(colours), vmin=-0.5, vmax=len(spans) + 0.5, interpolation="nearest")
    axes[1].set_title("rung chosen", fontsize=10)
    handles = [plt.Rectangle((0, 0), 1, 1, color=c) for c in colours]
    axes[1].legend(handles, [f"span {s}" for s in spans] + ["none: an edge"], fontsize=8, loc="lower left",
                   framealpha=0.9)
    for ax in axes:
        ax.set_xticks([])
        ax.set_yticks([])
    fig.tight_layout()
    fig.savefig(path)


# ---------------------------------------------------------------- deeper input

DEEP_ENCODER = ("x265 10-bit, CRF 28", 10, "x265 --log-level error --y4m --input - --preset fast --crf 28 "
                "--output-depth 10 -o {out}.hevc", "hevc")
DEEP_SETTINGS = ["", ADAPTIVE[1]] + PLATEAUS


def smooth_mask(truth_luma):
    """Pixels at least 3 from any place where the 16-bit truth steps by more than two 8-bit levels between
    neighbours: the smooth regions, where banding shows and debanding must not do harm."""
    step = np.zeros(truth_luma.shape, bool)
    for axis in (0, 1):
        jump = np.abs(np.diff(truth_luma, axis=axis)) > 512
        pad = [(0, 0), (0, 0)]
        pad[axis] = (0, 1)
        step |= np.pad(jump, pad)
        pad[axis] = (1, 0)
        step |= np.pad(jump, pad)
    near = step.copy()
    for dy in range(-3, 4):
        for dx in range(-3, 4):
            near |= np.roll(np.roll(step, dy, 0), dx, 1)
    return ~near


def damage(frames16, source16, truth, tolerance):
    """The share of luma samples more than `tolerance` (16-bit units) further from the truth than the source's,
    each output taken at 16 bits (a dither of its own would add up to half a code)."""
    worse = sum(int(np.count_nonzero(np.abs(o[0] - t[0]) > np.abs(s[0] - t[0]) + tolerance))
                for o, s, t in zip(frames16, source16, truth))
    return worse / sum(t[0].size for t in truth)


def deep_section(root, work, bitgrade, run):
    """10-bit input: the clips made at 16 bits (and their 8-bit quantisation) through x265 10-bit at CRF 28 and
    decoded, then debanded, against the 16-bit truth."""
    cambi = Cambi(root, work)
    check_placebo_passes_through(run)
    rows = []
    for name, truth, _ in clips():
        key = name.split()[0]
        mask = smooth_mask(truth[0][0])
        origins = [("16-bit", ffmpeg_to(truth, 10, run)),
                   ("8-bit", [[p * 4 for p in f] for f in quantised(truth)])]
        for origin, frames10 in origins:
            tag = f"{key}-deep-{origin}"
            source = encoded(stream_at(frames10, 10), DEEP_ENCODER, 10, work, tag, run)
            stream = stream_at(source, 10)
            # Each output at 10 bits (as the encoder gets it, for CAMBI) and at 16 (for its errors).
            outputs = {"decoded 10-bit source": (source, [[p * 64 for p in f] for f in source])}
            for options in DEEP_SETTINGS:
                for bits in ([""] if origin == "16-bit" else ["", " --bits 8"]):
                    label = f"bitgrade {options or 'span 3'}{bits}"
                    at10 = run(f"{bitgrade} --quiet {options}{bits} --depth 10", stream, subprocess.PIPE).stdout
                    at16 = run(f"{bitgrade} --quiet {options}{bits}", stream, subprocess.PIPE).stdout
                    outputs[label] = (y4m_frames(at10, 16), y4m_frames(at16, 16))
            deband10 = raw_frames(run(
                "ffmpeg -v error -f yuv4mpegpipe -i - -vf deband -f rawvideo -pix_fmt yuv420p10le -",
                stream, subprocess.PIPE).stdout, 16)
            outputs["deband at 10 bits"] = (deband10, [[p * 64 for p in f] for f in deband10])
            deband = deband16(stream, run)
            outputs["deband at 16 bits"] = (ffmpeg_to(deband, 10, run), deband)
            for label, options in PLACEBO.items():
                at16 = placebo([[p * 64 for p in f] for f in source], 16, options, run)
                outputs[label] = (ffmpeg_to(at16, 10, run), at16)
            for i, (label, (at10, at16)) in enumerate(outputs.items()):
                rows.append((name, origin, label, cambi(stream_at(at10, 10), f"{tag}-{i}"),
                             psnr(at16, truth), psnr(at16, truth, mask),
                             damage(at16, outputs["decoded 10-bit source"][1], truth, 32)))
    lines = [f"10-bit input: each clip (mean of {FRAMES} frames of {W}x{H}) made at 16 bits, or quantised to 8 "
             "first, given to x265 at 10 bits (CRF 28, preset fast) and decoded; then debanded. Against the 16-bit "
             "truth: CAMBI at 10 bits (bitgrade's own --depth 10, deband at 16 bits through ffmpeg's dithered "
             "conversion); at 16 bits, luma PSNR (dB) over the whole picture and over the smooth regions (pixels at "
             "least 3 from any step of more than two 8-bit levels in the truth), and damage, the share of luma "
             "samples more than half a 10-bit code further from the truth than the decoded source.",
             "", "| clip | made at | output | CAMBI | PSNR | PSNR smooth | damage |", "|---|---|---|---:|---:|---:|---:|"]
    lines += [f"| {n} | {o} | {label} | {c:.2f} | {p:.2f} | {s:.2f} | {d * 100:.2f} % |"
              for n, o, label, c, p, s, d in rows]
    return "\n".join(lines)


# ---------------------------------------------------------------- encoder-made bands

PLATEAU_ENCODER = ("x264 8-bit, CRF 23", 8, "x264 --quiet --demuxer y4m --preset fast --crf 23 -o {out}.264 -", "264")
PLATEAU_SETTINGS = [""] + ADAPTIVE + PLATEAUS

TEXTURED = "dim scene with texture (panning)"
CROP_FRAME, CROP_ROWS, CROP_COLUMNS = 5, slice(500, 596), slice(200, 328)
CROPPED = ["decoded 8-bit source", f"bitgrade {ADAPTIVE[1]}"] + [f"bitgrade {p}" for p in PLATEAUS] + [
    "placebo.Deband, grain 0", "deband at 16 bits"]


def plateau_section(root, work, bitgrade, run, out_dir):
    """Bands an encoder makes: each clip, and a textured scene that pans, quantised to 8 bits, through x264 at
    CRF 23 and decoded, then debanded; against the 16-bit truth. Draws magnified crops of the textured scene."""
    cambi = Cambi(root, work)
    check_placebo_passes_through(run)
    rows = []
    for name, truth in [(name, truth) for name, truth, _ in clips()] + [(TEXTURED, textured_scene())]:
        key = name.split()[0]
        mask = [smooth_mask(t[0]) for t in truth]  # the scene moves
        source8 = quantised(truth)
        tag = f"{key}-plateau"
        decoded = encoded(y4m(source8, 8, "C420jpeg"), PLATEAU_ENCODER, 8, work, tag, run)
        stream = y4m(decoded, 8, "C420jpeg")
        source16 = [[p * 256 for p in f] for f in decoded]
        # Each output at 10 bits (for CAMBI) and at 16 (for its errors); 8-bit ones shifted.
        outputs = {"decoded 8-bit source": ([[p * 4 for p in f] for f in decoded], source16)}
        for options in PLATEAU_SETTINGS:
            at10 = run(f"{bitgrade} --quiet {options} --depth 10", stream, subprocess.PIPE).stdout
            at16 = run(f"{bitgrade} --quiet {options}", stream, subprocess.PIPE).stdout
            outputs[f"bitgrade {options or 'span 3'}"] = (y4m_frames(at10, 16), y4m_frames(at16, 16))
        gradfun = raw_frames(run("ffmpeg -v error -f yuv4mpegpipe -i - -vf gradfun -f rawvideo -pix_fmt yuv420p -",
                                 stream, subprocess.PIPE).stdout, 8)
        outputs["gradfun (8-bit)"] = ([[p * 4 for p in f] for f in gradfun], [[p * 256 for p in f] for f in gradfun])
        deband = deband16(stream, run)
        outputs["deband at 16 bits"] = (ffmpeg_to(deband, 10, run), deband)
        for label, options in PLACEBO.items():
            at16 = placebo(decoded, 8, options, run)
            outputs[label] = (ffmpeg_to(at16, 10, run), at16)
        for i, (label, (at10, at16)) in enumerate(outputs.items()):
            rows.append((name, label, cambi(stream_at(at10, 10), f"{tag}-{i}"), psnr(at16, truth),
                         psnr(at16, truth, mask), damage(at16, source16, truth, 128)))
        if name == TEXTURED:
            plot_crops(truth, {label: outputs[label][1] for label in CROPPED}, os.path.join(out_dir, "plateaus.png"))
    lines = [f"Encoder-made bands: each clip (mean of {FRAMES} frames of {W}x{H}; the {TEXTURED} of {PAN_FRAMES}) "
             "quantised to 8 bits, through x264 at CRF 23 (preset fast) and decoded, then debanded. Against the "
             "16-bit truth: CAMBI at 10 bits "
             "(bitgrade's own --depth 10; deband and placebo through ffmpeg's dithered conversion; 8-bit outputs "
             "shifted); at 16 bits, luma PSNR (dB) over the whole picture and the smooth regions (as in the 10-bit "
             "table), and damage, the share of luma samples more than half an 8-bit code further from the truth "
             "than the decoded source.",
             "", "| clip | output | CAMBI | PSNR | PSNR smooth | damage |", "|---|---|---:|---:|---:|---:|"]
    lines += [f"| {n} | {label} | {c:.2f} | {p:.2f} | {s:.2f} | {d * 100:.2f} % |" for n, label, c, p, s, d in rows]
    lines += ["", f"![Magnified crops of the {TEXTURED}, frame {CROP_FRAME}, and each output's error against the "
              "truth](plateaus.png)"]
    return "\n".join(lines)


def plot_crops(truth, outputs, path):
    """A crop of CROP_FRAME, magnified: the truth and each output on one grey scale, and below each output its
    difference from the truth in 8-bit codes (blue above, red below, full colour at 2 codes)."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    crop = lambda frames: frames[CROP_FRAME][0][CROP_ROWS, CROP_COLUMNS] / 256
    true = crop(truth)
    fig, axes = plt.subplots(2, len(outputs) + 1, figsize=(2.6 * (len(outputs) + 1), 4.4), dpi=100)
    grey = dict(cmap="gray", vmin=true.min() - 1, vmax=true.max() + 1, interpolation="nearest")
    axes[0, 0].imshow(true, **grey)
    axes[0, 0].set_title("16-bit truth", fontsize=8)
    for column, (label, frames) in enumerate(outputs.items(), 1):
        axes[0, column].imshow(crop(frames), **grey)
        axes[0, column].set_title(label, fontsize=8)
        errors = axes[1, column].imshow(crop(frames) - true, cmap="RdBu", vmin=-2, vmax=2, interpolation="nearest")
    for ax in axes.ravel():
        ax.axis("off")
    fig.colorbar(errors, ax=axes[1, 0], location="left", label="output - truth (8-bit codes)")
    fig.tight_layout()
    fig.savefig(path)


# ---------------------------------------------------------------- 8-bit delivery

DELIVERY_SETTING = RECOMMENDED
DELIVERY_X264 = "x264 --quiet --demuxer y4m --preset fast --crf 18 {flags} -o {out}.264 -"


def panned(frames16):
    """The first frame's planes moving PAN_STEP pixels a frame to the left (chroma half as far), wrapping."""
    first = frames16[0]
    return [[np.roll(p, -PAN_STEP * k // (1 if i == 0 else 2), axis=1) for i, p in enumerate(first)]
            for k in range(PAN_FRAMES)]


def with_noise(frames16, sigma, moving, seed=5):
    """8-bit frames from 16-bit ones with Gaussian noise of `sigma` 8-bit codes added before rounding: the same
    pattern on every frame (static) or a new one each frame (moving)."""
    rng = np.random.default_rng(seed)
    patterns = None
    out = []
    for f in frames16:
        if patterns is None or moving:
            patterns = [rng.normal(0, sigma * 256, p.shape) for p in f]
        out.append([np.clip(np.round((p + n) / 256), 0, 255) for p, n in zip(f, patterns)])
    return out


def delivery_section(root, work, bitgrade, run):
    """What survives an 8-bit x264 encode at CRF 18 of a panning clip: bitgrade's 8-bit dithers, noise added to
    its 16-bit output (static or moving, several strengths), and x264's own --aq-mode 3 and --tune grain."""
    cambi = Cambi(root, work)
    rows = []
    for name, truth, _ in clips():
        if name.startswith("vignette with"):
            continue
        key = name.split()[0]
        source8 = quantised(panned(truth))
        stream8 = y4m(source8, 8, "C420jpeg")
        wide = y4m_frames(run(f"{bitgrade} --quiet {DELIVERY_SETTING}", stream8, subprocess.PIPE).stdout, 16)

        def dithered(dither):
            out = run(f"{bitgrade} --quiet {DELIVERY_SETTING} --depth 8 --dither {dither}", stream8, subprocess.PIPE)
            return y4m_frames(out.stdout, 8)

        ordered = dithered("ordered")
        inputs = [("8-bit source", source8, ""), ("ordered dither", ordered, ""),
                  ("diffusion", dithered("diffusion"), "")]
        for sigma in (0.5, 1, 2):
            inputs.append((f"static noise, sigma {sigma}", with_noise(wide, sigma, False), ""))
            inputs.append((f"moving noise, sigma {sigma}", with_noise(wide, sigma, True), ""))
        inputs += [("ordered dither, --aq-mode 3", ordered, "--aq-mode 3"),
                   ("ordered dither, --tune grain", ordered, "--tune grain")]
        # The bits that noise costs, spent on a lower CRF instead.
        inputs += [(f"ordered dither, --crf {crf}", ordered, f"--crf {crf}") for crf in (14, 10)]
        for i, (label, frames, flags) in enumerate(inputs):
            tag = f"{key}-delivery-{i}"
            stream = y4m(frames, 8, "C420jpeg")
            out = os.path.join(work, tag)
            run(DELIVERY_X264.format(flags=flags, out=out), stream)
            kbps = os.path.getsize(out + ".264") * 8 / 1000 / (PAN_FRAMES / 25)
            decoded = raw_frames(run(f"ffmpeg -v error -i {out}.264 -f rawvideo -pix_fmt yuv420p -", None,
                                     subprocess.PIPE).stdout, 8)
            rows.append((name, label, cambi(stream, tag + "-in"), cambi(y4m(decoded, 8, "C420jpeg"), tag + "-out"),
                         kbps))
    lines = [f"8-bit delivery: each clip's first frame panning {PAN_STEP} pixels a frame for {PAN_FRAMES} "
             f"frames of {W}x{H}, quantised to 8 bits and through bitgrade {DELIVERY_SETTING}, brought to 8 bits "
             "by its ordered or diffusion dither, or by adding Gaussian noise (in 8-bit codes; the same pattern "
             "every frame, or a new one) to its 16-bit output before rounding; then x264 8-bit at CRF 18 (preset "
             "fast; the last rows at a lower CRF). CAMBI at 8 bits of what goes into x264 and of what comes out, "
             "and the bitrate.",
             "", "| clip | into x264 | CAMBI in | CAMBI after x264 | kbit/s |", "|---|---|---:|---:|---:|"]
    lines += [f"| {n} | {label} | {a:.2f} | {b:.2f} | {k:.0f} |" for n, label, a, b, k in rows]
    return "\n".join(lines)
