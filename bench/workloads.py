"""The benchmark's workloads: each takes about 0.1 s untraced at size 1.0;
the quick mode runs them at a small fraction of that."""

import asyncio
import math
import threading


def recursive(size):
    def fib(n):
        return n if n < 2 else fib(n - 1) + fib(n - 2)

    return fib(30 + round(math.log2(size)))


class Account:
    def __init__(self, owner):
        self.owner = owner
        self.entries = []
        self.tags = {}

    def deposit(self, amount):
        if not isinstance(amount, int):
            raise TypeError(amount)
        self.entries.append(amount)
        self.tags[amount % 7] = self.tags.get(amount % 7, 0) + 1

    def balance(self):
        return sum(self.entries) if len(self.entries) else 0


def object_oriented(size):
    total = 0
    for i in range(int(16000 * size)):
        account = Account(i)
        for amount in range(60):
            account.deposit(amount)
        total += account.balance()
    return total


def asyncio_tree(size):
    async def leaf(i):
        await asyncio.sleep(0)
        return i

    async def branch(width):
        return sum(await asyncio.gather(*(leaf(i) for i in range(width))))

    async def main():
        total = 0
        for _ in range(int(600 * size)):
            total += await branch(100)
            await asyncio.sleep(0)
        return total

    return asyncio.run(main())


def generators(size):
    def numbers(n):
        yield from range(n)

    def evens(source):
        for value in source:
            if value % 2 == 0:
                yield value

    return sum(sum(evens(numbers(300))) for _ in range(int(12000 * size)))


def threads(size):
    """object_oriented's work shared among 4 threads started here."""
    results = [None] * 4

    def quarter(i):
        results[i] = object_oriented(size / 4)

    workers = [threading.Thread(target=quarter, args=(i,)) for i in range(4)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return sum(results)


WORKLOADS = {
    "recursive": recursive,
    "object_oriented": object_oriented,
    "asyncio": asyncio_tree,
    "generators": generators,
    "threads": threads,
}
