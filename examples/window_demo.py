"""A short window pipeline through the corrivan host: each step feeds a chunk of samples into
the named sliding window "demo" and prints the window the op hands back."""

import corrivan
import _kelvara  # noqa: F401  (importing a module registers its ops with the host)

CHUNKS = [[7.01, 7.02], [7.05], [6.98, 7.00, 7.03], [7.04], [6.99, 7.02]]


def main():
    print(f"ops registered with the host: {', '.join(corrivan.ops())}")
    for step, chunk in enumerate(CHUNKS, start=1):
        # "sampleChunk": the new samples; "windowSize": how many of the latest to keep;
        # "fifoId": which window (windows live as long as the process).
        payload = {"sampleChunk": chunk, "windowSize": 4, "fifoId": "demo"}
        window = corrivan.call("fifo_window_buffer", payload)["window"]
        print(f"step {step}: added {chunk} -> window {window}")


if __name__ == "__main__":
    main()
