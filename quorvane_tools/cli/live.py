"""`quorvane live SOURCE`: the shapes in a camera or a stream as the frames arrive, one JSON
record a line on standard output."""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import signal
import stat
import sys
import threading
import time

from ..live import Live, LiveError, open_publisher, parse_source, view_server
from ._errors import EXIT_FAILED, EXIT_PIPE, CliError
from ._options import MODEL_HELP, add_fit_options, add_window_options, fit_kwargs, port, window_from_args
from ._output import quiet_stdout


DESCRIPTION = """\
Find shapes of one colour in a camera or a stream, frame by frame, as the frames arrive.

A capture thread keeps only the newest decoded frame; the search always takes that one, so a
frame never waits behind another and the latency stays bounded however slow this machine is.
Frames it had no time for are dropped and counted. One JSON line per searched frame goes to
standard output at once (and to --publish targets); a summary line goes to standard error at
the end (Ctrl+C, the end of a file, or --stop-after)."""

EPILOG = """\
sources:
  /dev/video0, 0          a V4L2 camera (PyAV; --backend opencv for OpenCV's capture);
                          --option video_size=640x480 --option framerate=30 --option input_format=mjpeg
  rtsp://HOST/PATH        RTSP (--option rtsp_transport=tcp over lossy links)
  http://HOST/stream.mjpg an MJPEG camera over HTTP, or MPEG-TS over HTTP
  udp://127.0.0.1:5000    MPEG-TS sent to this port (also srt://, tcp://, rtp://)
  clip.mp4                a file: every frame in turn; --realtime plays it at its frame rate
  --format NAME and --option KEY=VALUE go to FFmpeg's demuxer and protocol.

the record, one JSON line per searched frame:
  {"frame": 1234, "time": 1765300000.123456, "stream_time": 41.133, "latency_ms": 2.41,
   "dropped": 12, "stages_ms": {"wait": 0.02, "convert": 0.41, "bounds": 0.01, "mask": 0.35,
   "edges": 0.2, "denoise": 0.06, "fit": 0.3, "remove": 0.0},
   "shapes": [{"shape": "circle", "x": 331, "y": 208, "r": 17, "inliers": 96, "warning": null}]}
  "frame" counts every decoded frame from 0 (across reconnections); "time" is when it was
  decoded (seconds since 1970); "latency_ms" runs from decoded to written; "dropped" counts the
  frames up to this one that were not searched; "shapes" lists the shapes found, as in
  `quorvane find --json`.

tracks (--track; --track-option KEY=VALUE sets a tracker parameter, e.g. max_lost=30):
  each record also has "tracks" and "events" as in `quorvane video --track` (ids, smoothed
  centres, "vx" and "vy" in pixels per second, "appeared", "lost", "found", "ended"), and
  "stages_ms" a "track" stage; --view draws ids and trails on the frame. Velocities come from
  the frames' real times: when a camera's or a stream's frame was decoded, a file's own
  timestamps. Dropped frames are not seen by the tracker: max_lost counts searched frames.

publishing (each record as it is written):
  --publish udp://HOST:PORT             one datagram per record
  --publish mqtt://HOST[:PORT]/TOPIC    MQTT (needs quorvane[live]); ?qos=1 and ?retain=1 allowed

streams that fail: the source must answer within --open-timeout and keep sending within
  --read-timeout; when it stops, it is opened again after 0.25, 0.5, 1, 2, 4, then every 8 s
  (said on standard error) until it is back, or for --retry-for seconds.

exit status: 0 the source ended, or Ctrl+C or SIGTERM (a summary line on standard error); 1 the
stream was lost for good; 2 bad input (one line on standard error); 141 standard output was
closed early (e.g. by | head)."""


def _float_type(accepts, need: str):
    """An argparse type: a finite number that ``accepts`` takes, else '<text>: <need>'."""
    def parse(text):
        try:
            v = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid number {text!r}") from None
        if not (accepts(v) and math.isfinite(v)):
            raise argparse.ArgumentTypeError(f"{text!r}: {need}")
        return v
    return parse


_positive_float = _float_type(lambda v: v > 0, "give a positive number")
_seconds_or_more = _float_type(lambda v: v >= 0, "give 0 or more seconds")


def _count(text):
    try:
        v = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number {text!r}") from None
    if not 1 <= v <= 2**31 - 1:
        raise argparse.ArgumentTypeError(f"{text!r}: give a whole number from 1 to {2**31 - 1}")
    return v


def _option(text):
    key, sep, value = text.partition("=")
    if not sep or not key:
        raise argparse.ArgumentTypeError(f"{text!r}: give KEY=VALUE")
    return key, value


def register(subparsers) -> None:
    p = subparsers.add_parser(
        "live",
        help="find shapes in a camera or a stream as the frames arrive; records out at once",
        description=DESCRIPTION,
        epilog=MODEL_HELP + "\n\n" + EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("source", metavar="SOURCE",
                   help="a camera (/dev/video0 or 0), a stream URL, or a video file (needs quorvane[live])")
    add_window_options(p)
    add_fit_options(p)
    g = p.add_argument_group("source")
    g.add_argument("--format", metavar="NAME", help="FFmpeg demuxer to use (e.g. mpegts, mjpeg, video4linux2)")
    g.add_argument("--option", action="append", type=_option, default=[], metavar="KEY=VALUE",
                   help="an option for the demuxer or protocol; repeat for more")
    g.add_argument("--backend", choices=("pyav", "opencv"), help="how to read a camera (default pyav)")
    g.add_argument("--realtime", action="store_true",
                   help="play a file at its own frame rate, dropping frames like a camera")
    g.add_argument("--open-timeout", type=_positive_float, default=10.0, metavar="S",
                   help="seconds to wait for the source to answer (default 10)")
    g.add_argument("--read-timeout", type=_positive_float, default=5.0, metavar="S",
                   help="seconds without data before a stream counts as lost (default 5)")
    g.add_argument("--retry-for", type=_seconds_or_more, metavar="S",
                   help="give up when a lost stream is not back after S seconds (default: never)")
    w = p.add_argument_group("work and output")
    w.add_argument("--every", type=_count, default=1, metavar="N", help="search at most one frame in N")
    w.add_argument("--max-fps", type=_positive_float, metavar="F", help="search at most F frames a second")
    w.add_argument("--stop-after", type=_count, metavar="N", help="stop after N records")
    w.add_argument("--publish", action="append", default=[], metavar="URL",
                   help="also send each record to udp://HOST:PORT or mqtt://HOST[:PORT]/TOPIC; repeat for more")
    t = p.add_argument_group("tracks")
    t.add_argument("--track", action="store_true",
                   help="follow the circles and ellipses from frame to frame: ids, smoothed centres, "
                   "velocities and events in every record, ids and trails in --view")
    t.add_argument("--track-option", action="append", type=_option, default=[], metavar="KEY=VALUE",
                   help="a tracker parameter (e.g. max_lost=30, gate=2; see README's Tracks); "
                   "implies --track; repeat for more")
    v = p.add_argument_group("view")
    v.add_argument("--view", action="store_true",
                   help="serve the tune page on the live stream (127.0.0.1): the newest annotated "
                   "frame, sliders that change the window from the next frame on")
    v.add_argument("--port", type=port, default=0, metavar="N", help="port of the view (default 0: any free one)")
    p.set_defaults(run=run)


def _say(text: str) -> None:
    print(f"quorvane live: {text}", file=sys.stderr, flush=True)


def _summary_line(s: dict) -> str:
    lat = s["latency_ms"]
    tail = ""
    if lat["p50"] is not None:
        tail = f"; latency p50 {lat['p50']:.1f} ms, p95 {lat['p95']:.1f} ms, p99 {lat['p99']:.1f} ms"
    again = f", {s['reconnects']} reconnections" if s["reconnects"] else ""
    if "tracks" in s:
        again += f", {s['tracks']} track" + ("s" if s["tracks"] != 1 else "")
    return (f"{s['searched']} frames searched of {s['decoded']} decoded ({s['dropped']} dropped) "
            f"in {s['seconds']:.1f} s{again}{tail}")


class _Stop(Exception):
    """SIGTERM: end like Ctrl+C."""


def run(args) -> int:
    try:
        return _run(args)
    except LiveError as e:
        raise CliError(str(e)) from None


def _run(args) -> int:
    for key, _ in args.option:
        if not re.fullmatch(r"[A-Za-z0-9_:.-]{1,64}", key):
            raise LiveError(f"--option {key}=...: not an option name")
    source = parse_source(args.source, args.format, dict(args.option), args.backend)
    if args.realtime and source.kind != "file":
        raise LiveError("--realtime is for files; cameras and streams come in real time already")
    track = args.track
    if args.track_option:
        from ..tracks import Tracker, parse_options  # loaded by the runs that track

        try:
            track = parse_options(args.track_option)
        except ValueError as e:
            raise LiveError(f"--track-option {e}") from None
        try:
            Tracker(**track)
        except ValueError as e:
            raise LiveError(f"--track-option: {e}") from None
    publishers = []
    stream = server = None
    out = sys.stdout
    old_term = None
    try:
        for url in args.publish:
            publishers.append(open_publisher(url))

        def prepare(rgb):  # the options of `find`, built and checked as `find` does, on the first frame
            return window_from_args(args, rgb), fit_kwargs(args, rgb)

        seed = args.seed
        stream = Live(source, None, args.fit, prepare=prepare,
                      realtime=args.realtime, every=args.every, max_fps=args.max_fps, seed=seed,
                      open_timeout=args.open_timeout, read_timeout=args.read_timeout,
                      retry_for=args.retry_for, log=_say, track=track)
        if args.view:
            server = _start_view(stream, args)
        _say(f"{source.text}: {stream.width} x {stream.height}"
             + (f" at {stream.rate:.3g} frames/s" if stream.rate and source.kind == "file" else "")
             + f"; window {stream.window.flags()}; seed {seed}" + ("; tracking" if track else "")
             + "; one JSON line per frame on standard output")
        reader_behind = _small_pipe(out)
        if threading.current_thread() is threading.main_thread():
            def on_term(signum, frame):
                raise _Stop()
            old_term = signal.signal(signal.SIGTERM, on_term)
        try:
            for result in stream.results():
                if server is not None:
                    server.app.show(result)
                line = json.dumps(result.record, separators=(", ", ": "), allow_nan=False)
                try:
                    out.write(line + "\n")
                    out.flush()
                except BrokenPipeError:  # the reader went away (| head): end quietly
                    quiet_stdout()
                    return EXIT_PIPE
                data = line.encode()
                for pub in publishers:
                    pub.send(data)
                if args.stop_after is not None and stream.searched >= args.stop_after:
                    break
                if reader_behind is not None:
                    reader_behind()  # the next frame is taken when the reader has this record
        except (KeyboardInterrupt, _Stop):
            pass
        except LiveError as e:  # the stream was lost for good
            stream.close()
            _say(_summary_line(stream.summary()))
            print(f"quorvane: error: {e}", file=sys.stderr)
            return EXIT_FAILED
        stream.close()
        _say(_summary_line(stream.summary()))
    finally:
        if old_term is not None:
            signal.signal(signal.SIGTERM, old_term)
        if stream is not None:
            stream.close()
        if server is not None:
            server.shutdown()
            server.server_close()
        for pub in publishers:
            pub.close()
    return 0


def _small_pipe(out):
    """Standard output into a pipe: the pipe's buffer would be a queue in front of a slow
    reader. Keep it to one page and return a function that waits until the reader has taken
    what was written, so that the next frame searched is the newest when the reader wants it
    (a reader that takes 100 ms per record gets records 100 ms plus at most a frame time
    old). None for a file or a terminal."""
    try:
        import array
        import fcntl
        import termios

        fd = out.fileno()
        if not stat.S_ISFIFO(os.fstat(fd).st_mode):
            return None
        try:
            fcntl.fcntl(fd, getattr(fcntl, "F_SETPIPE_SZ", 1031), 4096)
        except OSError:
            pass
        pending = array.array("i", [0])
        fcntl.ioctl(fd, termios.FIONREAD, pending)
    except (OSError, ValueError, AttributeError, ImportError):
        return None

    def wait():
        while True:
            try:
                fcntl.ioctl(fd, termios.FIONREAD, pending)
            except OSError:
                return
            if pending[0] == 0:
                return
            time.sleep(0.0005)

    return wait


def _start_view(stream, args):
    try:
        server = view_server(stream, "127.0.0.1", args.port)
    except OSError as e:
        raise LiveError(f"--view: cannot listen on 127.0.0.1 port {args.port}: {e.strerror or e}") from None
    threading.Thread(target=server.serve_forever, name="quorvane-view", daemon=True).start()
    _say(f"view at {server.url}")
    return server
