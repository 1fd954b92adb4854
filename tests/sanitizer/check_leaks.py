"""Reads the LeakSanitizer logs of a sanitizer test run and fails on any leak that our code
allocated. The interpreter keeps many objects alive until exit on purpose; those reports name
none of our source files and are passed over."""

import re
import sys
from pathlib import Path

OUR_SOURCES = re.compile(r"/(common|signal_core|modules|host|tools|tests/support)/[^ ]+\.(cpp|h)\b")


def leak_reports(text):
    """Each "Direct leak" or "Indirect leak" paragraph of a log."""
    return [block for block in re.split(r"\n(?=(?:Direct|Indirect) leak of )", text)
            if block.startswith(("Direct leak", "Indirect leak"))]


def main(log_dir):
    ours = []
    logs = sorted(Path(log_dir).glob("asan.*"))
    for log in logs:
        text = log.read_text(errors="replace")
        if "ERROR: AddressSanitizer" in text or "runtime error:" in text:
            ours.append(f"{log}:\n{text}")
            continue
        ours += [f"{log}:\n{report}" for report in leak_reports(text) if OUR_SOURCES.search(report)]
    for report in ours:
        print(report)
    print(f"sanitizer logs: {len(logs)} read, {len(ours)} findings in our code")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
