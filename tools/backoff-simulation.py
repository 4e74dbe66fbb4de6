#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""What the collector sees when it comes back after an outage.

Simulates many clients that sync on the same interval while the collector answers every batch
with an error for a while, each client backing off as the tracker does: the interval doubled
for every further failure in a row, capped at the larger of the interval and one hour, each
delay with a random jitter of +-20 % (or none, for comparison). Once the collector is back, a
client's next attempt succeeds; it then sends the batches it kept back to back and goes on
syncing once per interval.

Prints the requests per second the collector receives after it comes back, for clients whose
syncs were spread over the interval when the outage began and for clients that synced within
the same few seconds (a fleet switched on together, or a network that came back at once).

    tools/backoff-simulation.py [--clients 1000000] [--interval 300] [--outage 3600]
"""

import argparse
import random

MAXIMUM_BACK_OFF = 3600  # seconds, as in the tracker


def first_success(phase, interval, outage, jitter, rng):
    """The time of a client's first attempt once the collector is back."""
    cap = max(interval, MAXIMUM_BACK_OFF)
    time, failures = phase, 0
    while time < outage:
        base = min(cap, interval * 2 ** min(failures, 32))
        failures += 1
        time += base * (0.8 + 0.4 * rng.random()) if jitter else base
    return time


def simulate(clients, interval, outage, spread, jitter, batches, window, seed):
    rng = random.Random(seed)
    returns = [0] * (window + 1)  # clients whose first attempt after the outage falls in each second
    last_back = 0.0
    for _ in range(clients):
        back = first_success(rng.random() * spread, interval, outage, jitter, rng)
        last_back = max(last_back, back)
        second = int(back - outage)
        if second <= window:
            returns[second] += 1
    # Each returning client sends its kept batches back to back, then one batch per interval.
    load = [count * batches for count in returns]
    for second, count in enumerate(returns):
        for later in range(second + interval, window + 1, interval):
            load[later] += count
    return load, last_back - outage


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--clients", type=int, default=1000000)
    parser.add_argument("--interval", type=int, default=300, help="sync interval in seconds")
    parser.add_argument("--outage", type=int, default=3600, help="seconds without the collector")
    parser.add_argument("--batches", type=int, default=12,
                        help="batches each client has kept by the end of the outage (one per missed interval)")
    parser.add_argument("--together", type=int, default=10,
                        help="seconds over which the clients of the second case synced")
    parser.add_argument("--seed", type=int, default=12)
    args = parser.parse_args()

    window = 2 * MAXIMUM_BACK_OFF
    normal = args.clients / args.interval
    print(f"{args.clients} clients, sync interval {args.interval} s, outage {args.outage} s, "
          f"{args.batches} kept batches each; normal load {normal:.0f} requests/s\n")
    print(f"{'syncs when the outage began':<34} {'jitter':<7} {'peak req/s':>11} {'at s':>6} "
          f"{'peak / normal':>14} {'all back after s':>17}")
    for label, spread in ((f"spread over the interval", args.interval),
                          (f"within {args.together} s", args.together)):
        for jitter in (False, True):
            load, all_back = simulate(args.clients, args.interval, args.outage, spread, jitter, args.batches,
                                      window, args.seed)
            peak = max(load)
            print(f"{label:<34} {'+-20 %' if jitter else 'none':<7} {peak:>11} {load.index(peak):>6} "
                  f"{peak / normal:>14.1f} {all_back:>17.0f}")


if __name__ == "__main__":
    main()
