#!/usr/bin/env python3
"""A sound card with a clock of its own, for the audio drift test.

Writes signed 16-bit stereo samples into FIFO (read by PulseAudio's
module-pipe-source) at SPEED times the nominal RATE of the steady clock: 1.002
stands for a card 2000 ppm fast. A click (a 1 ms burst) marks the start of
every second of the steady clock, so in a recording that follows the steady
clock the clicks are exactly 1 s apart whatever the card's speed.

    drift_source.py FIFO SPEED SECONDS [RATE]
"""
import os
import struct
import sys
import time


def main():
    fifo, speed, seconds = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
    rate = int(sys.argv[4]) if len(sys.argv) > 4 else 48000
    real = rate * speed  # samples the card makes per second of the steady clock
    click_len = rate // 1000
    loud = struct.pack("<hh", 16000, 16000)
    quiet = struct.pack("<hh", 0, 0)
    out = os.open(fifo, os.O_WRONLY)
    start = time.monotonic()
    written = 0
    while True:
        now = time.monotonic() - start
        if now >= seconds:
            break
        due = int(now * real)
        if due > written:
            chunk = bytearray()
            for n in range(written, due):
                # Sample n is made at n / real seconds; a click starts at each whole second.
                k = round(n / real)
                start_of_click = round(k * real)
                chunk += loud if 0 <= n - start_of_click < click_len else quiet
            os.write(out, bytes(chunk))
            written = due
        time.sleep(0.005)
    os.close(out)


if __name__ == "__main__":
    main()
