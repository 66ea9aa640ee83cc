"""`quorvane video`: the shapes in every frame of a video, in this process or on a Dask cluster."""

from __future__ import annotations

import argparse
import contextlib
import logging
import sys

from .. import _checks
from .._arrays import atomic_output
from .._progress import Progress
from ..color import Window
from ..video import VideoError, VideoTaskError, _av, _is_pipe, _why, dumps, probe_video
from ..video._runner import _track
from ._errors import EXIT_FAILED, EXIT_PIPE, CliError
from ._options import MODEL_HELP, add_fit_options, add_window_options, fit_kwargs, whole, window_from_args
from ._output import check_output, quiet_stdout

DESCRIPTION = """\
Find shapes of one colour in every frame of a video, on this machine or on a Dask cluster.

Each frame is decoded (PyAV), converted to RGB and searched exactly as `quorvane find` searches a
picture: colour mask, edge points, then the fits asked for. Frame i's fits are seeded from
(--seed, i), so the result is the same byte for byte however the work is split: one process,
--workers 1 or 8, any --chunk."""

EPILOG = """\
examples:
  quorvane video match.mp4 --hue 0.15 0.7 --chroma 0.3 1 --intensity 0.15 0.95 \\
      --fit circle --radius 10 60 --json ball.json
  quorvane video match.mp4 --box 610 300 40 40 --fit circle --out tracked.mp4
      (the window is suggested from the box on the first frame of the range: here frame 0;
       with --frames 500 900, on frame 500)
  quorvane video match.mp4 --box 610 300 40 40 --fit circle --workers 2 --json ball.json
  quorvane video match.mp4 --hue 0.15 0.7 --chroma 0.3 1 --intensity 0.15 0.95 \\
      --scheduler tcp://127.0.0.1:8786 --json ball.json

the JSON (--json FILE, or --json - for standard output), one frame a line, in frame order:
  {"video": "match.mp4", "fps": 25.0, "window": {"hue": [..], "chroma": [..], "intensity": [..]},
   "frames": [
    {"index": 0, "time": 0.0, "shapes": [{"shape": "circle", "x": 633, "y": 318, "r": 17,
                                          "inliers": 96, "warning": null}]},
    ...]}
  Only shapes that were found are listed; "time" is in seconds from the first frame, by the
  frames' own timestamps (a variable frame rate shows, and --out keeps it). Without --json a
  line per frame is printed instead. A file that ends before the frames it promises (a cut or
  damaged file) gives the frames that decoded, the key "incomplete" with the reason, a
  warning on standard error and exit status 3.

tracks (--track): each frame record also has
    "tracks": [{"id": 1, "state": "confirmed", "shape": "circle", "x": 633.2, "y": 318.1,
                "r": 17.0, "vx": 152.4, "vy": -3.1, "match": 0}, ...],
    "events": [{"event": "appeared", "id": 1}, ...]
  A new object gets the next id once it has been seen in 3 frames in a row; "x", "y", "r" are
  smoothed, "vx", "vy" in pixels per second, "match" the index of its shape in "shapes" (null
  while "lost": not seen in this frame, "x" and "y" are then where it is predicted). A lost
  track that is not seen again within 15 frames, or whose predicted centre leaves the frame,
  ends. Events: "appeared", "lost", "found", "ended". The tracks are computed over the records
  in frame order, so they too are the same for any split; --out also draws ids and trails.

files and pipes: frames are numbered in the order the decoder hands them out (presentation
  order, whatever order the packets and their timestamps come in). A FIFO or a device
  (e.g. VIDEO of /dev/stdin with a pipe) is read once, in one pass; --workers and --scheduler
  need a regular file.

clusters:
  --workers N starts N worker processes on this machine (a Dask LocalCluster, on 127.0.0.1)
  for this run. --scheduler ADDRESS joins a running cluster, for example one started with
      dask scheduler                      (prints tcp://HOST:8786)
      dask worker tcp://HOST:8786         (on every machine, in an environment with quorvane[video,dask])
  Every worker opens VIDEO itself at the same path (so the path must reach the same file on
  every machine, e.g. on a shared disk) and seeks to its range; only the records travel back.
  With --out, each task writes its stretch of the annotated video beside the output, and the
  stretches are joined without re-encoding. Ranges start at keyframes: a video with keyframes
  far apart cuts into few ranges. A task that fails is retried (--retries); if it still fails,
  the run stops with the frame range and the cause, and writes nothing. The workers' logs
  stay out of the terminal unless --verbose.

exit status: 0 done, 1 a task failed, 2 bad input (one line on standard error), 3 the video
ended before the frames it promised (the frames that decoded are written), 141 standard output
was closed early (e.g. by | head)."""


MAX_FRAME = (1 << 62) - 1  # frame indices of --frames and --chunk
MAX_WORKERS = 256  # --workers: processes started on this machine
MAX_RETRIES = 100


def register(subparsers) -> None:
    p = subparsers.add_parser(
        "video",
        help="find shapes in every frame of a video (one process or a Dask cluster)",
        description=DESCRIPTION,
        epilog=MODEL_HELP + "\n\n" + EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("video", metavar="VIDEO", help="a video file FFmpeg can read (needs quorvane[video])")
    add_window_options(p)
    add_fit_options(p)
    g = p.add_argument_group("video")
    g.add_argument(
        "--frames", nargs=2, type=whole(0, MAX_FRAME), metavar=("START", "STOP"),
        help="only frames START..STOP-1 (counting from 0); --box is read on frame START",
    )
    g.add_argument("--json", metavar="FILE",
                   help="write the records as JSON to FILE ('-': standard output)")
    g.add_argument("--out", metavar="VIDEO",
                   help="write the annotated video (H.264, else MPEG-4 part 2; .mp4 or .mkv)")
    g.add_argument("--track", action="store_true",
                   help="follow the circles and ellipses from frame to frame: ids, smoothed "
                   "centres, velocities and events in the records, ids and trails in --out")
    d = p.add_argument_group("cluster (needs quorvane[dask])")
    m = d.add_mutually_exclusive_group()
    m.add_argument("--workers", type=whole(1, MAX_WORKERS), metavar="N",
                   help=f"start a local cluster of N worker processes (1 to {MAX_WORKERS})")
    m.add_argument("--scheduler", metavar="ADDRESS",
                   help="use a running cluster, e.g. tcp://10.0.0.5:8786")
    d.add_argument(
        "--chunk", type=whole(1, MAX_FRAME), metavar="FRAMES",
        help="frames per task, rounded up to the next keyframe (default: four tasks per worker)",
    )
    d.add_argument("--retries", type=whole(0, MAX_RETRIES), default=2, metavar="N",
                   help=f"retries of a failed task (default 2, at most {MAX_RETRIES})")
    d.add_argument("--verbose", action="store_true", help="let the workers' logs through to standard error")
    p.set_defaults(run=run)


def _local_cluster(n: int, verbose: bool = False):
    from distributed import Client, LocalCluster

    level = logging.WARNING if verbose else logging.CRITICAL
    cluster = LocalCluster(
        n_workers=n, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address="127.0.0.1:0", silence_logs=level,
    )
    return cluster, Client(cluster)


def _needs_dask():
    try:
        import distributed  # noqa: F401
    except ImportError:
        raise VideoError(
            "--workers and --scheduler need Dask: python3 -m pip install 'quorvane[dask]'"
        ) from None


EXIT_INCOMPLETE = 3


def run(args) -> int:
    try:
        return _run(args)
    except VideoError as e:
        raise CliError(str(e)) from None
    except VideoTaskError as e:
        print(f"quorvane: error: {e}", file=sys.stderr)
        return EXIT_FAILED
    except BrokenPipeError:  # the reader went away (| head): end quietly
        quiet_stdout()
        return EXIT_PIPE
    except OSError as e:  # writing the outputs: disk full, no permission, ...
        where = f"{e.filename}: " if e.filename else ""
        raise CliError(f"{where}{e.strerror or _why(e)}") from None


@contextlib.contextmanager
def _quiet_logs(verbose: bool):
    """Keep Dask's client-side logging (a failed task's traceback) off the terminal."""
    if verbose:
        yield
        return
    loggers = [logging.getLogger(n) for n in ("distributed", "distributed.client", "distributed.worker",
                                                 "distributed.scheduler", "distributed.nanny")]
    levels = [lg.level for lg in loggers]
    for lg in loggers:
        lg.setLevel(logging.CRITICAL)
    try:
        yield
    finally:
        for lg, lv in zip(loggers, levels):
            lg.setLevel(lv)


def _run(args) -> int:
    _av()  # without PyAV: its one line before anything else
    for option in ("json", "out"):
        value = getattr(args, option)
        if value is not None and not (option == "json" and value == "-"):
            check_output(value, f"--{option}")
    clustered = args.workers is not None or args.scheduler is not None
    pipe = _is_pipe(args.video)
    if pipe and clustered:
        raise VideoError(f"{args.video}: is a pipe or a device, which can be read only once; "
                         "--workers and --scheduler need a regular file (leave them out to read it "
                         "here, in one pass)")
    info = None
    if pipe:
        if args.frames:
            _checks.frame_range(args.frames, name="--frames", error=VideoError)
        total = None
    else:
        info = probe_video(args.video)
        start, stop = _checks.frame_range(args.frames or (0, info.frames), info.frames, "--frames",
                                          args.video, VideoError)
        total = stop - start
    settings = {}

    def prepare(rgb):  # the options of `find`, built and checked as `find` does, on the first frame
        window = window_from_args(args, rgb)
        fit = fit_kwargs(args, rgb)
        settings["seed"] = fit.pop("seed", None)
        settings["window"] = window
        return window, fit

    if clustered:
        _needs_dask()

    cluster = client = None
    try:
        with _quiet_logs(args.verbose):
            if args.workers is not None:
                try:
                    cluster, client = _local_cluster(args.workers, args.verbose)
                except Exception as e:
                    raise VideoError(
                        f"cannot start a local cluster of {args.workers} workers: {_why(e)}"
                    ) from None
            elif args.scheduler is not None:
                from distributed import Client

                try:
                    client = Client(args.scheduler, timeout="10s")
                except (OSError, TimeoutError, ValueError) as e:
                    raise VideoError(f"cannot reach the scheduler at {args.scheduler}: {_why(e)}") from None
            with Progress(total or 0, "frames", enabled=False if total is None else None) as bar:
                result = _track(
                    args.video, prepare, args.fit, frames=args.frames, seed=args.seed, out=args.out,
                    client=client, chunk=args.chunk, retries=args.retries, progress=bar.update,
                    info=info, track=args.track,
                )
    finally:
        if client is not None:
            client.close()
        if cluster is not None:
            with _quiet_logs(args.verbose):
                cluster.close()

    text = dumps(result)
    if args.json == "-":
        sys.stdout.write(text)
        sys.stdout.flush()
    elif args.json is not None:
        try:
            with atomic_output(args.json, "w") as f:
                f.write(text)
        except (OSError, ValueError) as e:
            raise VideoError(f"cannot write {args.json}: {getattr(e, 'strerror', None) or e}") from None
    else:
        _print_summary(result, settings.get("window"), args.seed)
        sys.stdout.flush()
    if result.get("incomplete"):
        got = len(result["frames"])
        print(f"quorvane: warning: {args.video}: ended early: {result['incomplete']}; "
              f"the output holds the {got} frames that decoded", file=sys.stderr)
        return EXIT_INCOMPLETE
    return 0


def _print_summary(result: dict, window, seed) -> None:
    print(f"{result['video']}: {len(result['frames'])} frames at {result['fps']:g} fps; "
          f"window {Window(*window).flags()}; seed {seed}")
    for f in result["frames"]:
        shapes = "; ".join(_phrase(s) for s in f["shapes"]) or "nothing found"
        if "tracks" in f:  # --track
            from ..tracks import phrase

            shapes += phrase(f)
        print(f"frame {f['index']:6d}  {f['time']:10.3f} s  {shapes}")


def _phrase(rec: dict) -> str:
    kind = rec["shape"]
    if kind == "circle":
        where = f"circle ({rec['x']}, {rec['y']}) r {rec['r']}"
    elif kind == "ellipse":
        where = f"ellipse ({rec['x']:.1f}, {rec['y']:.1f}) {rec['a']:.1f} x {rec['b']:.1f}"
    elif kind == "line":
        where = f"line through ({rec['px']}, {rec['py']})"
    else:
        where = "line pair " + " / ".join(f"({l['px']}, {l['py']})" for l in rec["lines"])
    tail = f", {rec['inliers']} inliers"
    if rec.get("warning"):
        tail += f" ({rec['warning']})"
    return where + tail
