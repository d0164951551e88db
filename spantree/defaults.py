"""The defaults the command line and the views share, each in one unit.

This module imports nothing: the command reads it before the program it
runs starts, when it may load nothing the program would not.
"""

# Shortest call the command keeps, in spantree.trace's threshold syntax.
DEFAULT_THRESHOLD = "100us"

# The folded tree leaves out lines under this fraction of the whole trace
# (the command line gives it as a percentage).
DEFAULT_MIN_SHARE = 0.005

# The summary's rows, and their order.
DEFAULT_TOP = 30
SORT_KEYS = ("self", "total", "calls", "max")
DEFAULT_SORT = "self"

# The command's output formats; machine formats never share standard output
# with the program's own prints, so each has a file of its own by default.
FORMATS = ("summary", "tree", "perfetto", "collapsed", "html", "spantree")
DEFAULT_FILES = {"perfetto": "spantree.json", "collapsed": "spantree.folded", "html": "spantree.html",
                 "spantree": "trace.spantree"}
