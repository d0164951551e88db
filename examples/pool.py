"""A program whose work runs in a thread pool.

    python -m spantree --threshold 1ms examples/pool.py   # a tree per thread
    python -m spantree --main-thread examples/pool.py     # the main thread alone

The main thread hands three downloads to a pool of two workers and waits for
them; each download waits on the network (a sleep) and then parses what it
got, so every worker's tree shows `download` above `parse`. Durations come from
sleeps, so the trees keep their shape from run to run.
"""

import time
from concurrent.futures import ThreadPoolExecutor


def parse(size):
    time.sleep(0.002 * size)  # stands for the parsing work
    return size * 100


def download(size):
    time.sleep(0.005)  # waiting on the network
    return parse(size)


def main():
    with ThreadPoolExecutor(2, thread_name_prefix="worker") as pool:
        return sum(pool.map(download, [1, 2, 3]))


if __name__ == "__main__":
    print("downloaded", main())
