#!/usr/bin/env python3
"""Reads back a recording that Grabvid made of the busy screen and clicks of
capture/tests/grabvid-driver.sh, against what really happened on the steady
clock (CLOCK_MONOTONIC): when the player heard each click and flashed its
square, when the test pressed start, changed the desktop and restored the
window.

  recording_check.py resize FILE PROBE FACTS PLAYER_LOG
      the screen went from 1920x1080 to 1280x720 at change1_at and back at
      change2_at
  recording_check.py sound-server FILE PROBE FACTS PLAYER_LOG NEW_PLAYER_LOG
      the sound server was stopped at killed_at and started again; the new
      player's clicks follow

FACTS holds name=value lines (steady times in seconds). PROBE is
vardel_sync_probe. Prints what it measured; every way the file differs from
what the user did is a line "e2e: FAIL: ..."; exits 1 if there is any.

The recording's first moment t0 comes from the sound: a click heard at steady
time HEARD lies in the file at HEARD - t0. The first picture's clock (the
pattern's Gray-coded wall clock) only tells which of the player's clicks is
the file's first, clicks being a second apart.
"""
import json
import os
import statistics
import subprocess
import sys

FPS = 30  # the high profile
FRAME = 1.0 / FPS
SQUARE = (0, 0, 0)  # the flashing square on screen, from the facts
PATTERN_WIDTH = 0  # how far right the busy pattern reaches, from the facts
BLUE = 60  # the desktop's plain colour (#3a6ea5) has luma 102; black is 16
BLACK = 20

problems = []


def problem(text):
    print(f"e2e: FAIL: {text}", flush=True)
    problems.append(text)


def info(text):
    print(f"e2e: {text}", flush=True)


def output(args, env=None):
    return subprocess.run(args, check=True, capture_output=True, timeout=120, env=env).stdout


def read_facts(path):
    global SQUARE, PATTERN_WIDTH
    facts = {}
    with open(path) as f:
        for line in f:
            name, _, value = line.strip().partition("=")
            if value:
                facts[name] = float(value)
    SQUARE = (int(facts["square_x"]), int(facts["square_y"]), int(facts["square_size"]))
    PATTERN_WIDTH = int(facts["pattern_width"])
    return facts


def read_player(path):
    """The player's flashes: (heard, shown) per click, in its order."""
    flashes = []
    with open(path) as f:
        for line in f:
            words = line.split()
            if len(words) == 4 and words[0] == "click":
                flashes.append((float(words[2]), float(words[3])))
    return flashes


class File:
    def __init__(self, path):
        self.path = path
        probe = json.loads(output(["ffprobe", "-v", "error", "-show_entries",
                                   "format=duration:stream=codec_type,width,height",
                                   "-of", "json", path]))
        self.duration = float(probe["format"]["duration"])
        video = [s for s in probe["streams"] if s["codec_type"] == "video"]
        self.has_audio = any(s["codec_type"] == "audio" for s in probe["streams"])
        self.width, self.height = (video[0]["width"], video[0]["height"]) if video else (0, 0)
        # Every packet: its stream's kind, time and length (a picture's
        # packet may have none: it lasts a frame).
        self.pictures, self.audio_end, self.video_end = [], 0.0, 0.0
        packets = output(["ffprobe", "-v", "error", "-show_entries",
                          "packet=codec_type,pts_time,duration_time", "-of", "csv=p=0", path]).decode()
        for line in packets.split():
            kind, pts, duration = (line.split(",") + ["", "", ""])[:3]
            if pts in ("", "N/A"):
                continue
            end = float(pts) + (float(duration) if duration not in ("", "N/A") else FRAME)
            if kind == "video":
                self.pictures.append(float(pts))
                self.video_end = max(self.video_end, end)
            elif kind == "audio":
                self.audio_end = max(self.audio_end, end)
        self.pictures.sort()

    def luma(self, at):
        """The luma plane of the picture a player shows at `at` s."""
        raw = output(["ffmpeg", "-nostdin", "-v", "error", "-ss", f"{at:.3f}", "-i", self.path,
                      "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"])
        return Plane(raw[: self.width * self.height], self.width, self.height)


class Plane:
    def __init__(self, data, width, height):
        self.data, self.width, self.height = data, width, height

    def mean(self, x0, y0, x1, y1):
        """Mean luma of the rectangle [x0, x1) x [y0, y1)."""
        total = 0
        for y in range(y0, y1):
            row = y * self.width
            total += sum(self.data[row + x0: row + x1])
        return total / max(1, (x1 - x0) * (y1 - y0))

    def clock_ms(self):
        """vardel_pattern's wall clock (ms modulo 2^24), from its 24 Gray-
        coded blocks of 40 pixels along the top edge, white = 1."""
        gray = 0
        for b in range(24):
            gray = gray << 1 | (self.mean(b * 40 + 15, 15, b * 40 + 25, 25) > 128)
        value, shift = gray, gray >> 1
        while shift:
            value ^= shift
            shift >>= 1
        return value


def sync_probe(probe, path, square):
    """vardel_sync_probe's clicks (file time, offset s; NaN unpaired) and
    holes (file time, length s)."""
    env = dict(os.environ, VARDEL_PROBE_EACH="1")
    text = output([probe, path, ",".join(map(str, square))], env=env).decode()
    clicks, holes = [], []
    for line in text.splitlines():
        words = line.split()
        if len(words) == 3 and words[0] == "click":
            clicks.append((float(words[1]), float(words[2]) / 1000))
        elif len(words) == 3 and words[0] == "hole":
            holes.append((float(words[1]), float(words[2]) / 1000))
    return clicks, holes


def holes_of(recording, holes):
    """The probe's holes, and the sound's end when it ends well before the
    pictures do (by more than the stop's own edge): a stretch without the
    tone as well."""
    if recording.pictures and recording.audio_end < recording.pictures[-1] - 0.1:
        holes = holes + [(recording.audio_end, recording.pictures[-1] - recording.audio_end)]
    return holes


def first_moment(recording, facts, clicks, flashes, early_until):
    """t0: HEARD - c over the file's clicks before `early_until` (steady time),
    each paired with the player's click near where the first picture's clock
    puts it."""
    first = recording.luma(recording.pictures[0] if recording.pictures else 0)
    wall_at_start = (facts["started_at"] + facts["real_minus_mono"]) * 1000
    ahead = (first.clock_ms() - wall_at_start) % (1 << 24)
    if ahead >= 1 << 23:
        ahead -= 1 << 24
    guess = facts["started_at"] + ahead / 1000 - (recording.pictures[0] if recording.pictures else 0)
    info(f"the first picture shows the clock {ahead / 1000:.3f} s after the start was pressed")
    if not -0.1 <= ahead / 1000 <= 3:
        problem(f"the first picture shows the screen {ahead / 1000:.3f} s after the start was pressed")
    pairs = []
    for c, _ in clicks:
        if guess + c > early_until - 0.3:
            continue
        near = [h for h, _ in flashes if abs(h - (guess + c)) < 0.45]
        if len(near) == 1:
            pairs.append(near[0] - c)
    if not pairs:
        problem("no click of the recording's first seconds matches a click the player played then")
        return guess
    t0 = statistics.median(pairs)
    info(f"first moment from {len(pairs)} click(s): steady {t0:.3f} "
         f"({t0 - facts['started_at']:.3f} s after the start was pressed; spread "
         f"{(max(pairs) - min(pairs)) * 1000:.1f} ms)")
    return t0


def check_length(recording, facts, t0):
    """Pictures and sound both play until the stop (the restore), within
    0.2 s: their ends on the steady clock are t0 plus their ends in the file."""
    stop = facts["restored_at"] - t0
    info(f"the recording lasted until {stop:.3f} s of the file; the pictures end at "
         f"{recording.video_end:.3f} s, the sound at {recording.audio_end:.3f} s "
         f"(the header says {recording.duration:.3f} s)")
    for name, end in (("pictures", recording.video_end), ("sound", recording.audio_end)):
        if abs(end - stop) > 0.2:
            verb = "ends" if name == "sound" else "end"
            problem(f"the {name} {verb} at {end:.3f} s of the file, the recording at {stop:.3f} s")


def check_clicks(file_clicks, t0, heard_spans, pictures):
    """Every click a player played while recording (its flashes between the
    steady times lo and hi of each span, from the first picture on) is in
    the file where it was heard
    (within 0.1 s), paired with its flash within -45..+60 ms (a frame more
    allowed for the picture: the flash was on screen up to a frame before the
    first picture that shows it). file_clicks: the probe's (file time,
    offset) of each click, from a run whose square stands where the screen
    showed it; the offset is counted from when its flash was on screen."""
    heard = [(h, s) for flashes, lo, hi in heard_spans for h, s in flashes if lo < h < hi]
    offsets, unseen = [], []
    for h, s in heard:
        at = h - t0
        found = [c for c in file_clicks if abs(c[0] - at) < 0.1]
        if not found and pictures and at > pictures[-1]:
            unseen.append(at)  # the probe reads clicks only where there are pictures
            continue
        if not found:
            problem(f"the click heard at {at:.3f} s of the recording is not in the file")
            continue
        c, offset = found[0]
        if offset != offset:  # NaN
            problem(f"the click at {c:.3f} s has no flash in the pictures")
            continue
        offset += s - h
        offsets.append(offset)
        if offset < -0.045:
            problem(f"at {c:.3f} s the sound leads the picture by {-offset * 1000:.1f} ms")
        if offset + FRAME > 0.060:
            problem(f"at {c:.3f} s the sound lags the picture by {offset * 1000:.1f} ms (+ a frame)")
    if unseen:
        problem(f"{len(unseen)} clicks come after the last picture ({pictures[-1]:.3f} s): "
                + ", ".join(f"{a:.3f}" for a in unseen) + " s")
    if offsets:
        info(f"{len(offsets)} of {len(heard)} clicks with their flashes: sound minus picture "
             f"{min(offsets) * 1000:.1f} / {statistics.median(offsets) * 1000:.1f} / "
             f"{max(offsets) * 1000:.1f} ms (min / median / max)")


def read_stalls(path):
    """The stretches (steady seconds) in which the X server answered nothing,
    as vardel_pattern --stalls logs them."""
    stalls = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3 and parts[0] == "stall":
                stalls.append((float(parts[1]), float(parts[2])))
    return stalls


def resize(path, probe, facts_path, player_log, pattern_log):
    facts = read_facts(facts_path)
    flashes = read_player(player_log)
    recording = File(path)
    if (recording.width, recording.height) != (1920, 1080):
        problem(f"the pictures are {recording.width}x{recording.height}, not 1920x1080")
    if not recording.pictures or not recording.has_audio:
        problem("the file has no pictures or no sound")
        return
    full = SQUARE
    small = (SQUARE[0] + 320, SQUARE[1] + 180, SQUARE[2])  # 1280x720 centred in 1920x1080
    clicks_full, holes = sync_probe(probe, path, full)
    holes = holes_of(recording, holes)
    clicks_small, _ = sync_probe(probe, path, small)
    t0 = first_moment(recording, facts, clicks_full, flashes, facts["change1_at"])
    changes = [facts["change1_at"] - t0, facts["change2_at"] - t0]
    end = facts["restored_at"] - t0
    info(f"the screen changed at {changes[0]:.3f} s and {changes[1]:.3f} s; restored at {end:.3f} s")
    check_length(recording, facts, t0)

    # Every frame slot after the first second has a picture (the pattern
    # changes every 20 ms), but for one slot at most at each change, and
    # those in which the X server stood still: nothing could be drawn then
    # (the server repaints a screen that changed size for some 20 to 100 ms),
    # so the screen did not change and a change-driven recording sends no
    # picture. A slot counts as in a stand-still when it lies within a frame
    # of one (t0 comes from the sound, which may be that far off the picture).
    # Slots are counted from the first picture, up to the last one that
    # begins before the stop.
    origin = recording.pictures[0]
    slots = {round((t - origin) * FPS) for t in recording.pictures}
    last = int((end - origin) * FPS) - 1
    missing = [k for k in range(FPS, last + 1) if k not in slots]

    def spans(ks):
        runs = []
        for k in ks:
            if runs and k == runs[-1][1] + 1:
                runs[-1][1] = k
            else:
                runs.append([k, k])
        return ", ".join(f"{origin + a * FRAME:.3f}" + (f"..{origin + b * FRAME:.3f}" if b > a else "")
                         for a, b in runs)

    stalls = [(a - t0, b - t0) for a, b in read_stalls(pattern_log)]
    still = [k for k in missing
             if any(a - FRAME <= origin + k * FRAME <= b + FRAME for a, b in stalls)]
    lost = [k for k in missing if k not in still]
    excused = set()
    for change in changes:
        near = [k for k in lost if abs(origin + k * FRAME - change) < 0.3]
        if len(near) == 1:
            excused.update(near)
    if len(lost) > len(excused):
        problem(f"{len(lost)} frame slots without a picture while the screen changed, at {spans(lost)} s "
                f"(one is let pass at each change, at {changes[0]:.3f} and {changes[1]:.3f} s)")
    info(f"{len(recording.pictures)} pictures; of the frame slots {origin + FPS * FRAME:.3f}.."
         f"{origin + last * FRAME:.3f} s, {len(missing)} without a picture, "
         f"{len(still)} of them while the X server stood still "
         f"({', '.join(f'{a:.3f}..{b:.3f}' for a, b in stalls) or 'never'})")

    # The pictures: the screen 1:1, the smaller one centred with black around.
    def check_picture(at, screen_w, screen_h):
        if not any(abs(t - at) < 2 * FRAME for t in recording.pictures):
            problem(f"no picture at {at:.2f} s to show the {screen_w}x{screen_h} screen "
                    f"(the pictures end at {recording.pictures[-1]:.3f} s)")
            return
        plane = recording.luma(at)
        ox, oy = (1920 - screen_w) // 2, (1080 - screen_h) // 2
        where = f"the picture at {at:.2f} s ({screen_w}x{screen_h} screen)"
        bars = []
        if oy > 0:
            bars += [("top", (0, 0, 1920, oy - 4)), ("bottom", (0, oy + screen_h + 4, 1920, 1080))]
        if ox > 0:
            bars += [("left", (0, oy, ox - 4, oy + screen_h)), ("right", (ox + screen_w + 4, oy, 1920, oy + screen_h))]
        for name, r in bars:
            m = plane.mean(*r)
            if m >= BLACK:
                problem(f"{where}: the {name} bar is not black (mean luma {m:.0f})")
        # The desktop just inside each edge of the screen, and the pattern's
        # right edge (the desktop begins at x = pattern_width): in their
        # places only if the screen is drawn 1:1 at (ox, oy).
        pw = PATTERN_WIDTH
        blue = {"top": (pw + 40, 4, screen_w - 20, 16),
                "bottom": (pw + 40, screen_h - 16, screen_w - 20, screen_h - 4),
                "right": (screen_w - 16, 20, screen_w - 4, screen_h - 20),
                "desktop": (pw + 4, 20, pw + 16, SQUARE[1] - 20)}
        for name, (x0, y0, x1, y1) in blue.items():
            m = plane.mean(x0 + ox, y0 + oy, x1 + ox, y1 + oy)
            if m < BLUE:
                problem(f"{where}: the desktop is not at its {name} edge (mean luma {m:.0f})")
        # Left of the desktop: the pattern's black, under the moving square's row.
        m = plane.mean(pw - 30 + ox, 340 + oy, pw - 6 + ox, 480 + oy)
        if m >= 40:
            problem(f"{where}: the pattern's edge is not in its place (mean luma {m:.0f} left of it)")
        clock = plane.mean(ox, oy, ox + 900, oy + 40)
        if clock < BLACK:
            problem(f"{where}: the pattern's clock is not in its place (mean luma {clock:.0f})")

    for at in (min(1.5, changes[0] - 0.5), changes[1] + (end - changes[1]) / 2):
        check_picture(at, 1920, 1080)
    for part in (0.25, 0.5, 0.75):
        check_picture(changes[0] + (changes[1] - changes[0]) * part, 1280, 720)

    # Lip sync on both sides of each change: each click from the run whose
    # square stands where the screen showed it then.
    def offset_of(c):
        clicks = clicks_small if changes[0] < c < changes[1] else clicks_full
        found = [x for x in clicks if abs(x[0] - c) < 0.001]
        return found[0] if found else (c, float("nan"))

    check_clicks([offset_of(c) for c, _ in clicks_full], t0,
                 [(flashes, t0 + origin + 0.02, facts["restored_at"] - 0.05)], recording.pictures)

    # The tone has no hole, but for one at a change.
    for at, seconds in holes:
        if all(abs(at - c) > 0.3 and abs(at + seconds - c) > 0.3 for c in changes):
            problem(f"the sound drops out for {seconds * 1000:.0f} ms at {at:.3f} s")
    info(f"{len(holes)} hole(s) in the sound: "
         + (", ".join(f"{s * 1000:.0f} ms at {a:.3f} s" for a, s in holes) or "none"))


def sound_server(path, probe, facts_path, player_log, new_player_log):
    facts = read_facts(facts_path)
    flashes, new_flashes = read_player(player_log), read_player(new_player_log)
    recording = File(path)
    if not recording.pictures or not recording.has_audio:
        problem("the file has no pictures or no sound")
        return
    clicks, holes = sync_probe(probe, path, SQUARE)
    holes = holes_of(recording, holes)
    t0 = first_moment(recording, facts, clicks, flashes, facts["killed_at"])
    killed = facts["killed_at"] - t0
    check_length(recording, facts, t0)

    # One hole: from the server's stop until the new player's first sample,
    # played a second before its first click (vardel_sync_source clicks at
    # 1 s + k s + (k mod 5) * 7 ms of its stream).
    back = new_flashes[0][0] - 1.0 - t0 if new_flashes else float("nan")
    info(f"the server stopped at {killed:.3f} s; the new player's sound began at {back:.3f} s")
    info(f"{len(holes)} hole(s) in the sound: "
         + (", ".join(f"{s * 1000:.0f} ms at {a:.3f} s" for a, s in holes) or "none"))
    if len(holes) != 1:
        problem(f"{len(holes)} holes in the sound, not one")
    hole = min(holes, key=lambda h: abs(h[0] - killed), default=None)
    if hole is not None:
        if abs(hole[0] - killed) > 0.1:
            problem(f"the sound stops at {hole[0]:.3f} s, not at {killed:.3f} s where the server was stopped")
        if hole[0] + hole[1] >= recording.pictures[-1] - 0.01:
            problem("the sound does not come back after the server's stop")
        elif not abs(hole[0] + hole[1] - back) <= 0.1:
            problem(f"the sound comes back at {hole[0] + hole[1]:.3f} s, not at {back:.3f} s "
                    "where the new player's sound began")
    for at, seconds in holes:
        if hole is not None and at != hole[0]:
            problem(f"the sound also drops out for {seconds * 1000:.0f} ms at {at:.3f} s")

    # Every click with its flash, before the stop and after the return.
    check_clicks(clicks, t0, [(flashes, t0 + recording.pictures[0] + 0.02, facts["killed_at"] - 0.05),
                                    (new_flashes, facts["restarted_at"], facts["restored_at"] - 0.05)],
                 recording.pictures)


def main():
    if len(sys.argv) == 7 and sys.argv[1] == "resize":
        resize(*sys.argv[2:])
    elif len(sys.argv) == 7 and sys.argv[1] == "sound-server":
        sound_server(*sys.argv[2:])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
