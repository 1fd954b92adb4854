"""One CSV row with the csv module: a header when the file is new or empty."""

import csv
import os


def csv_sink(payload):
    path = payload["csvPath"]
    row = payload["stats"]
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    header_due = not os.path.exists(path) or os.path.getsize(path) == 0
    with open(path, "a", newline="") as file:
        writer = csv.writer(file, lineterminator="\n")
        if header_due:
            writer.writerow(row.keys())
        writer.writerow(row.values())
    payload["status"] = "handled via csv://" + path
