#!/usr/bin/env python3
"""Turn the "key value" lines of bench runs into markdown tables.

    report.py [--short] [--build-type T] LABEL=FILE [LABEL=FILE ...]
              [--builds LABEL=FILE ...] [--build-options NAME=TEXT ...]

One FILE per model, as written by the bench program; the tables put the
models side by side. A --builds FILE is the bench program's comparison of
builds of the speech library on one model; --build-options says how the build
of that NAME was configured. Only formats: it judges nothing and never fails
on a number."""

import datetime
import os
import sys


def load(path):
    d = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition(" ")
            try:
                d[key] = float(value)
            except ValueError:
                d[key] = value
    return d


def ms(v):
    if v != v:  # NaN: no sample
        return "-"
    if v < 1:
        return "%.3f" % v
    if v < 100:
        return "%.1f" % v
    return "%.0f" % v


def ratio(a, b):
    return "%.3f" % (a / b) if b else "-"


def table(head, rows):
    out = ["| " + " | ".join(head) + " |", "|" + "|".join("---" for _ in head) + "|"]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(out)


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown CPU"


def main(argv):
    short = False
    build_type = "?"
    runs = []
    builds = []
    options = {}
    args = list(argv)
    while args:
        a = args.pop(0)
        if a == "--short":
            short = True
        elif a == "--build-type":
            build_type = args.pop(0)
        elif a == "--builds":
            label, _, path = args.pop(0).partition("=")
            builds.append((label, load(path)))
        elif a == "--build-options":
            name, _, text = args.pop(0).partition("=")
            options[name] = text
        else:
            label, _, path = a.partition("=")
            runs.append((label, load(path)))
    if not runs and not builds:
        sys.exit("usage: report.py [--short] [--build-type T] LABEL=FILE ... [--builds LABEL=FILE ...]")
    if not runs:
        builds_table(builds, options)
        return
    first = runs[0][1]

    print("# scripts/bench%s, %s" % (" --short" if short else "",
                                      datetime.datetime.now().strftime("%Y-%m-%d %H:%M")))
    print()
    print("- machine: %d cores (%s), load average %.2f at the end"
          % (first["cores"], cpu_name(), os.getloadavg()[0]))
    print("- speech library: `%s`" % first["sysinfo"].strip())
    print("- whisper_full: greedy, %d threads, language %s, on both sides; service build: %s"
          % (first["threads"], first["lang"], build_type))
    print()

    print("## Transcription: POST /transcribe on a kept-alive connection / whisper_full in this process")
    print()
    print("Milliseconds; ratio = service / in-process (whisper_full on this process's main thread). Each run "
          "makes five kinds of call for each length, in orders that rotate run by run: the service, "
          "whisper_full on the main thread, whisper_full on a worker thread, whisper_full in a second process "
          "of this benchmark told what to do on a pipe, and the same POST with one byte more, which the "
          "service reads whole and refuses.")
    print()
    rows = []
    for label, d in runs:
        for sec in (1, 10, 30):
            k = "tx.%d." % sec
            sp, ip = d[k + "svc.p50"], d[k + "in.p50"]
            s9, i9 = d[k + "svc.p95"], d[k + "in.p95"]
            rows.append([label, "%d s" % sec, "%d" % d[k + "n"], ms(sp), ms(ip), "**%s**" % ratio(sp, ip),
                         ms(s9), ms(i9), "**%s**" % ratio(s9, i9), "%+.1f" % (sp - ip)])
    print(table(["model", "audio", "runs", "service p50", "in-process p50", "ratio p50",
                 "service p95", "in-process p95", "ratio p95", "service - in-process p50"], rows))
    print()
    print("Where a difference goes, the same runs. Paired: the median over runs of each run's own ratio to the main-thread "
          "call, whose calls are at most four apart. The worker thread and the second process are the same "
          "library call with no HTTP at all: their spread around 1 is what the machine does to a call on "
          "another thread or in another process. Refused POST: upload, read and reply of the same body "
          "without a recognition. Per call, in the process that does the work: minor page faults, CPU time "
          "(clock ticks, averaged), and time its live threads spent ready but waiting for a CPU.")
    print()
    rows = []
    for label, d in runs:
        for sec in (1, 10, 30):
            k = "tx.%d." % sec
            i9 = d[k + "in.p95"]
            rows.append([label, "%d s" % sec, "**%.3f**" % d[k + "pair.svc"], "%.3f" % d[k + "pair.wk"],
                         "%.3f" % d[k + "pair.pp"],
                         "%s / %s / %s" % (ratio(d[k + "svc.p95"], i9), ratio(d[k + "wk.p95"], i9),
                                           ratio(d[k + "pp.p95"], i9)),
                         ms(d[k + "ref.p50"]),
                         "%.0f / %.0f" % (d[k + "svc.flt"], d[k + "in.flt"]),
                         "%.0f / %.0f" % (d[k + "svc.cpu"], d[k + "in.cpu"]),
                         "%.1f / %.1f / %.1f" % (d[k + "svc.wait"], d[k + "in.wait"], d[k + "pp.wait"])])
    print(table(["model", "audio", "paired: service", "paired: worker thread", "paired: second process",
                 "p95 / main's p95: service / worker / second process", "refused POST p50 ms",
                 "faults: service / main", "CPU ms: service / main",
                 "waiting for a CPU ms: service / main / second process"], rows))
    print()

    print("## Readiness: GET /status")
    print()
    print("Milliseconds. Floor: a loopback responder inside the benchmark that answers the same bytes in one "
          "write, probed in turns with the service by the same client; what the machine and the client cost. "
          "During a recognition: another connection keeps POSTing 10 s of audio, and a probe counts only if "
          "one recognition was in flight from its start to its end. In a second process: the same, with the "
          "recognitions made by this benchmark's second process instead, so that the service only answers probes.")
    print()
    rows = []
    for label, d in runs:
        for case, name in (("idle", "idle"), ("busy", "during a recognition"),
                           ("other", "during a recognition in a second process")):
            k = "st.%s." % case
            rows.append([label, name, "%d" % d[k + "svc.n"], ms(d[k + "svc.p50"]), "**%s**" % ms(d[k + "svc.p99"]),
                         ms(d[k + "floor.p50"]), ms(d[k + "floor.p99"])])
    print(table(["model", "case", "probes", "service p50", "service p99", "floor p50", "floor p99"], rows))
    print()
    rows = []
    for label, d in runs:
        rows.append([label, "%d" % d["rps.clients"], "**%.0f**" % d["rps.svc"], "%.0f" % d["rps.floor"],
                     ms(d["rps.svc.p99"]), ms(d["rps.floor.p99"]), "%d" % d["rps.svc.reconnects"]])
    print(table(["model", "kept-alive clients", "service req/s", "floor req/s", "service p99 ms",
                 "floor p99 ms", "service reconnects (100 requests each)"], rows))
    print()

    print("## Start-up")
    print()
    print("Milliseconds, medians of %d runs of each, in turns. Fresh process: this benchmark exec'd to load the "
          "same model and say so, the same load with nothing warm yet. Exec without a model: the service's "
          "binary up to its `ERROR:` line, what exec, dynamic linking and the libraries' start cost."
          % first["start.n"])
    print()
    rows = []
    for label, d in runs:
        rows.append([label, "**%s**" % ms(d["start.svc.p50"]), ms(d["start.load.p50"]),
                     "**%+.1f**" % (d["start.svc.p50"] - d["start.load.p50"]),
                     "%s (load inside: %s)" % (ms(d["start.fresh.p50"]), ms(d["start.freshload.p50"])),
                     "%+.1f" % (d["start.svc.p50"] - d["start.fresh.p50"]), ms(d["start.exec.p50"]),
                     "%s / %s" % (ms(d["start.first.svc"]), ms(d["start.first.load"]))])
    print(table(["model", "service exec to PORT:", "in-process load", "difference",
                 "fresh process exec to loaded", "service - fresh", "exec without a model",
                 "first of the run: service / in-process"], rows))
    print()

    print("## Memory: VmRSS, MB")
    print()
    n = int(first["mem.n"])
    print("The service against this benchmark's own process, which loads the same model (%.1f MB before it does). "
          "Recognitions cycle through 1, 10 and 30 s inputs on one kept-alive connection; growth is counted "
          "from recognition %d on, when each input length has been seen once; the end of the run follows the other "
          "cases (8 connections, more recognitions)." % (first["mem.in.base"], first["mem.mid"]))
    print()
    mid = int(first["mem.mid"])
    rows = []
    for label, d in runs:
        for side, name in (("svc", "service"), ("in", "in-process")):
            k = "mem.%s." % side
            rows.append([label, name, "%.1f" % d[k + "start"], "%.1f" % d[k + "1"],
                         "%.1f" % d[k + str(mid)], "%.1f" % d[k + str(n)],
                         "**%+.1f**" % (d[k + str(n)] - d[k + str(mid)]),
                         "%.1f (%d)" % (d[k + "end"], d[k + "end.recs"])])
    print(table(["model", "side", "after start-up", "after 1", "after %d" % mid, "after %d" % n,
                 "growth %d to %d" % (mid, n), "end of run (recognitions)"], rows))

    if builds:
        print()
        builds_table(builds, options)


def builds_table(builds, options):
    first = builds[0][1]
    names = []
    while "build.%d.name" % len(names) in first:
        names.append(first["build.%d.name" % len(names)])
    print("## Speech library: builds of the same source")
    print()
    print("Milliseconds of whisper_full alone, in a process that does nothing else: one pipe worker of the "
          "benchmark for each build of the library, each bench build linked to its own. The workers take turns "
          "in orders that rotate run by run, after one uncounted call of each length. Ratio: the median over "
          "runs of each run's own ratio to the %s build, %s."
          % (names[0], "whose call is next to it" if len(names) == 2
             else "whose call is at most %d calls away" % (len(names) - 1)))
    print()
    for i, name in enumerate(names):
        info = first["build.%d.sysinfo" % i]
        print("- %s, options %s: `%s`" % (name, options.get(name) or "?", info.split("CPU : ", 1)[-1].strip(" |")))
    print()
    head = ["model", "audio", "runs"] + ["%s p50" % n for n in names]
    head += ["**%s / %s**" % (n, names[0]) for n in names[1:]]
    rows = []
    for label, d in builds:
        for sec in (1, 10, 30):
            k = "builds.%d." % sec
            rows.append([label, "%d s" % sec, "%d" % d["builds.n"]]
                        + [ms(d[k + "%d.p50" % i]) for i in range(len(names))]
                        + ["**%.3f**" % d[k + "%d.pair" % i] for i in range(1, len(names))])
    print(table(head, rows))


if __name__ == "__main__":
    main(sys.argv[1:])
