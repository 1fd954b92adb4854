"""Mean and standard error with NumPy (the list's conversion included)."""

import math

import numpy as np


def _store(payload, mean, se):
    payload["stats"] = {"mean": mean, "se": se, "standardError": se}
    payload["mean"] = mean
    payload["se"] = payload["standardError"] = se


def arithmetic(payload):
    samples = np.asarray(payload["window"], dtype=np.float64)
    _store(payload, float(samples.mean()), float(samples.std() / math.sqrt(samples.size)))


def _about(samples, mean):
    # The standard error about the method's own mean, as the op defines it.
    return float(math.sqrt(np.mean(np.square(samples - mean)) / samples.size))


def harmonic(payload):
    samples = np.asarray(payload["window"], dtype=np.float64)
    mean = float(samples.size / np.sum(1.0 / samples[samples != 0]))
    _store(payload, mean, _about(samples, mean))


def geometric(payload):
    samples = np.asarray(payload["window"], dtype=np.float64)
    mean = float(np.exp(np.mean(np.log(samples))))
    _store(payload, mean, _about(samples, mean))


# Without weights in the payload the op's "weighted" is the plain mean, as is np.average's.
def weighted(payload):
    samples = np.asarray(payload["window"], dtype=np.float64)
    mean = float(np.average(samples))
    _store(payload, mean, _about(samples, mean))


METHODS = {"arithmetic": arithmetic, "weighted": weighted, "harmonic": harmonic,
           "geometric": geometric}
