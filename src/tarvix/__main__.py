import sys

from tarvix.cli import main

sys.exit(main())
