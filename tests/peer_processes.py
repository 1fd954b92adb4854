"""Helpers for the processes a test starts that are not ours."""

import os

SANITIZER_VARIABLES = ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")


def peer_environment():
    """The environment for processes that are not ours (test servers, a second database user):
    in a sanitizer run they need neither the sanitizer runtime nor its slow allocator."""
    return {name: value for name, value in os.environ.items() if name not in SANITIZER_VARIABLES}
