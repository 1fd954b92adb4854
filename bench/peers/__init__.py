"""What a user who does not take the compiled ops writes in Python for the same steps.

Each function takes the payload dict and leaves in it what the op leaves (the keys the benchmark
compares), written as a competent Python developer would.
"""
