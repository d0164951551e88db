import sys

from spantree.cli import main

sys.exit(main())
