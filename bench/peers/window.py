"""Sliding windows: a dict of collections.deque, one per FIFO id."""

from collections import deque

_windows = {}


def fifo_window_buffer(payload):
    size = payload.get("windowSize", 0)
    window = _windows.get(payload["fifoId"])
    if window is None:
        window = _windows[payload["fifoId"]] = deque(maxlen=size or None)
    window.extend(payload["values"])
    payload["window"] = list(window)
