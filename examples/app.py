"""A small program to trace, with a synchronous and an asynchronous part.

    python -m spantree --coroutines examples/app.py   # main() across its awaits
    python -m spantree --depth 3 examples/app.py      # plain calls, event loop included

main() reads its settings with a blocking call (which stalls the event loop),
fetches two pages one after the other, each a wait on a timer followed by
parsing, and then checks both pages in concurrent tasks. Those tasks run beside
main(), not inside it, so a coroutine-aware trace, which follows main() alone,
shows them as main's last await. Durations come from sleeps, so the tree
keeps its shape from run to run.
"""

import asyncio
import time

PAGES = {
    "home": "welcome,3,4\nnews,10,2\n",
    "about": "team,5,5\ncontact,1,0\n",
}


def read_settings():
    time.sleep(0.004)  # a blocking read, in the middle of async code
    return {"pages": ["home", "about"], "latency": 0.010}


def parse(text):
    rows = [line.split(",") for line in text.splitlines()]
    return {name: sum(map(int, counts)) for name, *counts in rows}


async def fetch(page, latency):
    await asyncio.sleep(latency)
    return parse(PAGES[page])


async def check(page, totals):
    await asyncio.sleep(0.005)
    return page, all(total > 0 for total in totals.values())


async def main():
    settings = read_settings()
    fetched = {}
    for page in settings["pages"]:
        fetched[page] = await fetch(page, settings["latency"])
    checks = await asyncio.gather(*(check(page, totals) for page, totals in fetched.items()))
    return fetched, dict(checks)


if __name__ == "__main__":
    fetched, checks = asyncio.run(main())
    print(f"fetched {sorted(fetched)}, checks {checks}")
