"""A small program to trace: a recursive parser-like walk, some built-ins and
a generator, with one deliberately slow step."""

import time


def tokenize(text):
    for word in text.split():
        yield word.strip(".,")


def count_words(text):
    counts = {}
    for word in tokenize(text):
        counts[word] = counts.get(word, 0) + 1
    return counts


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def slow_io():
    time.sleep(0.005)


def main():
    text = "the fox, the dog."
    counts = count_words(text)
    slow_io()
    return fib(8), sorted(counts.items())
