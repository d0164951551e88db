"""Pure-Python models of what the native modules compute: each states the
rules plainly, with no concern for speed, and the tests compare the native
code against it."""
