"""The performance report: runs the benchmarks side by side with the peers and writes
docs/performance.md with its plots in docs/plots. `make bench-report` runs it (about half an hour
on two cores; the large Polish word list dominates). Figures vary with the machine; the report
states which machine and when.
"""

import argparse
import datetime
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "bench"), str(ROOT / "demo")]

import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from _torrelm import PrefixSearch  # noqa: E402
from bench_fuzzy import PythonTrie, make_queries  # noqa: E402
from bench_search import report_lines as search_lines  # noqa: E402
from bench_serve import report_lines as serve_lines  # noqa: E402
from bench_storage import report_lines as index_files_lines  # noqa: E402
from bench_video import PythonRanking, same, typed_prefixes  # noqa: E402
from layout import read_words, video_counts, with_videos  # noqa: E402
from figures import peak_growth  # noqa: E402
import torrelm  # noqa: E402

VOCABULARIES = {
    "wamerican-insane": Path("/usr/share/dict/american-english-insane"),
    "wbulgarian": Path("/usr/share/dict/bulgarian"),
    "wpolish": Path("/usr/share/dict/polish"),
}
LIBRARIES = ["torrelm", "symspellpy", "rapidfuzz scan", "Python trie"]


def latencies(fn, queries):
    out, results = [], []
    for q in queries:
        start = time.perf_counter()
        results.append(fn(q))
        out.append(time.perf_counter() - start)
    return out, results


def p99(values):
    return sorted(values)[min(len(values) - 1, int(len(values) * 0.99))]


def fuzzy_section(name, path, options, log):
    from rapidfuzz import process
    from rapidfuzz.distance import Levenshtein
    from symspellpy import SymSpell, Verbosity
    from symspellpy.editdistance import DistanceAlgorithm, EditDistance

    words = read_words(path)
    queries = make_queries(words, options.queries, seed=2026)
    peers_n = options.peer_queries if len(words) < 2_000_000 else options.peer_queries // 3
    subset = queries[:peers_n]
    log(f"{name}: {len(words):,} terms; {len(queries)} queries, {len(subset)} for slow peers")
    builds = {}

    # The package's native build from click rows: 1 to 5 videos a word drawn from 100,000 by
    # Zipf's law, counts following the word's frequency (the payloads a site would have).
    clicks = {"term": [], "video": [], "count": []}
    for word, ids, counts in video_counts(words):
        clicks["term"] += [word] * len(ids)
        clicks["video"] += ids
        clicks["count"] += counts
    log(f"  {len(clicks['term']):,} click rows")

    def ours(rows=clicks):  # and its first query, which makes the walk table the index keeps
        built = torrelm.build(rows)
        built.fuzzy_match(words[0], 1)
        return built

    index, seconds, memory, peak = peak_growth(ours)
    builds["torrelm"] = (seconds, memory, peak)
    del clicks, ours  # the rows go before the peers are built
    symspell_distance = 2
    def symspell_build():
        s = SymSpell(max_dictionary_edit_distance=symspell_distance,
                     distance_comparer=EditDistance(DistanceAlgorithm.LEVENSHTEIN))
        for w in words:
            s.create_dictionary_entry(w, 1)
        return s
    symspell, *builds["symspellpy"] = peak_growth(symspell_build)
    python_trie, *builds["Python trie"] = peak_growth(lambda: PythonTrie(words))
    builds["rapidfuzz scan"] = (0.0, 0, 0)
    log(f"  builds: {builds}")

    rows = {}
    for k in options.max_dist:
        ours_lat, ours_res = latencies(lambda q: index.fuzzy_match(q, k), queries)
        ours_sets = [{t: d for t, _, d in r} for r in ours_res]
        rows[("torrelm", k)] = (ours_lat, True, len(queries))
        peers = {
            "rapidfuzz scan": (lambda q: {c: int(s) for c, s, _ in process.extract(
                q, words, scorer=Levenshtein.distance, score_cutoff=k, limit=None)}, subset),
            "Python trie": (lambda q: python_trie.search(q, k), subset),
        }
        if k <= symspell_distance:
            peers["symspellpy"] = (
                lambda q: {s.term: s.distance for s in symspell.lookup(q, Verbosity.ALL, k)}, queries)
        for peer, (fn, peer_queries) in peers.items():
            lat, res = latencies(fn, peer_queries)
            rows[(peer, k)] = (lat, res == ours_sets[: len(peer_queries)], len(peer_queries))
            log(f"  max_dist {k} {peer}: median {statistics.median(lat) * 1e6:.1f} µs")
    return {"terms": len(words), "builds": builds, "rows": rows}


def video_section(options, log):
    words = read_words(VOCABULARIES["wamerican-insane"])
    arrays = with_videos(words)
    typed = typed_prefixes(words, options.typed, seed=2026)
    index = PrefixSearch.from_internal_data_v2(*arrays.arguments(10))
    python = PythonRanking(arrays, 10)
    per_length = {}
    rows = {}
    for max_dist in (1, 2):
        for flag in (None, True):
            ours, peer, agree = [], [], True
            for w_i, word in enumerate(typed):
                for q in word:
                    start = time.perf_counter()
                    mine = index.fuzzy_match_video(q, max_dist, 10, flag)
                    took = time.perf_counter() - start
                    ours.append(took)
                    if max_dist == 1 and flag is None:
                        per_length.setdefault(len(q), {"torrelm": [], "Python": []})["torrelm"].append(took)
                    if w_i < options.peer_words:
                        start = time.perf_counter()
                        theirs = python.rank(q, max_dist, 10, flag)
                        took = time.perf_counter() - start
                        peer.append(took)
                        agree &= same(mine, theirs)
                        if max_dist == 1 and flag is None:
                            per_length[len(q)]["Python"].append(took)
            rows[(max_dist, flag)] = (ours, peer, agree)
            log(f"  video max_dist {max_dist} {flag}: median {statistics.median(ours) * 1e6:.1f} µs")
    return {"rows": rows, "per_length": per_length, "keystrokes": sum(len(w) for w in typed)}


def storage_section(log):
    words = read_words(VOCABULARIES["wamerican-insane"])
    arguments = with_videos(words).arguments(10)
    index = PrefixSearch.from_internal_data_v2(*arguments)
    data = index.to_bytes()

    def best(fn, runs=5):
        return min(latencies(lambda _: fn(), range(runs))[0])

    result = {"size": len(data), "to_bytes": best(index.to_bytes),
              "from_bytes": best(lambda: PrefixSearch.from_bytes(data)),
              "build": best(lambda: PrefixSearch.from_internal_data_v2(*arguments), 3)}
    log(f"  storage: {result}")
    return result


def ingest_section(log):
    """The figures of bench_ingest.py, each case in a child process of its own."""
    with tempfile.TemporaryDirectory() as scratch:
        figures = Path(scratch) / "ingest.json"
        subprocess.run([sys.executable, str(ROOT / "bench" / "bench_ingest.py"), "--json",
                        str(figures)], check=True, stdout=sys.stderr)
        results = json.loads(figures.read_text())
    log(f"  ingest: {len(results)} figures")
    return results


def index_files_section(log):
    """The figures of bench_storage.py, run as a script of its own: its workers are spawned
    processes, and its large indexes are kept between runs in its default work folder."""
    with tempfile.TemporaryDirectory() as scratch:
        figures = Path(scratch) / "storage.json"
        subprocess.run([sys.executable, str(ROOT / "bench" / "bench_storage.py"), "--json",
                        str(figures)], check=True, stdout=sys.stderr)
        results = json.loads(figures.read_text())
    log("  index files: measured")
    return results


def search_section(log):
    """The figures of bench_search.py, run as a script of its own (its peers hold gigabytes that
    are best given back with the process)."""
    with tempfile.TemporaryDirectory() as scratch:
        figures = Path(scratch) / "search.json"
        subprocess.run([sys.executable, str(ROOT / "bench" / "bench_search.py"), "--json",
                        str(figures)], check=True, stdout=sys.stderr)
        results = json.loads(figures.read_text())
    log("  search box: measured")
    return results


def serve_section(out, log):
    """The figures of bench_serve.py, run as a script of its own: it starts the service in
    processes of its own and loads it from another; its plot goes beside the report's."""
    with tempfile.TemporaryDirectory() as scratch:
        figures = Path(scratch) / "serve.json"
        (out / "plots").mkdir(parents=True, exist_ok=True)
        subprocess.run([sys.executable, str(ROOT / "bench" / "bench_serve.py"), "--json",
                        str(figures), "--plot", str(out / "plots" / "serve_latency.png")],
                       check=True, stdout=sys.stderr)
        results = json.loads(figures.read_text())
    log("  serving: measured")
    return results


def ingest_lines(results):
    """The ingest benchmark as report lines."""
    lines = ["## Building from click logs (torrelm.build)", "",
             "Each case in a fresh process; peak growth is the rise of the process's peak resident "
             "memory during the build (VmHWM), the index size its own heap bytes.", "",
             "| case | rows | seconds | peak growth MiB | index MiB |", "|---|---|---|---|---|"]
    for r in results:
        if r["case"] in ("clicks-1m", "clicks-1m-old", "words", "clicks-20m"):
            name = {"clicks-1m": "1M click counts, 300k terms (pyarrow)",
                    "clicks-1m-old": "the same rows, IndexBuilder as it was (Python layout)",
                    "words": "wamerican-insane, 1 to 5 videos a word (pyarrow)",
                    "clicks-20m": "20M click counts, 6M terms (pyarrow)"}[r["case"]]
            index = f"{r['index_mib']:.0f}" if "index_mib" in r else ""
            lines.append(f"| {name} | {r['rows']:,} | {r['seconds']:.2f} | "
                         f"{r['peak_growth_mib']:.0f} | {index} |")
    lines.append("")
    for r in results:
        if r["case"] == "long-term":
            lines.append(f"- One term of {r['characters']:,} characters: {r['seconds'] * 1e3:.0f} ms "
                         f"({r['ns_per_character']:.0f} ns a character).")
        elif r["case"] == "ticker":
            lines.append(f"- A thread ticking every millisecond during the 1M-row build "
                         f"({r['build_seconds']:.2f} s) waited at most {r['longest_tick_ms']:.1f} ms.")
        elif r["case"] == "peers" and "seconds" in r:
            lines.append(f"- {r['peer']}: the {r['keys']:,} distinct terms in {r['seconds']:.2f} s.")
    return lines + [""]


def machine():
    cpu = "unknown processor"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return (f"{cpu}, {os.cpu_count()} cores, {memory:.0f} GiB; {platform.system()} "
            f"{platform.release()}; CPython {platform.python_version()}")


def write_report(fuzzy, video, storage, ingest, out, options, index_files=None, search=None,
                 serve=None):
    plots = out / "plots"
    plots.mkdir(parents=True, exist_ok=True)
    lines = [
        "# Performance report",
        "",
        f"Generated by `make bench-report` on {datetime.date.today().isoformat()}, on {machine()}.",
        "Latencies are per call from Python (`time.perf_counter` around the method), medians and",
        "99th percentiles over seeded queries: dictionary words with 0, 1 or 2 random edits for term",
        "search, every prefix of typed words (half with a typo) for video search. Slow peers run on",
        "the first queries only; ratios compare the same queries. 'same' says whether a peer",
        "returned exactly the same terms (or videos and shares) as torrelm.",
        "",
        "## Fuzzy term search",
        "",
    ]
    headline = []
    for name, result in fuzzy.items():
        lines += [f"### {name} ({result['terms']:,} terms)", "",
                  "| max_dist | library | median µs | p99 µs | torrelm faster by | same |",
                  "|---|---|---|---|---|---|"]
        figure, axis = plt.subplots(figsize=(6, 4))
        table = []
        for library in LIBRARIES:
            xs, ys = [], []
            for k in options.max_dist:
                if (library, k) not in result["rows"]:
                    continue
                lat, agree, n = result["rows"][(library, k)]
                ours = result["rows"][("torrelm", k)][0][:n]
                ratio = statistics.median(lat) / statistics.median(ours)
                table.append((k, LIBRARIES.index(library),
                              f"| {k} | {library} | {statistics.median(lat) * 1e6:,.1f} | "
                              f"{p99(lat) * 1e6:,.1f} | "
                              f"{'' if library == 'torrelm' else f'{ratio:,.1f}x'} | "
                              f"{'yes' if agree else 'no'} |"))
                xs.append(k)
                ys.append(statistics.median(lat) * 1e6)
                if name == "wamerican-insane" and library != "torrelm" and k in (1, 2):
                    headline.append(f"{library} {ratio:,.{1 if ratio < 10 else 0}f}x at max_dist {k}")
            axis.plot(xs, ys, marker="o", label=library)
        lines += [row for _, _, row in sorted(table)]
        axis.set_yscale("log")
        axis.set_xlabel("max_dist")
        axis.set_ylabel("median latency per query (µs, log scale)")
        axis.set_title(f"Fuzzy term search, {name}")
        axis.set_xticks(options.max_dist)
        axis.legend()
        figure.tight_layout()
        figure.savefig(plots / f"fuzzy_{name}.png", dpi=110)
        plt.close(figure)
        lines += ["", f"![fuzzy search latency on {name}](plots/fuzzy_{name}.png)", ""]

    lines += ["## Build time and memory", "",
              "torrelm builds from click rows (1 to 5 videos a word, counts after the word's "
              "frequency, video_top_n 10); held is the memory the index keeps, peak the most the "
              "build added at any moment (the process's high-water mark).", "",
              "| vocabulary | library | build s | held MiB | peak MiB |", "|---|---|---|---|---|"]
    figure, (time_axis, memory_axis) = plt.subplots(1, 2, figsize=(10, 4))
    width = 0.25
    built = ["torrelm", "symspellpy", "Python trie"]
    for i, library in enumerate(built):
        seconds = [fuzzy[v]["builds"][library][0] for v in fuzzy]
        mib = [fuzzy[v]["builds"][library][1] / 2**20 for v in fuzzy]
        positions = [j + (i - 1) * width for j in range(len(fuzzy))]
        time_axis.bar(positions, seconds, width, label=library)
        memory_axis.bar(positions, mib, width, label=library)
    for name in fuzzy:
        for library in built:
            seconds, memory, peak = fuzzy[name]["builds"][library]
            lines.append(f"| {name} | {library} | {seconds:.1f} | {memory / 2**20:,.0f} | "
                         f"{peak / 2**20:,.0f} |")
    for axis, label in ((time_axis, "build time (s)"), (memory_axis, "memory held (MiB)")):
        axis.set_xticks(range(len(fuzzy)))
        axis.set_xticklabels(list(fuzzy))
        axis.set_ylabel(label)
        axis.legend()
    figure.suptitle("Building a term index (torrelm from click rows; symspellpy at max edit distance 2)")
    figure.tight_layout()
    figure.savefig(plots / "build.png", dpi=110)
    plt.close(figure)
    lines += ["", "rapidfuzz scans the word list itself and builds nothing.", "",
              "![build time and memory](plots/build.png)", ""]

    lines += ["## Video search as you type (wamerican-insane, video_top_n 10, limit 10)", "",
              f"{video['keystrokes']:,} keystrokes; the plain Python ranking (its own propagation,",
              "trie walk and scoring over the same arrays) on the first words' keystrokes.", "",
              "| max_dist | include_prefix_nodes | median µs | p99 µs | Python median µs | torrelm faster by | same |",
              "|---|---|---|---|---|---|---|"]
    for (max_dist, flag), (ours, peer, agree) in video["rows"].items():
        ratio = statistics.median(peer) / statistics.median(ours[: len(peer)])
        lines.append(f"| {max_dist} | {'absent' if flag is None else 'true'} | "
                     f"{statistics.median(ours) * 1e6:.1f} | {p99(ours) * 1e6:.1f} | "
                     f"{statistics.median(peer) * 1e6:,.0f} | {ratio:,.0f}x | {'yes' if agree else 'no'} |")
        if max_dist == 1 and flag is None:
            headline.append(f"the plain Python video ranking {ratio:,.0f}x at max_dist 1")
    figure, axis = plt.subplots(figsize=(6, 4))
    lengths = sorted(video["per_length"])
    for library in ("torrelm", "Python"):
        xs = [n for n in lengths if video["per_length"][n][library]]
        axis.plot(xs, [statistics.median(video["per_length"][n][library]) * 1e6 for n in xs],
                  marker="o", label=library)
    axis.set_yscale("log")
    axis.set_xlabel("characters typed")
    axis.set_ylabel("median latency per keystroke (µs, log scale)")
    axis.set_title("Video search per keystroke, max_dist 1")
    axis.legend()
    figure.tight_layout()
    figure.savefig(plots / "video_keystrokes.png", dpi=110)
    plt.close(figure)
    lines += ["", "![video search latency per keystroke](plots/video_keystrokes.png)", ""]

    mb = storage["size"] / 1e6
    lines += ["## Storing and reloading (wamerican-insane, video_top_n 10)", "",
              f"Stored form {storage['size'] / 2**20:.1f} MiB. `to_bytes` {storage['to_bytes'] * 1e3:.0f} ms "
              f"({mb / storage['to_bytes']:,.0f} MB/s), `from_bytes` {storage['from_bytes'] * 1e3:.0f} ms "
              f"({mb / storage['from_bytes']:,.0f} MB/s), building from arrays "
              f"{storage['build'] * 1e3:.0f} ms: reloading is "
              f"{storage['build'] / storage['from_bytes']:.1f}x faster.", ""]
    lines += ingest_lines(ingest)
    if index_files:
        lines += index_files_lines(index_files)
    if search:
        lines += search_lines(search)
    if serve:
        lines += serve_lines(serve)
    lines[3:3] = ["", "Headline, on wamerican-insane: the median latency of each peer as a multiple of "
                      "torrelm's (above 1: torrelm is faster): " + "; ".join(headline) + ".", ""]
    (out / "performance.md").write_text("\n".join(lines) + "\n", encoding="utf-8")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--peer-queries", type=int, default=60)
    parser.add_argument("--typed", type=int, default=300)
    parser.add_argument("--peer-words", type=int, default=20)
    parser.add_argument("--max-dist", type=int, nargs="+", default=[0, 1, 2, 3])
    parser.add_argument("--vocabulary", action="append", choices=sorted(VOCABULARIES))
    parser.add_argument("--out", type=Path, default=ROOT / "docs")
    options = parser.parse_args()

    def log(text):
        print(text, file=sys.stderr, flush=True)

    fuzzy = {}
    for name in options.vocabulary or list(VOCABULARIES):
        fuzzy[name] = fuzzy_section(name, VOCABULARIES[name], options, log)
        gc.collect()
    video = video_section(options, log)
    storage = storage_section(log)
    ingest = ingest_section(log)
    index_files = index_files_section(log)
    search = search_section(log)
    serve = serve_section(options.out, log)
    write_report(fuzzy, video, storage, ingest, options.out, options, index_files, search, serve)
    log(f"wrote {options.out / 'performance.md'}")


if __name__ == "__main__":
    main()
