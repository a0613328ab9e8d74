#!/usr/bin/env python3
"""Numbers of the benchmark: quality of one stream, rate-quality tables and
Bjontegaard rate differences (BD-rate). Standard library only.

  analyse.py measure PSNR.log SSIM.log FRAMES    -> "PSNR-Y SSIM-Y" of a stream
  analyse.py quality POINTS.tsv SUMMARY.tsv      -> tables; BD-rate and CPU rows
                                                    appended to SUMMARY.tsv
  analyse.py self-check                          -> checks the BD-rate routine

POINTS.tsv has one line per encoded stream:
  clip format encoder param pictures rate bytes cpu_s psnr_y ssim_y
where encoder is ours:LEVEL or ffmpeg:SET, rate the picture rate, bytes the
elementary stream's size and cpu_s the encoder's user+system seconds.
"""
import math
import sys

# ---------------------------------------------------------------- quality


def mean_quality(psnr_log, ssim_log, frames):
    """Mean per-picture PSNR-Y and SSIM-Y from the ffmpeg psnr and ssim
    filters' stats files. A picture identical to its reference counts as
    100 dB. Fails when either file does not hold every picture."""
    psnr = []
    with open(psnr_log) as f:
        for line in f:
            fields = dict(kv.split(":", 1) for kv in line.split() if ":" in kv)
            if "psnr_y" in fields:
                v = fields["psnr_y"]
                psnr.append(100.0 if v.startswith("inf") else min(100.0, float(v)))
    ssim = []
    with open(ssim_log) as f:
        for line in f:
            fields = dict(kv.split(":", 1) for kv in line.split() if ":" in kv)
            if "Y" in fields:
                ssim.append(float(fields["Y"]))
    if len(psnr) != frames or len(ssim) != frames:
        raise SystemExit("measured %d/%d pictures of %d: the stream decodes to the wrong number of pictures"
                         % (len(psnr), len(ssim), frames))
    return sum(psnr) / frames, sum(ssim) / frames


def ssim_db(s):
    """SSIM as -10 log10(1 - SSIM): spreads the values near 1 evenly, so a
    cubic fits the curve as well as it fits PSNR."""
    return -10 * math.log10(max(1e-10, 1 - s))


# ---------------------------------------------------------------- BD-rate


def solve(a, b):
    """Solves a x = b by Gaussian elimination with partial pivoting."""
    n = len(b)
    m = [row[:] + [b[i]] for i, row in enumerate(a)]
    for c in range(n):
        p = max(range(c, n), key=lambda r: abs(m[r][c]))
        if abs(m[p][c]) < 1e-300:
            raise ValueError("singular system")
        m[c], m[p] = m[p], m[c]
        for r in range(c + 1, n):
            f = m[r][c] / m[c][c]
            for k in range(c, n + 1):
                m[r][k] -= f * m[c][k]
    x = [0.0] * n
    for r in range(n - 1, -1, -1):
        x[r] = (m[r][n] - sum(m[r][k] * x[k] for k in range(r + 1, n))) / m[r][r]
    return x


def fit_cubic(xs, ys):
    """Least-squares cubic y(x); returns (centre, coefficients of powers of
    x - centre). Centring keeps the normal equations well conditioned at
    PSNR values near 40; it does not change the fitted curve."""
    c = sum(xs) / len(xs)
    d = [x - c for x in xs]
    a = [[sum(t ** (i + j) for t in d) for j in range(4)] for i in range(4)]
    b = [sum(y * t ** i for t, y in zip(d, ys)) for i in range(4)]
    return c, solve(a, b)


def integral(fit, lo, hi):
    c, k = fit
    prim = lambda x: sum(k[i] * (x - c) ** (i + 1) / (i + 1) for i in range(4))
    return prim(hi) - prim(lo)


def frontier(points, slope=0.5):
    """The points that buy quality with their bits: by rising rate, each one
    kept only when it gains at least `slope` quality units (dB) per unit of
    log rate over the last kept point; real curves gain ten times that.
    Drops the points of an encoder that pads a constant rate it has no use
    for (more bits, the same pictures)."""
    kept = []
    for r, q in sorted(points):
        if not kept or q > kept[-1][1] + slope * math.log(r / kept[-1][0]):
            kept.append((r, q))
    return kept


def bd_rate(reference, test):
    """Bjontegaard rate difference of test against reference, in percent:
    the mean difference of log rate at equal quality over the quality range
    both curves cover, each curve a cubic fit of log rate over quality.
    Points are (rate, quality). Returns (percent, lo, hi), or None when a
    curve has fewer than four points on its frontier or the ranges do not
    meet."""
    curves = [frontier(pts) for pts in (reference, test)]
    if min(len(c) for c in curves) < 4:
        return None
    lo = max(min(q for _, q in c) for c in curves)
    hi = min(max(q for _, q in c) for c in curves)
    if hi <= lo:
        return None
    fits = [fit_cubic([q for _, q in c], [math.log(r) for r, _ in c]) for c in curves]
    mean = (integral(fits[1], lo, hi) - integral(fits[0], lo, hi)) / (hi - lo)
    return (math.exp(mean) - 1) * 100, lo, hi


def self_check():
    failures = []

    def near(what, got, want, tol=1e-6):
        if got is None or abs(got - want) > tol:
            failures.append("%s: got %s, want %.9f" % (what, got, want))

    # The same qualities at nine tenths of the rate: exactly -10 %.
    ref = [(1000, 30.1), (1800, 33.0), (3100, 35.7), (5200, 38.2), (9000, 41.0)]
    near("nine tenths", bd_rate(ref, [(0.9 * r, q) for r, q in ref])[0], -10.0)
    # Hand-computed: ln R = q/4 against ln R = q/4 + (q - 35)^2 / 50, the
    # ranges 30..38 and 33..41 meeting on 33..38. The mean difference is
    # (1/5) * integral over 33..38 of (q - 35)^2 / 50 = ((3^3 + 2^3) / 3) / 250
    # = 7/150, so BD-rate = e^(7/150) - 1 = 4.7773...%.
    ref = [(math.exp(q / 4), q) for q in (30, 32, 34, 36, 38)]
    test = [(math.exp(q / 4 + (q - 35) ** 2 / 50), q) for q in (33, 35, 37, 39, 41)]
    got = bd_rate(ref, test)
    near("hand case", got[0], (math.exp(7 / 150) - 1) * 100)
    near("hand case range", got[1], 33)
    near("hand case range", got[2], 38)
    # Swapping the curves gives the inverse ratio.
    near("swapped", bd_rate(test, ref)[0], (math.exp(-7 / 150) - 1) * 100)
    # Six points on a cubic are fitted exactly (least squares over more
    # points than unknowns); its integral over 31..42 by hand:
    # 0.002/4 (6^4 - 5^4) - 0.01/3 (6^3 + 5^3) + 0.1 (42^2 - 31^2) - 11.
    cubic = lambda q: 0.002 * (q - 36) ** 3 - 0.01 * (q - 36) ** 2 + 0.2 * q - 1
    qs = (30, 32, 34, 37, 40, 43)
    near("cubic fit", integral(fit_cubic(qs, [cubic(q) for q in qs]), 31, 42), 0.3355 - 3.41 / 3 + 80.3 - 11, 1e-9)
    # Padded points (more bits, same quality) stay out of the fit.
    padded = ref + [(ref[-1][0] * 1.3, ref[-1][1]), (ref[-1][0] * 1.6, ref[-1][1] + 0.001)]
    near("padded", bd_rate(padded, test)[0], (math.exp(7 / 150) - 1) * 100)
    # Too few points or disjoint ranges give no figure.
    if bd_rate(ref[:3], test) is not None or bd_rate(ref, [(r, q + 20) for r, q in test]) is not None:
        failures.append("a figure without four points or without overlap")
    for f in failures:
        print("BD-rate self-check failed:", f)
    return not failures


# ---------------------------------------------------------------- tables

FORMAT_NAMES = {"dvd-pal": "DVD PAL", "dvd-ntsc": "DVD NTSC", "vcd": "VCD PAL"}
REFERENCES = ("ffmpeg:default", "ffmpeg:hq", "ffmpeg:hq-2pass")


def read_points(path):
    rows = []
    with open(path) as f:
        for line in f:
            if not line.strip() or line.startswith("#"):
                continue
            clip, fmt, enc, param, pics, rate, size, cpu, psnr, ssim = line.rstrip("\n").split("\t")
            pics, rate = int(pics), eval_rate(rate)
            rows.append({"clip": clip, "format": fmt, "encoder": enc, "param": param, "pictures": pics,
                         "kbps": int(size) * 8 * rate / pics / 1000, "cpu_ms": float(cpu) * 1000 / pics,
                         "psnr": float(psnr), "ssim": float(ssim)})
    return rows


def eval_rate(text):
    num, _, den = text.partition("/")
    return float(num) / float(den or 1)


def fmt_pct(v):
    return "   n/a " if v is None else "%+6.1f%%" % v[0]


def quality_report(points_path, summary_path):
    rows = read_points(points_path)
    groups = {}
    for r in rows:
        groups.setdefault((r["format"], r["clip"]), {}).setdefault(r["encoder"], []).append(r)
    out = open(summary_path, "a")
    out.write("# point\tclip\tformat\tencoder\tparam\tkbit/s\tpsnr_y\tssim_y\tcpu_ms_per_picture\n")
    for r in rows:
        out.write("point\t%s\t%s\t%s\t%s\t%.1f\t%.3f\t%.5f\t%.2f\n" % (
            r["clip"], r["format"], r["encoder"], r["param"], r["kbps"], r["psnr"], r["ssim"], r["cpu_ms"]))
    bd_rows, cpu_rows, matrix = [], [], []
    for (fmt, clip), encs in groups.items():
        pics = next(iter(encs.values()))[0]["pictures"]
        print("\n%s, %s clip (%d pictures)" % (FORMAT_NAMES.get(fmt, fmt), clip, pics))
        print("  %-18s %-16s %9s %7s %8s %9s" % ("encoder", "point", "kbit/s", "PSNR-Y", "SSIM-Y", "ms/pic"))
        for enc, pts in encs.items():
            for p in sorted(pts, key=lambda p: p["kbps"]):
                print("  %-18s %-16s %9.1f %7.2f %8.5f %9.2f" % (enc, p["param"], p["kbps"], p["psnr"], p["ssim"], p["cpu_ms"]))
        cpu = {enc: sum(p["cpu_ms"] for p in pts) / len(pts) for enc, pts in encs.items()}
        ours = [e for e in encs if e.startswith("ours:")]
        refs = [e for e in REFERENCES if e in encs]
        for o in ours:
            line = []
            # Two passes of a level against the same level's one pass.
            base = o[:-len("-2pass")] if o.endswith("-2pass") else None
            for ref in refs + ([base] if base in encs else []):
                fig = {}
                for metric, key in (("psnr", lambda p: p["psnr"]), ("ssim", lambda p: ssim_db(p["ssim"]))):
                    v = bd_rate([(p["kbps"], key(p)) for p in encs[ref]], [(p["kbps"], key(p)) for p in encs[o]])
                    fig[metric] = v
                    bd_rows.append("bdrate\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n" % (
                        clip, fmt, o, ref, metric, "n/a" if v is None else "%.2f" % v[0],
                        "" if v is None else "%.3f" % v[1], "" if v is None else "%.3f" % v[2]))
                p, s = fig["psnr"], fig["ssim"]
                print("  BD-rate %s against %-15s PSNR-Y %s  SSIM-Y %s   (PSNR overlap %s)" % (
                    o[5:], ref.split(":", 1)[1], fmt_pct(p), fmt_pct(s),
                    "none" if p is None else "%.2f-%.2f dB" % (p[1], p[2])))
                if ref in REFERENCES:
                    line.append((ref, p, s))
            matrix.append((fmt, clip, o, line))
        parts = []
        for enc in encs:
            ratio = ""
            if enc.startswith("ours:") and "ffmpeg:default" in cpu:
                ratio = " (%.2fx default" % (cpu[enc] / cpu["ffmpeg:default"])
                ratio += ", %.2fx HQ)" % (cpu[enc] / cpu["ffmpeg:hq"]) if "ffmpeg:hq" in cpu else ")"
            parts.append("%s %.2f%s" % (enc, cpu[enc], ratio))
            cpu_rows.append("cpu\t%s\t%s\t%s\t%.3f\t%s\n" % (
                clip, fmt, enc, cpu[enc],
                "%.3f" % (cpu[enc] / cpu["ffmpeg:default"]) if "ffmpeg:default" in cpu else ""))
        print("  CPU ms per picture: " + "; ".join(parts))
    if matrix:
        refs = [r for r in REFERENCES if any(r == ref for *_, line in matrix for ref, _, _ in line)]
        print("\nBD-rate of our levels (negative: fewer bits than the reference for the same quality)")
        head = "  %-9s %-11s %-8s" % ("format", "clip", "level")
        for r in refs:
            head += " | %-17s" % (r[7:] + " PSNR/SSIM")
        print(head)
        for fmt, clip, o, line in matrix:
            cells = {ref: "%s %s" % (fmt_pct(p), fmt_pct(s)) for ref, p, s in line}
            print("  %-9s %-11s %-8s" % (fmt, clip, o[5:]) + "".join(" | %-17s" % cells.get(r, "") for r in refs))
    out.write("# bdrate\tclip\tformat\tours\treference\tmetric\tpercent\tfrom\tto\n")
    out.writelines(bd_rows)
    out.write("# cpu\tclip\tformat\tencoder\tms_per_picture\tratio_to_ffmpeg_default\n")
    out.writelines(cpu_rows)
    out.close()


def main(argv):
    if len(argv) == 5 and argv[1] == "measure":
        psnr, ssim = mean_quality(argv[2], argv[3], int(argv[4]))
        print("%.4f %.6f" % (psnr, ssim))
    elif len(argv) == 4 and argv[1] == "quality":
        quality_report(argv[2], argv[3])
    elif len(argv) == 2 and argv[1] == "self-check":
        if not self_check():
            return 1
        print("BD-rate self-check passed")
    else:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
